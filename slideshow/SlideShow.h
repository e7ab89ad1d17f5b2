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
//
// The window keeps the timer, mBusy and its handlers; the ring of pictures
// (PictureRing) knows where the show is, the stage (PictureStage) shows it.
#include <cstdint>
#include <functional>
#include <memory>

#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "common/RuntimeError.h"
#include "pluginhost/PluginScan.h"
#include "slideshow/PictureRing.h"
#include "slideshow/PictureStage.h"
#include "slideshow/MprisRemote.h"
#include "slideshow/ScreenSaverInhibitor.h"
#include "slideshow/CrossFade.h"
#include "slideshow/FramePlayer.h"
#include "slideshow/ShowCaption.h"
#include "slideshow/WaylandSession.h"
#include "slideshow/ShowFolders.h"
#include "slideshow/ShowOptions.h"
#include "slideshow/ShuffleFeed.h"

class ClsPluginManager;
class QScreen;

class SlideShow : public QWidget {
    Q_OBJECT
public:
    // The load step: the timer interval from intervalText (the main window's
    // interval text; empty gives 4000 ms), and the plug-ins of the program's
    // Plugin folders, read on a thread while the window comes up (scan, when
    // given, is one started earlier on the same folders); the file pattern
    // follows from them. stretchSetting reads the "Stretch" setting. Raises
    // RuntimeError for an interval text that is not a number.
    // The window covers screen (the primary screen when none is given): made
    // there from the start, it draws for that screen's scale from its first
    // frame on (a Wayland window keeps the scale it was made with until the
    // compositor reports the output it entered).
    SlideShow(const QString& intervalText, std::function<bool()> stretchSetting,
              QWidget* parent = nullptr, QScreen* screen = nullptr, std::unique_ptr<PluginScan> scan = nullptr);
    ~SlideShow() override;

    // The start folder, ending in "/"; read when the window becomes active.
    void SetTag(const QString& tag);
    // The picture of the start folder the show starts at (a file name), when
    // it is one of its pictures; else the show starts as usual.
    void SetStartPicture(const QString& fileName) { mStartPicture = fileName; }
    // Whether archives are folders of the show (off by default); set before
    // the window becomes active. On, the archive plug-ins are loaded too
    // (Esc meanwhile gives the start up, see StartGivenUp).
    void SetShowArchives(bool on);
    // The options beyond the original show; set before the window becomes
    // active. All off by default.
    void SetOptions(const ShowOptions& options) { mOptions = options; }
    const ShowOptions& Options() const { return mOptions; }
    // Covers the given screen (the primary screen when null) in full.
    void CoverScreen(QScreen* screen);
    QString Tag() const;

    // Takes the plug-ins the load step started reading, with the pattern
    // they give, waiting for them (without handling events) when they are
    // not read yet; the activation step waits in the window's way first.
    void LoadPlugins();
    void SearchDirs(const QString& DirPath);
    QString FindDir(std::int32_t Index) const;
    std::int32_t ListCount() const;
    // Whether pictures are stretched: the "Stretch" setting, read afresh at
    // every call.
    bool Stretch() const;

    // The timer's step and the handlers of keys and clicks, as the events
    // that the window receives call them.
    void Timer1_Timer();
    void Form_KeyDown(std::int16_t KeyCode, std::int16_t Shift);
    void Picture1_KeyDown(std::int16_t KeyCode, std::int16_t Shift);
    void Form_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y);
    void Picture1_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y);
    void Image1_MouseDown(std::int16_t Button, std::int16_t Shift, float X, float Y);

    // What the show is at, for those who watch it.
    const PictureRing& Ring() const { return mRing; }
    PictureRing& Ring() { return mRing; }
    const PictureStage& Stage() const { return mStage; }
    PictureStage& Stage() { return mStage; }
    const FileListBox& File1() const { return mFolders.File1; }
    const CrossFade& Fade() const { return *mFade; }
    const FramePlayer& Animation() const { return *mAnimation; }
    FramePlayer& Animation() { return *mAnimation; }
    // The caption on screen (empty without the caption option).
    QString Caption() const { return mCaption->isVisible() ? mCaption->Text() : QString(); }
    bool Timer1Enabled() const { return mTimerEnabled; }
    int Timer1Interval() const { return Timer1.interval(); }
    // Whether a step is under way, as a 16-bit Boolean: -1 true, 0 false.
    std::int16_t Busy() const { return mBusy ? -1 : 0; }
    // Whether the first picture is on screen (input is taken from then on).
    bool ShowStarted() const { return mShowStarted; }
    // Whether the walk has found every folder.
    bool WalkComplete() const { return mFolders.FolderList.Complete(); }
    // The user pressed Esc while the archive plug-ins were read: the show
    // is not to be opened.
    bool StartGivenUp() const { return mStartGivenUp; }

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    void Form_Load(const QString& intervalText, std::unique_ptr<PluginScan> scan);
    // The activation step's wait for the plug-ins; false when the window
    // closed meanwhile.
    bool WaitForPlugins();
    void Form_Activate();
    void Form_Deactivate();

    void AdvanceStep();
    // The timer's step (the ones that fade).
    void TimerStep();
    // Plays the picture on screen when it is an animation and the option is on.
    void StartAnimation(int settleMs);
    // The shuffled order: its first picture (the ring is at the first
    // folder with pictures), its step, and its turns of taking listings.
    QString StartShuffle();
    QString ShuffleStep(Direction direction);
    void FeedShuffle();
    // Starts decoding the pictures the next steps will show.
    void LookAhead();
    void KeyAction(std::int16_t KeyCode);
    void ClickAction(std::int16_t Button, float X, float Y);
    void Next();
    void Previous();
    void PauseResume();
    // A call of the remote control, taken as the key that does the same.
    void RemoteAction(MprisRemote::Action action);
    // Paused by the user: no step under way and the timer off.
    bool Paused() const;
    // Runs a handler body; an error nobody caught ends the show with a message.
    template <class F> void Guarded(F&& body);
    void EndWithMessage(const QString& text);
    void SetTimer1Enabled(bool enabled);
    // A picture is shown or the show paused: those who watch are told.
    void ShowChanged();
    QSize ScreenPixels() const;

    QString mTag;
    QString mStartPicture;
    ShowOptions mOptions;
    std::function<bool()> mStretchSetting;
    ShowFolders mFolders;
    PictureRing mRing{mFolders};
    PictureStage mStage;
    QTimer Timer1;
    bool mTimerEnabled = false;
    std::unique_ptr<ShuffleFeed> mShuffle;   // with the shuffle option, from the first picture
    QTimer mShuffleFeeding;                  // while the folders are listed for it
    std::unique_ptr<PluginScan> mPluginScan; // until its plug-ins are taken
    std::unique_ptr<ClsPluginManager> mPluginManager;
    // Whether the step under way, and the one before it, went back.
    bool mStepBack = false;
    bool mLastStepBack = false;
    bool mBusy = false;

    // The window's persistent drawing (the searching text).
    QImage mSurface;
    bool mSurfaceUsed = true; // until the search is over
    bool mShowStarted = false;
    bool mRedrawQueued = false;
    // Shows the picture on screen again when the window's device size is no
    // longer the one it was shown for (another screen, another scale).
    void RedrawForDevice();
    void QueueRedrawForDevice();
    bool mStartGivenUp = false;
    bool mActivated = false;
    bool mClosing = false;
    ScreenSaverInhibitor mScreenSaver;
    std::unique_ptr<MprisRemote> mRemote; // while the show runs
    CaptionLabel* mCaption = nullptr;     // shown with the caption option
    CrossFade* mFade = nullptr;           // over the window while a timer step fades
    bool mTimerStep = false;              // the step under way is the timer's
    FramePlayer* mAnimation = nullptr;    // plays animated pictures with the option
    bool mStepHeld = false;               // the timer's step waits for an animation's loop
    std::unique_ptr<wayland::IdleInhibitor> mIdleInhibitor;
    // While one of our own message boxes is up, its activation is not ours to act on.
    bool mInMessage = false;
};
