// The slide-show window: fitting, the advance ring, keys and clicks,
// activation, plug-in pictures and the end of a show, on a real offscreen
// window with real files.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>

#include <functional>
#include <stdexcept>

#include "common/RuntimeError.h"
#include "slideshow/PictureDisplay.h"
#include "common/PathText.h"
#include "slideshow/SlideShow.h"
#include "support/TestSupport.h"

class SlideShowProbe {
public:
    static void Step(SlideShow& s) { s.Timer1_Timer(); }
    static void Key(SlideShow& s, std::int16_t code) { s.Form_KeyDown(code, 0); }
    static void Click(SlideShow& s, std::int16_t button, float x, float y) { s.Form_MouseDown(button, 0, x, y); }
    static void ImageClick(SlideShow& s, std::int16_t button, float x, float y)
    {
        s.Image1_MouseDown(button, 0, x, y);
    }
    static bool Started(const SlideShow& s) { return s.mShowStarted; }
    static bool TimerOn(const SlideShow& s) { return s.mTimerEnabled; }
    static int Interval(const SlideShow& s) { return s.Timer1.interval(); }
    static VbBool Busy(const SlideShow& s) { return s.mBusy; }
    static std::int32_t FolderIndex(const SlideShow& s) { return s.mFolderIndex; }
    static std::int32_t FirstFolder(const SlideShow& s) { return s.mFirstFolder; }
    static QString Pattern(const SlideShow& s) { return s.File1.Pattern(); }
    static const ImageDisplay& Image(const SlideShow& s) { return s.Image1; }
    static const PictureBox& Picture(const SlideShow& s) { return *s.Picture1; }
    // The picture on screen: its folder's last path element and its name.
    static QString Current(const SlideShow& s)
    {
        return QDir(s.FindDir(s.mFolderIndex)).dirName() + "/" + s.File1.List(s.mFileIndex);
    }
    static std::string CurrentPath(const SlideShow& s)
    {
        return (AddPathSeparator(s.FindDir(s.mFolderIndex)) + s.File1.List(s.mFileIndex)).toStdString();
    }
    static std::string Peek(SlideShow& s, std::int32_t direction) { return s.PeekPath(direction).toStdString(); }
    // Lets the decoding ahead finish.
    static void Settle(SlideShow& s) { s.mPrefetch.WaitForDone(); }
};

namespace {

using P = SlideShowProbe;

bool WaitFor(const std::function<bool()>& done, int ms = 5000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// Answers the message boxes that come up, remembering what they said.
class MessageWatcher {
public:
    MessageWatcher()
    {
        mTimer.setInterval(5);
        QObject::connect(&mTimer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            texts.append(box->text());
            titles.append(box->windowTitle());
            icons.append(box->icon());
            box->accept();
        });
        mTimer.start();
    }
    QStringList texts, titles;
    QList<QMessageBox::Icon> icons;

private:
    QTimer mTimer;
};

QByteArray Bmp(int w, int h, QColor colour = Qt::red)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "BMP");
    return data;
}

void Put16(QByteArray& b, int v) { b.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); }
void Put32(QByteArray& b, std::uint32_t v) { Put16(b, int(v & 0xFFFF)), Put16(b, int(v >> 16)); }

// An RLE8 bitmap: the upper half red, the lower half blue.
QByteArray Rle8(int w, int h)
{
    QByteArray pixels;
    for (int row = 0; row < h; ++row) { // bottom-up
        int left = w;
        while (left > 0) {
            const int run = std::min(left, 255);
            pixels.append(char(run)).append(char(row < h / 2 ? 1 : 0));
            left -= run;
        }
        pixels.append(char(0)).append(char(0));
    }
    pixels.append(char(0)).append(char(1));
    QByteArray b("BM");
    const int offset = 14 + 40 + 8;
    Put32(b, std::uint32_t(offset + pixels.size()));
    Put32(b, 0);
    Put32(b, offset);
    Put32(b, 40);
    Put32(b, std::uint32_t(w));
    Put32(b, std::uint32_t(h));
    Put16(b, 1);
    Put16(b, 8);
    Put32(b, 1); // BI_RLE8
    Put32(b, std::uint32_t(pixels.size()));
    Put32(b, 2835), Put32(b, 2835), Put32(b, 2), Put32(b, 0);
    Put32(b, 0x00FF0000); // blue
    Put32(b, 0x000000FF); // red
    return b + pixels;
}

// A picture of the test filter's own format: one solid colour.
QByteArray Vtp(int w, int h, int r, int g, int b)
{
    QByteArray d("VTP1");
    Put32(d, std::uint32_t(w));
    Put32(d, std::uint32_t(h));
    d.append(char(24)).append(char(r)).append(char(g)).append(char(b));
    return d;
}

class SlideShowTest : public ::testing::Test {
protected:
    void SetUp() override { program.WriteSettings("[Main]\r\nStretch=0\r\n"); }
    void TearDown() override
    {
        if (show)
            show->close();
        WaitFor([&] { return show.isNull(); }, 2000);
    }

    // Creates and shows a window on Tag pics.Path()/ and waits for its first picture.
    SlideShow& Start(const QString& interval = "60")
    {
        Launch(interval);
        if (show.isNull())
            throw std::runtime_error("the show closed before its first picture");
        return *show;
    }

    // The same for a show that may end at once.
    void Launch(const QString& interval = "60")
    {
        show = new SlideShow(interval);
        show->SetTag(pics.Path() + "/");
        show->show();
        show->activateWindow();
        EXPECT_TRUE(WaitFor([&] { return show.isNull() || P::Started(*show); }));
    }

    ProgramFolder program;
    TempTree pics;
    QPointer<SlideShow> show;
};

TEST(FitPicture, TableForBothSettingsAtTheWindowEdges)
{
    struct Case {
        bool stretch;
        float w, h, sw, sh;
        float width, height, left, top;
    };
    const Case cases[] = {
        {false, 1996, 1200, 1024, 768, 998, 600, 13, 84},
        {false, 640, 480, 1024, 768, 640, 480, 192, 144},
        {false, 1000, 800, 1024, 768, 918.75f, 735, 52.625f, 16.5f},
        {true, 500, 250, 1024, 768, 998, 499, 13, 134.5f},
        {true, 300, 600, 1024, 768, 367.5f, 735, 328.25f, 16.5f},
        // Exactly as wide as the window shrinks; one pixel narrower stays.
        {false, 1024, 100, 1024, 768, 998, 100 * 998.0f / 1024, 13, (768 - 100 * 998.0f / 1024) / 2},
        {false, 1023, 100, 1024, 768, 1023, 100, 0.5f, 334},
        {false, 100, 768, 1024, 768, 100 * 735.0f / 768, 735, (1024 - 100 * 735.0f / 768) / 2, 16.5f},
        {false, 100, 767, 1024, 768, 100, 767, 462, 0.5f},
        // Square pictures go by their height; small ones are enlarged.
        {true, 10, 10, 1024, 768, 735, 735, 144.5f, 16.5f},
        {true, 800, 600, 1920, 1080, 1894, 1420.5f, 13, -170.25f},
    };
    for (const Case& c : cases) {
        ImageDisplay image;
        image.Width = c.w;
        image.Height = c.h;
        FitPicture(image, c.sw, c.sh, c.stretch);
        SCOPED_TRACE(testing::Message() << c.stretch << " " << c.w << "x" << c.h);
        EXPECT_FLOAT_EQ(image.Width, c.width);
        EXPECT_FLOAT_EQ(image.Height, c.height);
        EXPECT_FLOAT_EQ(image.Left, c.left);
        EXPECT_FLOAT_EQ(image.Top, c.top);
        EXPECT_EQ(image.Stretch(), c.width != c.w || c.height != c.h);
    }
}

TEST(FitPicture, DivisorsOutOfRangeOrZeroRaise)
{
    ImageDisplay tall;
    tall.Width = 10;
    tall.Height = 40000;
    EXPECT_THROW(FitPicture(tall, 1024, 768, true), RuntimeError);
    ImageDisplay flat;
    flat.Width = 0.4f;
    flat.Height = 0.3f;
    EXPECT_THROW(FitPicture(flat, 1024, 768, true), RuntimeError);
}

TEST_F(SlideShowTest, WindowCoversTheScreenAndTheIntervalFollowsTheText)
{
    pics.WriteFile("a.bmp", Bmp(4, 4));
    SlideShow& s = Start("3");
    EXPECT_EQ(s.screen()->geometry().size(), QSize(1024, 768));
    EXPECT_EQ(s.size(), QSize(1024, 768));
    EXPECT_EQ(P::Picture(s).geometry(), QRect(0, 0, 1024, 768));
    EXPECT_EQ(P::Interval(s), 3000);
    EXPECT_TRUE(P::TimerOn(s));
    EXPECT_TRUE(s.windowFlags() & Qt::FramelessWindowHint);

    SlideShow empty("");
    EXPECT_EQ(P::Interval(empty), 4000);
    EXPECT_EQ(P::Pattern(empty), "*.jpeg;*.jpg;*.bmp;*.dib;*.ico;*.rle;*.gif;*.wmf;*.emf;*.png;*.cur");
    EXPECT_THROW(SlideShow("abc"), RuntimeError);
}

TEST_F(SlideShowTest, BuiltInPicturesAreFittedWithTheSettingReadPerPicture)
{
    pics.WriteFile("a.bmp", Bmp(1000, 800));
    pics.WriteFile("b.bmp", Bmp(300, 600));
    SlideShow& s = Start();
    const ImageDisplay& image = P::Image(s);
    EXPECT_TRUE(image.Visible);
    EXPECT_FALSE(P::Picture(s).isVisible());
    EXPECT_FLOAT_EQ(image.Width, 918.75f);
    EXPECT_FLOAT_EQ(image.Height, 735);
    EXPECT_FLOAT_EQ(image.Left, 52.625f);
    EXPECT_EQ(image.Rendered().size(), image.PixelRect().size());

    program.WriteSettings("[Main]\r\nStretch=1\r\n");
    P::Step(s);
    EXPECT_EQ(P::Current(s), QDir(pics.Path()).dirName() + "/b.bmp");
    EXPECT_FLOAT_EQ(image.Width, 367.5f);
    EXPECT_FLOAT_EQ(image.Height, 735);
    EXPECT_FLOAT_EQ(image.Left, 328.25f);
    const QImage& r = image.Rendered();
    EXPECT_EQ(r.pixel(r.width() / 2, r.height() / 2), QColor(Qt::red).rgb());
}

TEST_F(SlideShowTest, RleBitmapsAreShownAtTheirSizeTheRightWayUp)
{
    pics.WriteFile("pic.RLE", Rle8(300, 200));
    SlideShow& s = Start();
    const ImageDisplay& image = P::Image(s);
    ASSERT_TRUE(image.Visible);
    EXPECT_FLOAT_EQ(image.Width, 300);
    EXPECT_FLOAT_EQ(image.Height, 200);
    EXPECT_FLOAT_EQ(image.Left, 362);
    EXPECT_FLOAT_EQ(image.Top, 284);
    const QImage& r = image.Rendered();
    ASSERT_EQ(r.size(), QSize(300, 200));
    EXPECT_EQ(QColor(r.pixel(150, 10)), QColor(Qt::red));
    EXPECT_EQ(QColor(r.pixel(150, 190)), QColor(Qt::blue));
}

TEST_F(SlideShowTest, PluginPicturesAreDrawnOnPicture1)
{
    program.AddPlugin("vtest.spi");
    pics.WriteFile("only.vtp", Vtp(100, 50, 10, 200, 30));
    SlideShow& s = Start();
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(P::Pattern(s).startsWith("*.vtp;*.jpeg;"));
    EXPECT_FALSE(P::Image(s).Visible);
    const PictureBox& box = P::Picture(s);
    EXPECT_TRUE(box.isVisible());
    const QImage& surface = box.Image();
    ASSERT_EQ(surface.size(), QSize(1024, 768));
    EXPECT_EQ(QColor(surface.pixel(512, 384)), QColor(10, 200, 30));
    EXPECT_EQ(QColor(surface.pixel(5, 5)), QColor(Qt::black));
}

TEST_F(SlideShowTest, UnreadableFileLeavesABlackScreenAndTheShowGoesOn)
{
    pics.WriteFile("a.bmp", "not a picture");
    pics.WriteFile("b.bmp", Bmp(8, 8));
    SlideShow& s = Start();
    EXPECT_TRUE(P::Picture(s).isVisible());
    EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)), QColor(Qt::black));
    P::Step(s);
    EXPECT_TRUE(P::Image(s).Visible);
    EXPECT_FALSE(P::Picture(s).isVisible());
}

TEST_F(SlideShowTest, PicturesTruncatedOrReplacedByAFolderAfterTheListingShowBlack)
{
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"})
        pics.WriteFile(name, Bmp(8, 8));
    SlideShow& s = Start();
    ASSERT_TRUE(P::Image(s).Visible);
    QFile::remove(pics.Path() + "/b.bmp");
    pics.MakeDir("b.bmp");
    pics.WriteFile("c.bmp", Bmp(8, 8).left(20));
    for (const char* name : {"/b.bmp", "/c.bmp"}) {
        P::Step(s);
        ASSERT_FALSE(show.isNull()) << name;
        EXPECT_TRUE(P::Current(s).endsWith(name));
        EXPECT_FALSE(P::Image(s).Visible) << name;
        EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)), QColor(Qt::black)) << name;
    }
    P::Step(s);
    EXPECT_TRUE(P::Current(s).endsWith("/a.bmp"));
    EXPECT_TRUE(P::Image(s).Visible);
}

TEST_F(SlideShowTest, CrashingPluginCostsOnePictureAndTheShowGoesOn)
{
    program.AddPlugin("vcrashy.spi");
    pics.WriteFile("a.vcr", "SEGV");
    pics.WriteFile("b.vcr", "GOOD");
    SlideShow& s = Start();
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(P::TimerOn(s));
    EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)), QColor(Qt::black));
    P::Step(s); // the restarted helper draws the next one
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(P::Current(s).endsWith("/b.vcr"));
    EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)).green(), 255);
}

// Folders 0 (no picture), A (3), A/B (none), A/B/C (2), in walk order.
class RingTest : public SlideShowTest {
protected:
    void SetUp() override
    {
        SlideShowTest::SetUp();
        for (const char* name : {"A/a1.bmp", "A/a2.bmp", "A/a3.bmp", "A/B/C/c1.bmp", "A/B/C/c2.bmp"})
            pics.WriteFile(name, Bmp(4, 4));
        pics.MakeDir("A/B");
    }
};

TEST_F(RingTest, ForwardAndBackwardWrapOverEmptyFolders)
{
    SlideShow& s = Start();
    EXPECT_EQ(s.ListCount(), 4);
    EXPECT_EQ(P::FirstFolder(s), 1);
    EXPECT_EQ(P::Current(s), "A/a1.bmp");

    P::Key(s, 37); // backward from A's first: C's second
    EXPECT_EQ(P::Current(s), "C/c2.bmp");
    P::Step(s); // forward from C's second: over folder 0 to A's first
    EXPECT_EQ(P::Current(s), "A/a1.bmp");
    EXPECT_TRUE(P::TimerOn(s));
    EXPECT_EQ(P::Busy(s), VbFalse);
    P::Step(s);
    P::Step(s);
    EXPECT_EQ(P::Current(s), "A/a3.bmp");
    P::Step(s); // forward from A's third: C's first
    EXPECT_EQ(P::Current(s), "C/c1.bmp");
    P::Key(s, 37); // backward from C's first: A's third
    EXPECT_EQ(P::Current(s), "A/a3.bmp");
}

TEST_F(RingTest, TheLookAheadNamesThePictureEachStepShows)
{
    SlideShow& s = Start();
    // Forward twice round the ring, then back twice round it, across every
    // turn: within a folder, over empty folders, from the last to the first.
    for (const std::int32_t direction : {1, -1}) {
        for (int i = 0; i < 10; ++i) {
            const std::string predicted = P::Peek(s, direction);
            const std::string before = P::CurrentPath(s);
            P::Key(s, direction > 0 ? 39 : 37);
            EXPECT_EQ(predicted, P::CurrentPath(s)) << "from " << before << " by " << direction;
        }
    }
}

TEST_F(SlideShowTest, PicturesDecodedAheadFollowChangesToTheFileAndTheSetting)
{
    pics.WriteFile("a.bmp", Bmp(1000, 800));
    pics.WriteFile("b.bmp", Bmp(300, 600));
    pics.WriteFile("c.bmp", Bmp(300, 600));
    pics.WriteFile("d.bmp", Bmp(300, 600));
    SlideShow& s = Start();
    const ImageDisplay& image = P::Image(s);
    const auto centre = [&] {
        const QImage& r = image.Rendered();
        return QColor(r.pixel(r.width() / 2, r.height() / 2));
    };

    P::Settle(s); // b and c are ready now
    pics.WriteFile("b.bmp", Bmp(301, 600, Qt::blue));
    P::Step(s);
    EXPECT_EQ(P::Current(s), QDir(pics.Path()).dirName() + "/b.bmp");
    EXPECT_FLOAT_EQ(image.Width, 301);
    EXPECT_EQ(centre(), QColor(Qt::blue));

    P::Settle(s);
    program.WriteSettings("[Main]\r\nStretch=1\r\n");
    P::Step(s);
    EXPECT_FLOAT_EQ(image.Width, 367.5f);
    EXPECT_FLOAT_EQ(image.Height, 735);
    EXPECT_EQ(image.Rendered().size(), image.PixelRect().size());

    P::Settle(s);
    QFile::remove(pics.Path() + "/d.bmp");
    P::Step(s);
    ASSERT_FALSE(show.isNull());
    EXPECT_FALSE(image.Visible);
    EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)), QColor(Qt::black));

    P::Key(s, 37); // back to c, kept from a moment ago
    EXPECT_TRUE(image.Visible);
    EXPECT_FLOAT_EQ(image.Width, 367.5f);
    EXPECT_EQ(centre(), QColor(Qt::red));
}

TEST_F(SlideShowTest, OneFolderWrapsBothWaysAndPreviousOnTheSecondShowsTheFirst)
{
    for (int i = 1; i <= 5; ++i)
        pics.WriteFile(QString("p%1.bmp").arg(i), Bmp(4, 4));
    SlideShow& s = Start();
    const QString dir = QDir(pics.Path()).dirName() + "/";
    P::Key(s, 37);
    EXPECT_EQ(P::Current(s), dir + "p5.bmp");
    P::Key(s, 39);
    EXPECT_EQ(P::Current(s), dir + "p1.bmp");
    P::Key(s, 39);
    EXPECT_EQ(P::Current(s), dir + "p2.bmp");
    P::Key(s, 37);
    EXPECT_EQ(P::Current(s), dir + "p1.bmp");
}

TEST_F(SlideShowTest, CornersAt1024x768AndButtons)
{
    pics.WriteFile("p1.bmp", Bmp(4, 4));
    pics.WriteFile("p2.bmp", Bmp(4, 4));
    pics.WriteFile("p3.bmp", Bmp(4, 4));
    SlideShow& s = Start();
    const QString dir = QDir(pics.Path()).dirName() + "/";
    P::Click(s, 1, 103, 76); // just outside the left limit 102.4
    EXPECT_EQ(P::Current(s), dir + "p2.bmp");
    P::Click(s, 2, 921, 10); // just inside the right limit 921.6: previous
    EXPECT_EQ(P::Current(s), dir + "p1.bmp");
    P::Click(s, 4, 500, 500); // middle button outside the corners: nothing
    EXPECT_EQ(P::Current(s), dir + "p1.bmp");
    EXPECT_TRUE(P::TimerOn(s));
    P::Click(s, 2, 922, 10); // top-right corner: pause whatever the button
    EXPECT_FALSE(P::TimerOn(s));
    EXPECT_EQ(P::Current(s), dir + "p1.bmp");
    P::Click(s, 1, 922, 76.8f); // the limit itself is in the corner: resume
    EXPECT_TRUE(P::TimerOn(s));
    EXPECT_EQ(P::Current(s), dir + "p2.bmp");
    P::Click(s, 2, 922, 77); // below the corner: by its button again
    EXPECT_EQ(P::Current(s), dir + "p1.bmp");
    EXPECT_TRUE(P::TimerOn(s));
    P::Click(s, 4, 102, 76); // top-left corner closes whatever the button
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
}

TEST_F(SlideShowTest, ClicksOnImage1CountAtTheirWindowPosition)
{
    pics.WriteFile("p1.bmp", Bmp(624, 468));
    pics.WriteFile("p2.bmp", Bmp(624, 468));
    SlideShow& s = Start();
    ASSERT_FLOAT_EQ(P::Image(s).Left, 200);
    ASSERT_FLOAT_EQ(P::Image(s).Top, 150);
    // (0, 0) of the image is (200, 150) of the window: not the close corner.
    P::ImageClick(s, 1, 0, 0);
    EXPECT_FALSE(show.isNull());
    EXPECT_TRUE(P::Current(s).endsWith("/p2.bmp"));
    // A real press on the image goes the same way.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(300, 200), QPointF(300, 200), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&s, &press);
    EXPECT_TRUE(P::Current(s).endsWith("/p1.bmp"));
}

TEST_F(SlideShowTest, KeysIgnoreModifiersAndSpacePausesAndResumes)
{
    for (int i = 1; i <= 3; ++i)
        pics.WriteFile(QString("p%1.bmp").arg(i), Bmp(4, 4));
    SlideShow& s = Start();
    QKeyEvent shiftRight(QEvent::KeyPress, Qt::Key_Right, Qt::ShiftModifier);
    QCoreApplication::sendEvent(&s, &shiftRight);
    EXPECT_TRUE(P::Current(s).endsWith("/p2.bmp"));
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
    QCoreApplication::sendEvent(&s, &space);
    EXPECT_FALSE(P::TimerOn(s));
    EXPECT_TRUE(P::Current(s).endsWith("/p2.bmp"));
    QKeyEvent left(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier);
    QCoreApplication::sendEvent(&s, &left); // previous while paused runs on
    EXPECT_TRUE(P::Current(s).endsWith("/p1.bmp"));
    EXPECT_TRUE(P::TimerOn(s));
    QCoreApplication::sendEvent(&s, &space);
    QCoreApplication::sendEvent(&s, &space); // resume: the next picture at once
    EXPECT_TRUE(P::Current(s).endsWith("/p2.bmp"));
    EXPECT_TRUE(P::TimerOn(s));
    QKeyEvent other(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier);
    QCoreApplication::sendEvent(&s, &other);
    EXPECT_TRUE(P::Current(s).endsWith("/p2.bmp"));
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&s, &esc);
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
}

TEST_F(SlideShowTest, InputArrivingDuringAStepIsDropped)
{
    for (int i = 1; i <= 4; ++i)
        pics.WriteFile(QString("p%1.bmp").arg(i), Bmp(4, 4));
    SlideShow& s = Start();
    // Waiting before the step starts, delivered by the step's event pass.
    QCoreApplication::postEvent(&s, new QKeyEvent(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier));
    QCoreApplication::postEvent(&s, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    QCoreApplication::postEvent(&s, new QMouseEvent(QEvent::MouseButtonPress, QPointF(500, 500),
                                                    QPointF(500, 500), Qt::LeftButton,
                                                    Qt::LeftButton, Qt::NoModifier));
    P::Step(s);
    EXPECT_TRUE(P::Current(s).endsWith("/p2.bmp"));
    WaitFor([] { return false; }, 50);
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(P::Current(s).endsWith("/p2.bmp"));
}

TEST_F(SlideShowTest, TheTimerAdvancesTheShow)
{
    pics.WriteFile("p1.bmp", Bmp(4, 4));
    pics.WriteFile("p2.bmp", Bmp(4, 4));
    SlideShow& s = Start("0.05");
    EXPECT_EQ(P::Interval(s), 50);
    EXPECT_TRUE(WaitFor([&] { return P::Current(s).endsWith("/p2.bmp"); }, 3000));
}

TEST_F(SlideShowTest, AnotherWindowOfTheProgramEndsTheShowAnotherProgramDoesNot)
{
    pics.WriteFile("p1.bmp", Bmp(4, 4));
    Start();
    ASSERT_TRUE(WaitFor([&] { return show->isActiveWindow(); }));
    QApplication::setActiveWindow(nullptr); // the user turns to another program
    WaitFor([] { return false; }, 50);
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(show->isVisible());

    QWidget other;
    other.resize(200, 100);
    other.show();
    other.activateWindow();
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
}

TEST_F(SlideShowTest, SwitchingStraightToAnotherWindowOfTheProgramEndsTheShow)
{
    pics.WriteFile("p1.bmp", Bmp(4, 4));
    Start();
    ASSERT_TRUE(WaitFor([&] { return show->isActiveWindow(); }));
    QWidget other;
    other.resize(200, 100);
    other.show();
    other.activateWindow();
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
}

TEST_F(SlideShowTest, NoPicturesShowsTheMessageAndCloses)
{
    pics.MakeDir("sub");
    pics.WriteFile("sub/readme.txt", "text");
    MessageWatcher watcher;
    Launch();
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
    ASSERT_EQ(watcher.texts, QStringList{"有効な画像データがありません"});
    EXPECT_EQ(watcher.titles, QStringList{"Velmora"});
    EXPECT_EQ(watcher.icons.value(0), QMessageBox::Critical);
}

TEST_F(SlideShowTest, PicturesRemovedDuringTheShowEndItWithTheMessage)
{
    pics.WriteFile("A/a1.bmp", Bmp(4, 4));
    pics.WriteFile("A/a2.bmp", Bmp(4, 4));
    pics.WriteFile("A/B/b1.bmp", Bmp(4, 4));
    SlideShow& s = Start();
    EXPECT_EQ(P::FolderIndex(s), 1);
    QDir(pics.Path() + "/A").removeRecursively();
    MessageWatcher watcher;
    P::Key(s, 37); // backward past the vanished first folder
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
    EXPECT_EQ(watcher.texts, QStringList{"有効な画像データがありません"});
}

TEST_F(SlideShowTest, PicturesRemovedForwardInOneFolderEndTheShow)
{
    pics.WriteFile("p1.bmp", Bmp(4, 4));
    SlideShow& s = Start();
    QFile::remove(pics.Path() + "/p1.bmp");
    MessageWatcher watcher;
    P::Step(s);
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
    EXPECT_EQ(watcher.texts, QStringList{"有効な画像データがありません"});
}

} // namespace

// A screen of 1024 x 768 pixels at 96 dpi for every test.
int main(int argc, char** argv)
{
    QTemporaryFile config(QDir::tempPath() + "/velmora-screen-XXXXXX.json");
    config.open();
    config.write(R"({"screens":[{"name":"test","x":0,"y":0,"width":1024,"height":768,)"
                 R"("logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})");
    config.flush();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
