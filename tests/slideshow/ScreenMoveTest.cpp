// The show window moved to a screen of another size and scale: the picture
// on screen is shown again for the new device pixels, centred and one
// picture pixel on one screen pixel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QPointer>
#include <QScreen>
#include <QTemporaryFile>

#include "app/Settings.h"
#include "imaging/PictureTestData.h"
#include "slideshow/PictureDisplay.h"
#include "slideshow/SlideShow.h"
#include "support/TestSupport.h"

TEST(ScreenMove, ThePictureIsShownAgainForTheNewScreensDevicePixels)
{
    QScreen* small = nullptr;
    QScreen* large = nullptr;
    for (QScreen* screen : QGuiApplication::screens())
        (screen->name() == "small" ? small : large) = screen;
    ASSERT_TRUE(small && large);
    ProgramFolder program;
    program.WriteSettings("[Main]\r\nStretch=0\r\n");
    TempTree pics;
    pics.WriteFile("a.bmp", Bmp(64, 48));
    QPointer<SlideShow> show = new SlideShow("60", &Settings::ReadStretch);
    show->SetTag(pics.Path() + "/");
    show->CoverScreen(small);
    show->show();
    ASSERT_TRUE(WaitFor([&] { return show.isNull() || show->ShowStarted(); }));
    ASSERT_FALSE(show.isNull());
    const auto describe = [&] {
        const ImageDisplay& image = show->Stage().Image1;
        return testing::Message() << "shown for " << show->Stage().ShownFor().width() << "x"
                                  << show->Stage().ShownFor().height() << ", device " << DeviceSize(*show).width()
                                  << "x" << DeviceSize(*show).height() << ", picture " << image.Width << "x"
                                  << image.Height << " at " << image.Left << "," << image.Top;
    };
    const auto centred = [&](QSize device) {
        const ImageDisplay& image = show->Stage().Image1;
        return show->Stage().ShownFor() == device && image.Width == 64 && image.Height == 48 &&
               image.Left == float(device.width() - 64) / 2 && image.Top == float(device.height() - 48) / 2;
    };
    EXPECT_TRUE(WaitFor([&] { return centred(QSize(1280, 720)); })) << describe();
    show->CoverScreen(large);
    EXPECT_TRUE(WaitFor([&] { return centred(QSize(1920, 1080)); }, 30000)) << describe();
    show->close();
}

int main(int argc, char** argv)
{
    // A 1280 x 720 screen at scale 1 beside a 1920 x 1080 one (device pixels)
    // at scale 2.
    QTemporaryFile config(QDir::tempPath() + "/velmora-screens-XXXXXX.json");
    config.open();
    config.write(R"({"screens":[)"
                 R"({"name":"small","x":0,"y":0,"width":1280,"height":720,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1},)"
                 R"({"name":"large","x":1280,"y":0,"width":1920,"height":1080,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})");
    config.flush();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    qputenv("QT_SCREEN_SCALE_FACTORS", "1;2");
    return RunTestsInApplication(argc, argv);
}
