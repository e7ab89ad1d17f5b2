#pragma once
// The main window: start folder (drive and folder lists), interval, start of
// the show, help and about box. Its load restores the settings and its
// closing writes them back and ends the program.
#include <memory>

#include <QMainWindow>
#include <QPointer>

class ClsUpDownTextBox;
class QAction;
class DirListBox;
class DriveListBox;
class MenuRows;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class SlideShow;

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
    QMenu* Help = nullptr;

    // The slide-show window of the last start, while it is open.
    SlideShow* CurrentShow() const;

    void Command1_Click();
    void File_s_Click(int Index);
    void Help_s_Click(int Index);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    void Drive1_Change();
    void Dir1_KeyPress();
    void OpenDocument(const QString& path);

    std::unique_ptr<ClsUpDownTextBox> mUpDown;
    QPointer<SlideShow> mSlideShow;
    bool mUnloaded = false;
};
