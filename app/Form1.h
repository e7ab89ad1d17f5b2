#pragma once
// The main window: start folder (drive and folder lists), interval, start of
// the show, help and about box. Its load restores the settings and its
// closing writes them back and ends the program.
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QMainWindow>
#include <QPointer>

#include "slideshow/ShowOptions.h"

class ClsUpDownTextBox;
class QAction;
class DirListBox;
class DriveListBox;
class MenuRows;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScreen;
class PluginScan;
class SlideShow;
struct StartRequest;

class Form1 : public QMainWindow {
    Q_OBJECT
public:
    explicit Form1(QWidget* parent = nullptr); // builds the window and runs its load
    ~Form1() override;

    DriveListBox* Drive1 = nullptr;
    DirListBox* Dir1 = nullptr;
    QPushButton* Command1 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Text1 = nullptr;
    MenuRows* Menus = nullptr;
    QMenu* File = nullptr;
    QMenu* Options = nullptr;
    QAction* ShowArchives = nullptr; // the pictures inside archives, as folders of the show
    QAction* Animate = nullptr;      // animated pictures play
    QAction* Shuffle = nullptr;      // the whole tree in a random order
    QAction* HidePointer = nullptr;  // the pointer hides while it is still
    QAction* Crossfade = nullptr;    // a timer step fades to the next picture
    QAction* Caption = nullptr;      // the picture's name and date in a corner
    QMenu* Help = nullptr;

    // The slide-show window of the last start, while it is open.
    SlideShow* CurrentShow() const;

    void Command1_Click();
    // What the command line asked: the folder opened as if the user had
    // opened it, the interval for this run only (the stored one is written
    // back at close unless the user changed it), and the show started, at
    // the picture given. scan, when given, is the plug-in scan started for
    // that show (the next start takes it).
    void Open(const StartRequest& request, std::unique_ptr<PluginScan> scan = nullptr);
    void File_s_Click(int Index);
    void Help_s_Click(int Index);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The options menu's items with their keys in the settings file.
    struct OptionItem {
        QString key;
        QAction* action;
    };
    std::vector<OptionItem> OptionItems() const;
    ShowOptions ChosenOptions() const;
    void Form_Load();
    void Drive1_Change();
    void Dir1_KeyPress();
    void OpenDocument(const QString& path);
    // The screen a show started now covers: the one that holds this window.
    QScreen* ScreenOfWindow() const;
    // Runs then once the window system has said where this window is.
    void WhenPlaced(std::function<void()> then);

    std::unique_ptr<ClsUpDownTextBox> mUpDown;
    QPointer<SlideShow> mSlideShow;
    bool mUnloaded = false;
    QString mStoredTime;                  // as read at load
    std::optional<QString> mIntervalOfRun; // given on the command line
    QString mStartPicture;                // for the next start only
    std::unique_ptr<PluginScan> mEarlyScan; // for the next start only
};
