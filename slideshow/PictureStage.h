#pragma once
// The picture stage of the slide-show window: its two displays (Image1 for
// the built-in loader's pictures, Picture1 for the plug-ins'), ShowPicture,
// and the pictures decoded ahead for the next steps.
//
// Pictures are decoded on the decoding service's threads, plug-in pictures
// too: each of those threads has a plug-in manager of its own, made for the
// show, so the user interface thread's manager is used by it alone. While a
// step waits for its picture the window goes on painting and taking input
// (the window drops what it must while its step runs).
#include <cstdint>
#include <functional>
#include <memory>

#include <QString>

#include "pluginhost/PluginBridge.h"
#include "slideshow/FlipPacer.h"
#include "slideshow/PictureDisplay.h"
#include "slideshow/PicturePrefetch.h"
#include "slideshow/ShowPointer.h"

class ArchiveShelf;
class ClsPluginManager;
class PictureRing;
class QEventLoop;
class QPainter;
class QWidget;

class PictureStage {
public:
    // window: the slide-show window, which the stage draws on and whose
    // size it fills; stretch: reads the "Stretch" setting.
    PictureStage(QWidget& window, std::function<bool()> stretch);

    // The show's plug-ins; the decoding threads draw with managers of their
    // own over the same folders, fitted by the manager's stretch setting.
    void SetPluginManager(ClsPluginManager* manager);
    // The archives of the show, whose pictures are read from them; none by default.
    void SetArchives(std::shared_ptr<const ArchiveShelf> archives);
    const ArchiveShelf* Archives() const { return mArchives.get(); }

    // Shows a picture: through the built-in loader on Image1, fitted by the
    // Stretch setting read now, else through the plug-ins on Picture1. A
    // picture neither can read stays black. Errors of a plug-in's fit reach
    // the caller; a plug-in that crashed or hung costs only this picture.
    // Runs the event loop while it waits; false when Interrupt ended the
    // wait (the window is closing) and nothing more was done.
    bool ShowPicture(const QString& path);
    // Ends a wait of ShowPicture at once.
    void Interrupt();
    // The file of the picture on screen (the ring may already be at the
    // next one while its step waits).
    const QString& ShownPath() const { return mShownPath; }
    // The window's size in device pixels when that picture was shown: when
    // the window's screen or scale changes, it is shown again for the new one.
    QSize ShownFor() const { return mShownFor; }
    // How many pictures a step had to draw with the plug-ins itself, on the
    // user interface thread (none were drawn ahead for it).
    int DrawnInStep() const { return mDrawnInStep; }

    // Starts decoding the pictures the next steps will show from the ring's
    // position: first the next few in the direction of the last step, then
    // the one the other way.
    void LookAhead(PictureRing& ring, bool lastStepBack);
    // Starts decoding the given pictures, the nearest first.
    void Want(QStringList wanted);
    // Runs the event loop until done() holds, looking every few milliseconds,
    // or timeoutMs has passed; false when Interrupt ended the wait.
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs) { return Wait(done, timeoutMs, 10); }

    // Picture1 covers the window.
    void FillWindow();
    void Paint(QPainter& painter) const { Image1.Paint(painter); }

    ImageDisplay Image1;
    PictureBox* const Picture1;
    PicturePrefetch Prefetch;
    // The window's pointer: the hourglass while a picture is on its way.
    ShowPointer Pointer;

private:
    // Runs the event loop until done() holds or timeoutMs has passed (never,
    // when done is empty); false when interrupted.
    bool Wait(const std::function<bool()>& done, int timeoutMs, int pollMs = 0);
    PreparedPicture Prepare(const QString& path, QSize window, bool stretch, bool& interrupted);
    // Why nothing was drawn; empty when a plug-in drew the picture.
    QString DrawWithPlugins(const PreparedPicture& prepared);
    void SetDecoders();

    QWidget& mWindow;
    std::function<bool()> mStretch;
    ClsPluginManager* mPluginManager = nullptr;
    std::shared_ptr<const ArchiveShelf> mArchives;
    FlipPacer mPacer;
    // The setting the picture on screen was shown with; the look-ahead uses it.
    bool mShownStretch = false;
    QString mShownPath;
    QSize mShownFor;
    int mDrawnInStep = 0;
    QEventLoop* mWaiting = nullptr;
    bool mInterrupted = false;
    PluginBridge::EscapeScope* mPluginWait = nullptr; // while a plug-in draws here
};
