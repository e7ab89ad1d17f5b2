// The slide show on scaled desktops and on two screens: its pixels are the
// screen's device pixels, and it opens on the screen of the main window.
// Built once for each scale; the scale is set before Qt starts.
#include "ShowWindowTest.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QTemporaryFile>
#include <QThread>

#include <cmath>
#include <functional>

#include "app/Form1.h"
#include "app/Settings.h"
#include "imaging/PictureTestData.h"
#include "slideshow/PictureDisplay.h"
#include "slideshow/SlideShow.h"
#include "pluginhost/PluginTestSupport.h"
#include "support/TestSupport.h"

namespace {

constexpr int kScreenWidth = 1920, kScreenHeight = 1080; // device pixels, each screen

// A picture with one-pixel detail: any scaling changes it.
QImage Checkers(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, (x + y) % 2 ? qRgb(250, 250, 250) : qRgb(x % 256, 40, y % 256));
    return image;
}

// The bounding box of everything not black.
QRect Drawn(const QImage& image)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != 0)
                box |= QRect(x, y, 1, 1);
    return box;
}

class HiDpi : public ShowWindowTest {
protected:
    SlideShow& Start()
    {
        show = new SlideShow("60", &Settings::ReadStretch);
        show->SetTag(pics.Path() + "/");
        show->show();
        show->activateWindow();
        EXPECT_TRUE(WaitFor([&] { return show.isNull() || show->ShowStarted(); }));
        if (show.isNull())
            throw std::runtime_error("the show ended");
        show->Stage().Prefetch.WaitForDone();
        return *show;
    }
    // What the window shows, one image pixel per device pixel.
    QImage Screenshot() const
    {
        const QImage shot = show->grab().toImage();
        EXPECT_EQ(shot.size(), QSize(kScreenWidth, kScreenHeight));
        return shot;
    }

    TempTree pics;
};

TEST_F(HiDpi, TheDesktopIsScaledAsThisProgramWasBuiltToTest)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    EXPECT_GT(screen->devicePixelRatio(), 1.2);
    EXPECT_EQ(std::lround(screen->geometry().width() * screen->devicePixelRatio()), kScreenWidth);
}

TEST_F(HiDpi, APictureWithStretchOffCoversItsOwnSizeInDevicePixels)
{
    const QImage picture = Checkers(640, 480);
    pics.WriteFile("a.png", Encode(picture, "png"));
    Start();
    EXPECT_EQ(show->Stage().Image1.PixelRect(), QRect(640, 300, 640, 480));
    const QImage shot = Screenshot();
    EXPECT_EQ(Drawn(shot), QRect(640, 300, 640, 480));
    EXPECT_EQ(shot.copy(640, 300, 640, 480).convertToFormat(QImage::Format_RGB32), picture)
        << "one picture pixel on one screen pixel";
}

TEST_F(HiDpi, LargePhotosAreFittedAndDecodedForTheDevicePixels)
{
    pics.WriteFile("a.jpg", Encode(Checkers(4000, 3000), "jpeg", 90));
    Start();
    ImageDisplay expected;
    expected.Width = 4000;
    expected.Height = 3000;
    FitPicture(expected, kScreenWidth, kScreenHeight, false);
    const ImageDisplay& shown = show->Stage().Image1;
    EXPECT_EQ(shown.PixelRect(), expected.PixelRect());
    EXPECT_GT(shown.PixelRect().height(), kScreenHeight / 2 + 100) << "the fit is in device pixels";
    EXPECT_EQ(shown.Rendered().size(), expected.PixelRect().size()) << "decoded for the device pixels";
    EXPECT_EQ(Drawn(Screenshot()), expected.PixelRect());
}

TEST_F(HiDpi, PluginPicturesAreDrawnOnTheDevicePixels)
{
    program.AddPlugin("vtest.spi");
    pics.WriteFile("only.vtp", Vtp(100, 50, 10, 200, 30));
    Start();
    const PictureBox& box = *show->Stage().Picture1;
    ASSERT_TRUE(box.isVisible());
    ASSERT_EQ(box.Image().size(), QSize(kScreenWidth, kScreenHeight));
    const QImage shot = Screenshot();
    EXPECT_EQ(QColor(shot.pixel(kScreenWidth / 2, kScreenHeight / 2)), QColor(10, 200, 30));
    EXPECT_EQ(Drawn(shot), Drawn(box.Image())) << "Picture1's image on the screen one to one";
}

TEST_F(HiDpi, CornerLimitsAreTenthsOfTheScreenInDevicePixels)
{
    pics.WriteFile("a.png", Encode(Checkers(64, 48), "png"));
    pics.WriteFile("b.png", Encode(Checkers(64, 48), "png"));
    Start();
    const double ratio = show->devicePixelRatioF();
    const auto click = [&](double deviceX, double deviceY) {
        const QPointF at(deviceX / ratio, deviceY / ratio);
        QMouseEvent press(QEvent::MouseButtonPress, at, show->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(show, &press);
        QCoreApplication::processEvents();
    };
    // Just right of the top-left corner (192 device pixels): the next picture.
    click(200, 20);
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(show->Ring().CurrentPath().endsWith("b.png"));
    // Inside it: the show ends.
    click(180, 20);
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }, 2000));
}

TEST_F(HiDpi, TheShowOpensOnTheScreenOfTheMainWindowsCentre)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    ASSERT_EQ(screens.size(), 2);
    pics.WriteFile("a.png", Encode(Checkers(64, 48), "png"));
    program.WriteSettings(("[Main]\r\nDirPath=" + pics.Path() + "\r\n").toUtf8());
    for (QScreen* target : screens) {
        SCOPED_TRACE(target->name().toStdString());
        Form1 window;
        window.show();
        // Mostly on the target screen, a little over its left edge.
        window.move(target->geometry().topLeft() + QPoint(-40, 100));
        window.Command1_Click();
        show = window.CurrentShow();
        ASSERT_FALSE(show.isNull());
        EXPECT_EQ(show->screen(), target);
        EXPECT_EQ(show->geometry(), target->geometry());
        ASSERT_TRUE(WaitFor([&] { return show.isNull() || show->ShowStarted(); }));
        show->close();
        WaitFor([&] { return show.isNull(); }, 2000);
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Two screens side by side, in device pixels; the scale comes from the
    // variable this build tests.
    QTemporaryFile config(QDir::tempPath() + "/velmora-screens-XXXXXX.json");
    config.open();
    config.write(QStringLiteral(R"({"screens":[)"
                                R"({"name":"left","x":0,"y":0,"width":%1,"height":%2,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1},)"
                                R"({"name":"right","x":%1,"y":0,"width":%1,"height":%2,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})")
                     .arg(kScreenWidth)
                     .arg(kScreenHeight)
                     .toUtf8());
    config.flush();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    // One factor per screen, separated by ";" (given with "," by the build).
    qputenv(VELMORA_SCALE_VARIABLE, QByteArray(VELMORA_SCALE_VALUE).replace(',', ';'));
    return RunTestsInApplication(argc, argv);
}
