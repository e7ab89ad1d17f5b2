#pragma once
// The full-screen slide-show window. The main window creates a new one for
// every show, hands it the start folder with SetTag and shows it; the show
// ends when the window closes (it deletes itself then).
//
// The window is frameless and set to full screen when it is created, so a
// plain show() covers the screen (showFullScreen() does the same). It runs
// its activation step (the folder search and the first picture) the first
// time it becomes active, and closes when another window of the program
// becomes active; switching to another program leaves it running.
#include <cstdint>
#include <memory>

#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "common/RuntimeError.h"
#include "slideshow/FileList.h"
#include "slideshow/FolderList.h"
#include "slideshow/PictureDisplay.h"
#include "slideshow/PicturePrefetch.h"

class ClsPluginManager;

class SlideShow : public QWidget {
    Q_OBJECT
public:
    // The load step: the timer interval from intervalText (the main window's
    // interval text; empty gives 4000 ms), the plug-ins of the program's
    // Plugin folder, the file pattern. Raises RuntimeError for an interval
    // text that is not a number.
    explicit SlideShow(const QString& intervalText, QWidget* parent = nullptr);
    ~SlideShow() override;

    // The start folder, ending in "/"; read when the window becomes active.
    void SetTag(const QString& tag);
    QString Tag() const;

    void SearchDirs(const QString& DirPath);
    QString FindDir(std::int32_t Index) const;
    std::int32_t ListCount() const;
    // Whether pictures are stretched: the "Stretch" key of the settings file,
    // read afresh at every call.
    bool Stretch() const;

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The test suite drives the handlers and reads the position through this.
    friend class SlideShowProbe;

    void Form_Load(const QString& intervalText);
    void Form_Activate();
    void Form_Deactivate();
    void Timer1_Timer();
    void Form_KeyDown(std::int16_t KeyCode, std::int16_t Shift);
    void Picture1_KeyDown(std::int16_t KeyCode, std::int16_t Shift);
    void Form_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y);
    void Picture1_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y);
    void Image1_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y);

    void AdvanceStep();
    void ShowPicture(const QString& path);
    // Starts decoding the pictures the next steps will show: first the one
    // in the direction of the last step, then the one the other way.
    void PrefetchAround();
    // The picture a step in direction (+1 or -1) would show from here, or ""
    // when it lies beyond a few folders without pictures.
    QString PeekPath(std::int32_t direction);
    void KeyAction(std::int16_t KeyCode);
    void ClickAction(std::int16_t Button, float X, float Y);
    void Next();
    void Previous();
    void PauseResume();
    // Points File1 at folder index, counting folders found empty in a row.
    void PointFile1(std::int32_t index);
    // Runs a handler body; an error nobody caught ends the show with a message.
    template <class F> void Guarded(F&& body);
    void EndWithMessage(const QString& text);
    bool Timer1Enabled() const { return mTimerEnabled; }
    void SetTimer1Enabled(bool enabled);
    void ClearSurface();
    QSize ScreenPixels() const;

    QString mTag;
    ClsFolderList mFolders;
    FileListBox File1;
    ImageDisplay Image1;
    PictureBox* Picture1 = nullptr;
    QTimer Timer1;
    bool mTimerEnabled = false;
    std::unique_ptr<ClsPluginManager> mPluginManager;
    PicturePrefetch mPrefetch;
    // Lists the folders a step would move to, leaving File1 as it is.
    FileListBox mPeekList;
    // Whether the step under way is a step back.
    bool mStepBack = false;
    bool mLastStepBack = false;
    // The setting the picture on screen was shown with; the look-ahead uses it.
    bool mShownStretch = false;

    std::int32_t mFolderIndex = 0;
    std::int32_t mFileIndex = 0;
    std::int32_t mFirstFolder = 0;
    VbBool mBusy = VbFalse;

    // The window's persistent drawing (the searching text).
    QImage mSurface;
    // Input is taken only once the first picture is on screen.
    bool mShowStarted = false;
    bool mActivated = false;
    bool mClosing = false;
    // While one of our own message boxes is up, its activation is not ours to act on.
    bool mInMessage = false;
    std::int32_t mEmptyInARow = 0;
};
