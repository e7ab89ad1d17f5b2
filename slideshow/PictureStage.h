#pragma once
// The picture stage of the slide-show window: its two displays (Image1 for
// the built-in loader's pictures, Picture1 for the plug-ins'), ShowPicture,
// and the pictures decoded ahead for the next steps.
#include <cstdint>
#include <functional>

#include <QString>

#include "slideshow/FlipPacer.h"
#include "slideshow/PictureDisplay.h"
#include "slideshow/PicturePrefetch.h"

class ClsPluginManager;
class PictureRing;
class QPainter;
class QWidget;

class PictureStage {
public:
    // window: the slide-show window, which the stage draws on and whose
    // size it fills; stretch: reads the "Stretch" setting.
    PictureStage(QWidget& window, std::function<bool()> stretch);

    void SetPluginManager(ClsPluginManager* manager) { mPluginManager = manager; }

    // Shows a picture: through the built-in loader on Image1, fitted by the
    // Stretch setting read now, else through the plug-ins on Picture1. A
    // picture neither can read stays black. Errors of a plug-in's fit reach
    // the caller; a plug-in that crashed or hung costs only this picture.
    void ShowPicture(const QString& path);

    // Starts decoding the pictures the next steps will show from the ring's
    // position: first the next few in the direction of the last step, then
    // the one the other way.
    void LookAhead(const PictureRing& ring, bool lastStepBack);

    // Picture1 covers the window.
    void FillWindow();
    void Paint(QPainter& painter) const { Image1.Paint(painter); }

    ImageDisplay Image1;
    PictureBox* const Picture1;
    PicturePrefetch Prefetch;

private:
    QWidget& mWindow;
    std::function<bool()> mStretch;
    ClsPluginManager* mPluginManager = nullptr;
    FlipPacer mPacer{PicturePrefetch::Decoders()};
    // The setting the picture on screen was shown with; the look-ahead uses it.
    bool mShownStretch = false;
};
