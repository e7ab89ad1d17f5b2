// The slide-show window: fitting, the advance ring, keys and clicks,
// activation, plug-in pictures and the end of a show, on a real offscreen
// window with real files.
#include "ShowWindowTest.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDBusMetaType>
#include <QUrl>
#include <QVariantMap>
#include <QProcess>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>
#include <QSet>
#include <QTest>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "../app/MessageBoxCloser.h"
#include "archives/ArchiveBytes.h"
#include "imaging/PictureTestData.h"
#include "app/Settings.h"
#include "common/PathText.h"
#include "common/RuntimeError.h"
#include "slideshow/FolderList.h"
#include "slideshow/PictureDisplay.h"
#include "slideshow/ShowFolders.h"
#include "slideshow/SlideShow.h"
#include "pluginhost/PluginTestSupport.h"
#include "pluginhost/Var1Archive.h"
#include "support/AnimatedPictures.h"
#include "support/TestSupport.h"

// The window's handlers as its events call them, and what it shows.
namespace SlideShowProbe {
inline void Step(SlideShow& s) { s.Timer1_Timer(); }
inline void Key(SlideShow& s, std::int16_t code) { s.Form_KeyDown(code, 0); }
inline void Click(SlideShow& s, std::int16_t button, float x, float y) { s.Form_MouseDown(button, 0, x, y); }
inline void ImageClick(SlideShow& s, std::int16_t b, float x, float y) { s.Image1_MouseDown(b, 0, x, y); }
inline bool Started(const SlideShow& s) { return s.ShowStarted(); }
inline bool TimerOn(const SlideShow& s) { return s.Timer1Enabled(); }
inline int Interval(const SlideShow& s) { return s.Timer1Interval(); }
inline std::int16_t Busy(const SlideShow& s) { return s.Busy(); }
inline std::int32_t FolderIndex(const SlideShow& s) { return s.Ring().FolderIndex(); }
inline std::int32_t FirstFolder(const SlideShow& s) { return s.Ring().FirstFolder(); }
inline QString Pattern(SlideShow& s)
{
    s.LoadPlugins();
    return s.File1().Pattern();
}
inline const ImageDisplay& Image(const SlideShow& s) { return s.Stage().Image1; }
inline const PictureBox& Picture(const SlideShow& s) { return *s.Stage().Picture1; }
// The picture on screen: its folder's last path element and its name.
inline QString Current(const SlideShow& s)
{
    const QFileInfo path(s.Ring().CurrentPath());
    return path.dir().dirName() + "/" + path.fileName();
}
inline std::string CurrentPath(const SlideShow& s) { return s.Ring().CurrentPath().toStdString(); }
inline std::string Peek(SlideShow& s, std::int32_t direction) { return s.Ring().Peek(direction).toStdString(); }
// Lets the decoding ahead finish.
inline void Settle(SlideShow& s) { s.Stage().Prefetch.WaitForDone(); }
} // namespace SlideShowProbe

namespace {

namespace P = SlideShowProbe;

void Send(QWidget& w, int key, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QKeyEvent e(QEvent::KeyPress, key, mods);
    QCoreApplication::sendEvent(&w, &e);
}

QColor Centre(const QImage& r) { return QColor(r.pixel(r.width() / 2, r.height() / 2)); }

class SlideShowTest : public ShowWindowTest {
protected:
    // Pictures p1.bmp .. pn.bmp in the start folder.
    void Pics(int n)
    {
        for (int i = 1; i <= n; ++i)
            pics.WriteFile(QString("p%1.bmp").arg(i), Bmp(4, 4));
    }
    // Creates and shows a window on pics.Path()/ and waits for its first picture.
    SlideShow& Start(const QString& interval = "60", const QString& dir = {})
    {
        Launch(interval, dir);
        if (show.isNull())
            throw std::runtime_error("the show closed before its first picture");
        return *show;
    }
    // The same for a show that may end at once.
    void Launch(const QString& interval = "60", const QString& dir = {})
    {
        show = new SlideShow(interval, &Settings::ReadStretch);
        show->SetShowArchives(archives);
        show->SetOptions(options);
        show->SetTag((dir.isEmpty() ? pics.Path() : dir) + "/");
        show->show();
        show->activateWindow();
        EXPECT_TRUE(WaitFor([&] { return show.isNull() || P::Started(*show); }));
    }
    bool Shows(const char* name) const { return P::Current(*show).endsWith(name); }
    bool ShowsBlack() const
    {
        return !P::Image(*show).Visible && QColor(P::Picture(*show).Image().pixel(512, 384)) == QColor(Qt::black);
    }

    TempTree pics;
    bool archives = false; // the option that makes archives folders
    ShowOptions options;   // the other options, all off
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
    // Divisors out of range or zero raise.
    for (const QSizeF bad : {QSizeF(10, 40000), QSizeF(0.4, 0.3)}) {
        ImageDisplay image;
        image.Width = float(bad.width());
        image.Height = float(bad.height());
        EXPECT_THROW(FitPicture(image, 1024, 768, true), RuntimeError);
    }
}

// ---------------------------------------------------------------- screen saver

QString& PrivateBusAddress()
{
    static QString address;
    return address;
}

void StartPrivateBus(QProcess& bus)
{
    bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
    if (bus.waitForStarted(5000) && bus.waitForReadyRead(5000))
        PrivateBusAddress() = QString::fromUtf8(bus.readLine()).trimmed();
    // Only the screen-saver tests name it as the session bus; the other
    // shows run with none.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
}

// The desktop's screen saver service as far as inhibiting goes.
class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    QStringList applications;
    QList<uint> released;
    uint next = 41;

public slots:
    uint Inhibit(const QString& application, const QString&)
    {
        applications.append(application);
        return ++next;
    }
    void UnInhibit(uint cookie) { released.append(cookie); }
};

// The desktop portal's Inhibit: each inhibition is a request object that
// Close ends.
class FakeRequest : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
public:
    bool closed = false;
public slots:
    void Close() { closed = true; }
};

class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")
public:
    explicit FakePortal(QDBusConnection& bus) : mBus(bus) {}
    std::vector<std::unique_ptr<FakeRequest>> requests;
    QList<uint> flags;
public slots:
    QDBusObjectPath Inhibit(const QString&, uint how, const QVariantMap&)
    {
        flags.append(how);
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/1_1/t%1").arg(requests.size());
        requests.push_back(std::make_unique<FakeRequest>());
        mBus.registerObject(path, requests.back().get(), QDBusConnection::ExportAllSlots);
        return QDBusObjectPath(path);
    }

private:
    QDBusConnection& mBus;
};

class ScreenSaverTest : public SlideShowTest {
protected:
    void SetUp() override
    {
        SlideShowTest::SetUp();
        if (PrivateBusAddress().isEmpty()) {
            if (qEnvironmentVariableIsSet("CI"))
                FAIL() << "dbus-daemon did not start";
            GTEST_SKIP() << "dbus-daemon is not installed (apt-get install dbus)";
        }
        qputenv("DBUS_SESSION_BUS_ADDRESS", PrivateBusAddress().toUtf8());
        service = QDBusConnection::connectToBus(PrivateBusAddress(), QStringLiteral("fake-screensaver"));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.ScreenSaver")));
        ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/ScreenSaver"), &fake,
                                           QDBusConnection::ExportAllSlots));
    }
    void TearDown() override
    {
        SlideShowTest::TearDown();
        service.unregisterObject(QStringLiteral("/org/freedesktop/ScreenSaver"));
        service.unregisterService(QStringLiteral("org.freedesktop.ScreenSaver"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-screensaver"));
    }

    FakeScreenSaver fake;
    QDBusConnection service{QString()};
};

TEST_F(ScreenSaverTest, IsKeptOffWhileTheShowRunsAndLetGoWhenItEnds)
{
    Pics(2);
    Start();
    ASSERT_TRUE(WaitFor([&] { return fake.applications.size() == 1; }));
    EXPECT_EQ(fake.applications.first(), QStringLiteral("Velmora"));
    Send(*show, Qt::Key_Right);
    QCoreApplication::processEvents();
    EXPECT_TRUE(fake.released.isEmpty()) << "still showing";
    show->close();
    ASSERT_TRUE(WaitFor([&] { return fake.released.size() == 1; }));
    EXPECT_EQ(fake.released.first(), 42u);
    EXPECT_EQ(fake.applications.size(), 1);
}

// Where the session offers the desktop portal (wlroots compositors ignore
// the screen saver service), its idle inhibitor is held too.
TEST_F(ScreenSaverTest, ThePortalsIdleInhibitorIsHeldWhileTheShowRuns)
{
    QDBusConnection portalBus = QDBusConnection::connectToBus(PrivateBusAddress(), QStringLiteral("fake-portal"));
    FakePortal portal(portalBus);
    ASSERT_TRUE(portalBus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    ASSERT_TRUE(portalBus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                                         QDBusConnection::ExportAllSlots));
    Pics(2);
    Start();
    ASSERT_TRUE(WaitFor([&] { return portal.requests.size() == 1; }));
    EXPECT_EQ(portal.flags, QList<uint>{8}); // idle
    EXPECT_FALSE(portal.requests[0]->closed);
    show->close();
    EXPECT_TRUE(WaitFor([&] { return portal.requests[0]->closed; }));
    portalBus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-portal"));
}

TEST_F(ScreenSaverTest, AnAnswerThatArrivesAfterTheEndIsLetGoAtOnce)
{
    {
        ScreenSaverInhibitor inhibitor;
        inhibitor.Inhibit(QStringLiteral("Velmora"), QStringLiteral("test"));
    } // gone before the service answered
    ASSERT_TRUE(WaitFor([&] { return fake.released.size() == 1; }));
    EXPECT_EQ(fake.released.first(), 42u);
    // No bus at all: nothing is sent and nothing fails.
    ScreenSaverInhibitor nowhere(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"),
                                                               QStringLiteral("nowhere")));
    nowhere.Inhibit(QStringLiteral("Velmora"), QStringLiteral("test"));
    nowhere.Release();
    QCoreApplication::processEvents();
    EXPECT_EQ(fake.applications.size(), 1);
}

// What a listener on the bus heard changing: name=value, a picture by its title.
class PropertiesHeard : public QObject {
    Q_OBJECT
public:
    QStringList said;
public slots:
    void Changed(const QString&, const QVariantMap& changed, const QStringList&)
    {
        for (auto it = changed.begin(); it != changed.end(); ++it)
            said.append(it.key() + "=" +
                        (it.key() == "Metadata"
                             ? qdbus_cast<QVariantMap>(it.value().value<QDBusArgument>()).value("xesam:title").toString()
                             : it.value().toString()));
    }
};

// A remote control on the session bus (as playerctl or a phone's remote):
// the calls step, pause and end the show, and what is shown is named.
class RemoteTest : public ScreenSaverTest {
protected:
    void SetUp() override
    {
        ScreenSaverTest::SetUp();
        client = QDBusConnection::connectToBus(PrivateBusAddress(), QStringLiteral("remote-client"));
        ASSERT_TRUE(client.isConnected());
    }
    void TearDown() override
    {
        ScreenSaverTest::TearDown();
        QDBusConnection::disconnectFromBus(QStringLiteral("remote-client"));
    }
    QDBusMessage Call(const QString& interface, const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(QStringLiteral("org.mpris.MediaPlayer2.velmora"),
                                                              QStringLiteral("/org/mpris/MediaPlayer2"), interface, method);
        message.setArguments(arguments);
        QDBusPendingCall pending = client.asyncCall(message);
        EXPECT_TRUE(WaitFor([&] { return pending.isFinished(); }, 20000)) << method.toStdString();
        return pending.reply();
    }
    bool Player(const char* method)
    {
        return Call(QStringLiteral("org.mpris.MediaPlayer2.Player"), QString::fromLatin1(method)).type() ==
               QDBusMessage::ReplyMessage;
    }
    QVariant Property(const char* name)
    {
        const QDBusMessage reply = Call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                        {QStringLiteral("org.mpris.MediaPlayer2.Player"), QString::fromLatin1(name)});
        return reply.arguments().isEmpty() ? QVariant() : reply.arguments()[0].value<QDBusVariant>().variant();
    }
    QVariantMap Metadata() { return qdbus_cast<QVariantMap>(Property("Metadata").value<QDBusArgument>()); }

    QDBusConnection client{QString()};
};

TEST_F(RemoteTest, StepsPausesAndEndsTheShowAndNamesThePicture)
{
    Pics(3);
    SlideShow& s = Start();
    // The name is asked for without waiting; the bus grants it a moment later.
    ASSERT_TRUE(WaitFor(
        [&] { return client.interface()->isServiceRegistered(QStringLiteral("org.mpris.MediaPlayer2.velmora")).value(); }));
    QVariantMap meta = Metadata();
    EXPECT_EQ(meta.value("xesam:title").toString(), "p1.bmp");
    EXPECT_EQ(meta.value("xesam:url").toString(), QUrl::fromLocalFile(pics.Path() + "/p1.bmp").toString());
    EXPECT_EQ(Property("PlaybackStatus").toString(), "Playing");

    // Listeners hear of every change.
    PropertiesHeard heard;
    ASSERT_TRUE(client.connect(QStringLiteral("org.mpris.MediaPlayer2.velmora"), QStringLiteral("/org/mpris/MediaPlayer2"),
                               QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
                               &heard, SLOT(Changed(QString, QVariantMap, QStringList))));

    ASSERT_TRUE(Player("Next"));
    EXPECT_TRUE(WaitFor([&] { return Shows("/p2.bmp"); }));
    ASSERT_TRUE(Player("PlayPause"));
    EXPECT_TRUE(WaitFor([&] { return !P::TimerOn(s); }));
    EXPECT_EQ(Property("PlaybackStatus").toString(), "Paused");
    ASSERT_TRUE(Player("Pause")); // paused already: nothing changes
    ASSERT_TRUE(Player("Previous"));
    EXPECT_TRUE(WaitFor([&] { return Shows("/p1.bmp"); }));
    EXPECT_TRUE(WaitFor([&] { return P::TimerOn(s); })) << "a step goes on with the show, as a key does";
    EXPECT_EQ(Metadata().value("xesam:title").toString(), "p1.bmp");
    ASSERT_TRUE(Player("Play")); // playing already
    ASSERT_TRUE(Player("Next"));
    EXPECT_TRUE(WaitFor([&] { return Shows("/p2.bmp"); }));
    EXPECT_TRUE(P::TimerOn(s));

    EXPECT_TRUE(WaitFor([&] { return heard.said.size() >= 5; }));
    EXPECT_EQ(heard.said, QStringList({"Metadata=p2.bmp", "PlaybackStatus=Paused", "Metadata=p1.bmp",
                                       "PlaybackStatus=Playing", "Metadata=p2.bmp"}));

    ASSERT_TRUE(Player("Stop"));
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
    EXPECT_TRUE(WaitFor(
        [&] { return !client.interface()->isServiceRegistered(QStringLiteral("org.mpris.MediaPlayer2.velmora")).value(); }))
        << "the name goes with the show";
}


TEST_F(SlideShowTest, WindowCoversTheScreenAndTheTimerFollowsTheText)
{
    Pics(2);
    SlideShow& s = Start("0.05");
    EXPECT_EQ(s.screen()->geometry().size(), QSize(1024, 768));
    EXPECT_EQ(s.size(), QSize(1024, 768));
    EXPECT_EQ(P::Picture(s).geometry(), QRect(0, 0, 1024, 768));
    EXPECT_TRUE(s.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(P::Interval(s), 50);
    EXPECT_TRUE(P::TimerOn(s));
    EXPECT_TRUE(WaitFor([&] { return Shows("/p2.bmp"); }, 3000));

    EXPECT_EQ(P::Interval(SlideShow("3", &Settings::ReadStretch)), 3000);
    SlideShow empty("", &Settings::ReadStretch);
    EXPECT_EQ(P::Interval(empty), 4000);
    EXPECT_EQ(P::Pattern(empty), "*.jpeg;*.jpg;*.bmp;*.dib;*.ico;*.rle;*.gif;*.wmf;*.emf;*.png;*.cur");
    EXPECT_THROW(SlideShow("abc", &Settings::ReadStretch), RuntimeError);
}

TEST_F(SlideShowTest, BuiltInPicturesAreFittedAndRleIsShownTheRightWayUp)
{
    pics.WriteFile("a.bmp", Bmp(1000, 800));
    pics.WriteFile("c.RLE", Rle8(300, 200));
    SlideShow& s = Start();
    const ImageDisplay& image = P::Image(s);
    EXPECT_TRUE(image.Visible);
    EXPECT_FALSE(P::Picture(s).isVisible());
    EXPECT_EQ(QRectF(image.Left, image.Top, image.Width, image.Height), QRectF(52.625, 16.5, 918.75, 735));
    EXPECT_EQ(image.Rendered().size(), image.PixelRect().size());
    EXPECT_EQ(Centre(image.Rendered()), QColor(Qt::red));
    P::Step(s);
    ASSERT_TRUE(Shows("/c.RLE"));
    EXPECT_EQ(QRectF(image.Left, image.Top, image.Width, image.Height), QRectF(362, 284, 300, 200));
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
    EXPECT_TRUE(P::Pattern(s).startsWith("*.vtp;*.jpeg;"));
    EXPECT_FALSE(P::Image(s).Visible);
    const PictureBox& box = P::Picture(s);
    EXPECT_TRUE(box.isVisible());
    ASSERT_EQ(box.Image().size(), QSize(1024, 768));
    EXPECT_EQ(QColor(box.Image().pixel(512, 384)), QColor(10, 200, 30));
    EXPECT_EQ(QColor(box.Image().pixel(5, 5)), QColor(Qt::black));
}

TEST_F(SlideShowTest, LinuxAndWindowsPluginPicturesInOneShow)
{
    SKIP_WITHOUT_WINDOWS_PLUGINS(true);
    program.AddPlugin("vtest.spi");
    program.AddPlugin("wtest.sph");
    pics.WriteFile("a.vtp", Vtp(100, 50, 10, 200, 30));
    pics.WriteFile("b.vtw", Vtp(50, 100, 200, 30, 10));
    pics.WriteFile("c.bmp", Bmp(4, 4));
    SlideShow& s = Start();
    EXPECT_TRUE(P::Pattern(s).startsWith("*.vtp;*.vtw;*.jpeg;") || P::Pattern(s).startsWith("*.vtw;*.vtp;*.jpeg;"));
    for (const QColor& colour : {QColor(10, 200, 30), QColor(200, 30, 10)}) {
        ASSERT_FALSE(show.isNull());
        EXPECT_FALSE(P::Image(s).Visible);
        EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)), colour);
        P::Step(s);
    }
    EXPECT_TRUE(Shows("/c.bmp"));
    EXPECT_TRUE(P::Image(s).Visible);
}

TEST_F(SlideShowTest, FifosSocketsAndDevicesNamedLikePicturesCostOnePictureEach)
{
    program.AddPlugin("vtest.spi");
    pics.WriteFile("a.bmp", Bmp(8, 8));
    const QByteArray dir = QFile::encodeName(pics.Path());
    // Opening a FIFO for reading waits for a writer: it must never be opened so.
    ASSERT_EQ(mkfifo(dir + "/b.jpg", 0600), 0);
    const int socketFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, dir + "/c.jpg", sizeof address.sun_path - 1);
    ASSERT_EQ(bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(symlink("/dev/zero", dir + "/d.jpg"), 0);
    pics.WriteFile("e.bmp", Bmp(8, 8, Qt::blue));
    SlideShow& s = Start();
    for (const char* name : {"/b.jpg", "/c.jpg", "/d.jpg"}) {
        P::Step(s);
        ASSERT_FALSE(show.isNull()) << name;
        EXPECT_TRUE(Shows(name));
        EXPECT_TRUE(ShowsBlack()) << name;
    }
    P::Step(s);
    EXPECT_TRUE(Shows("/e.bmp"));
    EXPECT_EQ(Centre(P::Image(s).Rendered()), QColor(Qt::blue));
    Send(s, Qt::Key_Escape);
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
    close(socketFd);
}

TEST(PicturePrefetch, AStalledReadIsTakenAsStalledAndWhatQueuedBehindItNeverStarts)
{
    // One stalled file per decoding worker, so that the last picture wanted
    // waits behind them.
    const int workers = DecodeService::Instance()->Threads();
    if (workers > PicturePrefetch::kAhead)
        GTEST_SKIP() << workers << " workers: more than the pictures decoded ahead, none waits";
    TempTree tree;
    QStringList stalled;
    for (int i = 0; i < workers; ++i) {
        stalled << tree.Path() + QString("/stalled%1.jpg").arg(i);
        ASSERT_EQ(mkfifo(QFile::encodeName(stalled.last()), 0600), 0);
    }
    const QString other = tree.WriteFile("o.bmp", Bmp(4, 4));
    std::atomic_int reading{0};
    // Reading a FIFO waits for a writer, as reading a file on a stalled mount waits.
    PicturePrefetch prefetch([&](const QString& path, QSize window, bool stretch) {
        if (!stalled.contains(path))
            return PreparePicture(path, window, stretch);
        ++reading;
        const int fd = open(QFile::encodeName(path), O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
        return PreparedPicture{};
    });
    const QSize window(100, 100);
    prefetch.Want(stalled + QStringList{other}, window, false);
    ASSERT_TRUE(WaitFor([&] { return reading.load() == workers; }));
    // The step's own request goes first, but no worker is free: the step
    // decodes it itself.
    const std::optional<PicturePrefetch::Request> queued = prefetch.Ask(other, window, false);
    ASSERT_TRUE(queued.has_value());
    EXPECT_FALSE(queued->Started());
    prefetch.Drop(*queued);
    const std::optional<PicturePrefetch::Request> stuck = prefetch.Ask(stalled.first(), window, false);
    ASSERT_TRUE(stuck.has_value());
    EXPECT_TRUE(stuck->Ahead());
    EXPECT_TRUE(stuck->Started());
    const std::optional<PreparedPicture> taken = prefetch.Take(*stuck);
    ASSERT_TRUE(taken.has_value());
    EXPECT_TRUE(taken->stalled);
    EXPECT_FALSE(taken->shown);
    // A writer lets the reader's open return; one that comes before the
    // reader has reached its open finds no reader and tries again.
    for (const QString& fifo : stalled)
        EXPECT_TRUE(WaitFor([&] {
            const int writer = open(QFile::encodeName(fifo), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer < 0)
                return false;
            close(writer);
            return true;
        }));
    prefetch.WaitForDone();
    EXPECT_TRUE(WaitFor([&] { return stuck->Ready(); }));
}

// The walk over such names is the folder list's and the ring's; here the
// show started in one.
TEST_F(SlideShowTest, AFolderWhoseNameEndsInABlankShowsItsOwnPictures)
{
    pics.WriteFile("x/b.bmp", Bmp(8, 8, Qt::blue));
    pics.WriteFile("x /a.bmp", Bmp(8, 8, Qt::red));
    SlideShow& s = Start("60", pics.Path() + "/x ");
    EXPECT_EQ(P::CurrentPath(s), (pics.Path() + "/x /a.bmp").toStdString());
    EXPECT_EQ(Centre(P::Image(s).Rendered()), QColor(Qt::red));
    P::Step(s);
    EXPECT_EQ(P::CurrentPath(s), (pics.Path() + "/x /a.bmp").toStdString()) << "the show stays in its own folder";
}

TEST_F(SlideShowTest, TheHourglassShowsForEveryPictureAndNoTickComesEarly)
{
    Pics(3);
    SlideShow& s = Start("1");
    P::Settle(s);
    // Cursor changes seen by the window while a step shows p2, decoded ahead.
    struct Watch : QObject {
        int waits = 0;
        bool eventFilter(QObject* o, QEvent* e) override
        {
            if (e->type() == QEvent::CursorChange && static_cast<QWidget*>(o)->cursor().shape() == Qt::WaitCursor)
                ++waits;
            return false;
        }
    } watch;
    s.installEventFilter(&watch);
    P::Step(s);
    s.removeEventFilter(&watch);
    EXPECT_TRUE(Shows("/p2.bmp"));
    EXPECT_GE(watch.waits, 1);
    EXPECT_EQ(s.cursor().shape(), Qt::ArrowCursor);
    // The step restarted the one-second timer after this point: the next
    // picture comes a whole second later, never before.
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(WaitFor([&] { return Shows("/p3.bmp"); }, 3000));
    EXPECT_GE(clock.elapsed(), 1000);
}

TEST_F(SlideShowTest, UnreadableTruncatedOrReplacedPicturesShowBlackAndTheShowGoesOn)
{
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"})
        pics.WriteFile(name, Bmp(8, 8));
    pics.WriteFile("d.bmp", "not a picture");
    SlideShow& s = Start();
    ASSERT_TRUE(P::Image(s).Visible);
    // Changed after the listing.
    QFile::remove(pics.Path() + "/b.bmp");
    pics.MakeDir("b.bmp");
    pics.WriteFile("c.bmp", Bmp(8, 8).left(20));
    for (const char* name : {"/b.bmp", "/c.bmp", "/d.bmp"}) {
        P::Step(s);
        ASSERT_FALSE(show.isNull()) << name;
        EXPECT_TRUE(Shows(name));
        EXPECT_TRUE(ShowsBlack()) << name;
        EXPECT_TRUE(P::Picture(s).isVisible()) << name;
    }
    P::Step(s);
    EXPECT_TRUE(Shows("/a.bmp"));
    EXPECT_TRUE(P::Image(s).Visible);
    EXPECT_FALSE(P::Picture(s).isVisible());
}

TEST_F(SlideShowTest, CrashingPluginCostsOnePictureAndTheShowGoesOn)
{
    program.AddPlugin("vcrashy.spi");
    pics.WriteFile("a.vcr", "SEGV");
    pics.WriteFile("b.vcr", "GOOD");
    SlideShow& s = Start();
    EXPECT_TRUE(P::TimerOn(s));
    EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)), QColor(Qt::black));
    P::Step(s); // the restarted helper draws the next one
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(Shows("/b.vcr"));
    EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)).green(), 255);
}

// A picture the built-in loader cannot read falls to the plug-ins, and one
// they do not draw either stays black: each is told once, with why.
TEST_F(SlideShowTest, APictureLeftBlackIsLoggedOnceWithThePluginsCode)
{
    program.AddPlugin("vtest.spi");
    pics.WriteFile("a.vtp", Vtp(0, 50, 1, 2, 3)); // no width: GetPicture returns 3
    pics.WriteFile("b.vtp", Vtp(100, 50, 10, 200, 30));
    LogLines log;
    SlideShow& s = Start();
    ASSERT_TRUE(Shows("/a.vtp"));
    EXPECT_TRUE(ShowsBlack());
    P::Settle(s);
    P::Step(s);
    ASSERT_TRUE(Shows("/b.vtp"));
    P::Settle(s);
    const QStringList told = log.Take(QStringLiteral("velmora.decode"));
    const std::string all = told.join('\n').toStdString();
    EXPECT_TRUE(Said(told, {pics.Path() + "/a.vtp", "stays black", "vtest.spi", "GetPicture returned 3"})) << all;
    EXPECT_EQ(told.filter("stays black").size(), 1) << all;
    EXPECT_TRUE(Said(told, {pics.Path() + "/a.vtp", "falls to the plug-ins"})) << all;
    EXPECT_TRUE(Said(told, {pics.Path() + "/b.vtp", "falls to the plug-ins"})) << all;
    EXPECT_EQ(told.filter("falls to the plug-ins").size(), 2) << all;
}

// Quiet by default: a picture left black, a plug-in left out and a folder
// that cannot be read print nothing until the rules turn the lines on.
TEST_F(SlideShowTest, NothingIsLoggedUnderTheDefaultRules)
{
    program.AddPlugin("vtest.spi");
    program.AddPlugin("varchive.spi");
    pics.WriteFile("a.vtp", Vtp(0, 50, 1, 2, 3));
    const QString missing = pics.Path() + "/missing";
    const auto run = [&] {
        ClsFolderList folders;
        folders.SearchDirs(missing);
        SlideShow& s = Start();
        EXPECT_TRUE(ShowsBlack());
        P::Settle(s);
        s.close();
        EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
    };
    {
        LogLines quiet(false);
        run();
        const QStringList told = quiet.Take();
        EXPECT_TRUE(told.isEmpty()) << told.join('\n').toStdString();
    }
    LogLines on;
    run();
    const QStringList told = on.Take();
    const std::string all = told.join('\n').toStdString();
    EXPECT_TRUE(Said(told, {"a.vtp", "stays black"})) << all;
    EXPECT_TRUE(Said(told, {"varchive.spi", "left out"})) << all;
    EXPECT_TRUE(Said(told, {missing, "cannot be read"})) << all;
}

// The threads of this process, by their ids, but for those that list
// folders (they come as the folders do).
QSet<QString> Threads()
{
    QSet<QString> threads;
    for (const QString& task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/self/task/" + task + "/comm");
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith("velmora-list"))
            threads.insert(task);
    }
    return threads;
}

TEST_F(SlideShowTest, AHeldKeyDecodesOnTheServiceThreadsAlone)
{
    // Large enough that the PNG quick path inflates on a second thread.
    QImage photo(2400, 1600, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(x, y, qRgb(x * 7 + y, x ^ y, y * 3));
    const QByteArray png = Encode(photo, "png", 0);
    for (int i = 0; i < 8; ++i)
        pics.WriteFile(QString("p%1.png").arg(i), png);
    SlideShow& s = Start();
    const QSet<QString> before = Threads();
    QSet<QString> seen = before;
    // Sampled from inside the steps too: they wait in the event loop.
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] { seen.unite(Threads()); });
    sample.start(1);
    for (int i = 0; i < 16 && !show.isNull(); ++i) {
        Send(s, Qt::Key_Right);
        seen.unite(Threads());
    }
    sample.stop();
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(Shows("/p0.png"));
    EXPECT_EQ(seen - before, QSet<QString>()) << "no thread beyond those the show started with";
    int decoders = 0;
    for (const QString& task : seen) {
        QFile comm("/proc/self/task/" + task + "/comm");
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("velmora-dec"))
            ++decoders;
    }
    EXPECT_EQ(decoders, DecodeService::Instance()->Threads());
}

TEST_F(SlideShowTest, PluginPicturesOfAHeldKeyAreDrawnAhead)
{
    program.AddPlugin("vtest.spi");
    const QColor colours[] = {QColor(200, 0, 0), QColor(0, 200, 0), QColor(0, 0, 200), QColor(200, 200, 0),
                              QColor(0, 200, 200), QColor(200, 0, 200)};
    for (int i = 0; i < 6; ++i)
        pics.WriteFile(QString("p%1.vtp").arg(i),
                       Vtp(3000, 2000, colours[i].red(), colours[i].green(), colours[i].blue()));
    SlideShow& s = Start();
    for (int i = 1; i <= 8 && !show.isNull(); ++i) {
        Send(s, Qt::Key_Right);
        ASSERT_TRUE(Shows(QString("/p%1.vtp").arg(i % 6).toUtf8().constData()));
        EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)), colours[i % 6]) << i;
    }
    EXPECT_EQ(s.Stage().DrawnInStep(), 0) << "every step found its plug-in picture drawn ahead";
}

TEST_F(SlideShowTest, EscOrTheTopLeftCornerEndAShowWhoseStepWaitsForAHangingPlugin)
{
    // The plug-in never answers; the bridge gives up only long after.
    ScopedEnvironment limit("VELMORA_SPI_TIMEOUT_MS", "60000");
    program.AddPlugin("vcrashy.spi");
    pics.WriteFile("a.bmp", Bmp(8, 8));
    QString last;
    // The step waits for the look-ahead, or draws with the plug-in itself.
    for (const bool ahead : {true, false}) {
        for (const bool esc : {true, false}) {
            SCOPED_TRACE(std::string(esc ? "Esc" : "top left corner") +
                         (ahead ? ", decoded ahead" : ", drawn by the step"));
            // A file of its own each time, the one before gone.
            if (!last.isEmpty())
                QFile::remove(pics.Path() + "/" + last);
            last = QStringLiteral("%1-%2.vcr").arg(ahead ? "ahead" : "step", esc ? "esc" : "corner");
            pics.WriteFile(last, "HANG");
            SlideShow& s = Start();
            ASSERT_TRUE(Shows("/a.bmp"));
            // Without a plug-in drawer and with what was under way dropped,
            // the look-ahead leaves plug-in pictures to the step.
            if (!ahead) {
                s.Stage().Prefetch.SetEnabled(false);
                s.Stage().Prefetch.SetDecoder([](const QString& p, QSize w, bool s) { return PreparePicture(p, w, s); });
            }
            // How many pictures the step drew itself when the window closed.
            struct Watch : QObject {
                SlideShow* show = nullptr;
                int drawnBefore = 0, drawn = -1;
                bool eventFilter(QObject*, QEvent* e) override
                {
                    if (e->type() == QEvent::Close)
                        drawn = show->Stage().DrawnInStep() - drawnBefore;
                    return false;
                }
            } watch;
            watch.show = &s;
            watch.drawnBefore = s.Stage().DrawnInStep();
            s.installEventFilter(&watch);
            // The way out comes while the step waits for the plug-in: at
            // once when decoded ahead, once the step draws when not.
            QTimer exit;
            QObject::connect(&exit, &QTimer::timeout, &s, [&] {
                if (!ahead && s.Stage().DrawnInStep() == watch.drawnBefore)
                    return;
                exit.stop();
                if (esc)
                    QCoreApplication::postEvent(&s, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
                else
                    QCoreApplication::postEvent(&s, new QMouseEvent(QEvent::MouseButtonPress, QPointF(5, 5),
                                                                    QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                                                                    Qt::NoModifier));
            });
            exit.start(5);
            QElapsedTimer clock;
            clock.start();
            P::Step(s);
            EXPECT_TRUE(WaitFor([&] { return show.isNull(); }, 30000));
            // Far below the bridge's limit: the wait ended with the exit.
            EXPECT_LT(clock.elapsed(), 2000);
            EXPECT_EQ(watch.drawn, ahead ? 0 : 1) << "whether the step drew with the plug-in itself";
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

TEST_F(SlideShowTest, CornersAt1024x768AndButtons)
{
    for (int i = 1; i <= 3; ++i)
        pics.WriteFile(QString("p%1.bmp").arg(i), Bmp(624, 468));
    SlideShow& s = Start();
    struct Case {
        std::int16_t button;
        float x, y;
        const char* shows;
        bool timer;
    };
    const Case cases[] = {
        {1, 103, 76, "/p2.bmp", true},  // just outside the left limit 102.4
        {2, 921, 10, "/p1.bmp", true},  // just inside the right limit 921.6: previous
        {4, 500, 500, "/p1.bmp", true}, // middle button outside the corners: nothing
        {2, 921.6f, 10, "/p1.bmp", false}, // the right limit itself is in the corner: pause
        {1, 922, 76.8f, "/p2.bmp", true}, // the limit itself is in the corner: resume
        {2, 922, 77, "/p1.bmp", true},  // below the corner: by its button again
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.button << " at " << c.x << "," << c.y);
        P::Click(s, c.button, c.x, c.y);
        EXPECT_TRUE(Shows(c.shows));
        EXPECT_EQ(P::TimerOn(s), c.timer);
    }
    // Clicks on Image1 count at their window position: (0, 0) of the image
    // is (200, 150) of the window, not the close corner.
    ASSERT_EQ(QPointF(P::Image(s).Left, P::Image(s).Top), QPointF(200, 150));
    P::ImageClick(s, 1, 0, 0);
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(Shows("/p2.bmp"));
    // A real press goes the same way.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(300, 200), QPointF(300, 200), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&s, &press);
    EXPECT_TRUE(Shows("/p3.bmp"));
    P::Click(s, 4, 102.4f, 76.8f); // top-left corner, its limits included, closes whatever the button
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
}

TEST_F(SlideShowTest, KeysWrapInOneFolderIgnoreModifiersSpacePausesAndInputDuringAStepIsDropped)
{
    Pics(3);
    SlideShow& s = Start();
    Send(s, Qt::Key_Left);
    EXPECT_TRUE(Shows("/p3.bmp"));
    Send(s, Qt::Key_Right);
    EXPECT_TRUE(Shows("/p1.bmp"));
    Send(s, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_TRUE(Shows("/p2.bmp"));
    Send(s, Qt::Key_Space);
    EXPECT_FALSE(P::TimerOn(s));
    EXPECT_TRUE(Shows("/p2.bmp"));
    Send(s, Qt::Key_Left); // previous while paused runs on
    EXPECT_TRUE(Shows("/p1.bmp"));
    EXPECT_TRUE(P::TimerOn(s));
    Send(s, Qt::Key_Space);
    Send(s, Qt::Key_Space); // resume: the next picture at once
    EXPECT_TRUE(Shows("/p2.bmp"));
    EXPECT_TRUE(P::TimerOn(s));
    Send(s, Qt::Key_A);
    EXPECT_TRUE(Shows("/p2.bmp"));
    // Input waiting before a step starts, delivered by the step's event pass, is dropped.
    QCoreApplication::postEvent(&s, new QKeyEvent(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier));
    QCoreApplication::postEvent(&s, new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier));
    QCoreApplication::postEvent(&s, new QMouseEvent(QEvent::MouseButtonPress, QPointF(500, 500), QPointF(500, 500),
                                                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
    P::Step(s);
    EXPECT_TRUE(Shows("/p3.bmp"));
    WaitFor([] { return false; }, 50);
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(Shows("/p3.bmp"));
    EXPECT_TRUE(P::TimerOn(s));
    // All but the way out: Esc during a step ends the show.
    QCoreApplication::postEvent(&s, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    P::Step(s);
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
}

TEST_F(SlideShowTest, AnotherWindowOfTheProgramEndsTheShowAnotherProgramDoesNot)
{
    Pics(1);
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

TEST_F(SlideShowTest, WrapsOverFoldersOnDiskAndEndsWithTheMessageWhenNoPicturesAreThereOrLeft)
{
    // None at all; backward past a vanished first folder; forward in one folder.
    for (const char* kind : {"none", "nested", "flat"}) {
        SCOPED_TRACE(kind);
        const QString top = pics.MakeDir(kind);
        const QString k = kind;
        for (const char* rel : {"/A/a1.bmp", "/A/a2.bmp", "/A/B/C/c1.bmp", "/p1.bmp"})
            if (k == "nested" ? QString(rel).startsWith("/A") : k == "flat" && QString(rel) == "/p1.bmp")
                pics.WriteFile(k + rel, Bmp(4, 4));
        MessageBoxCloser closer;
        if (k != "none") {
            SlideShow& s = Start("60", top);
            if (k == "nested") {
                // The folders on disk as the ring has them: the start folder
                // and A/B hold no picture. Back from the first picture wraps
                // to the last folder; on from there passes both.
                ASSERT_TRUE(WaitFor([&] { return s.WalkComplete(); }));
                EXPECT_EQ(s.ListCount(), 4);
                EXPECT_EQ(P::FirstFolder(s), 1);
                for (const auto& [key, want] : {std::pair(37, "C/c1.bmp"), std::pair(0, "A/a1.bmp")}) {
                    key ? P::Key(s, std::int16_t(key)) : P::Step(s);
                    EXPECT_EQ(P::Current(s), want);
                    EXPECT_TRUE(P::TimerOn(s));
                    EXPECT_EQ(P::Busy(s), 0) << "a step ends idle";
                }
            }
            EXPECT_EQ(P::FolderIndex(s), k == "nested" ? 1 : 0);
            k == "nested" ? QDir(top + "/A").removeRecursively() : QFile::remove(top + "/p1.bmp");
            k == "nested" ? P::Key(s, 37) : P::Step(s);
        } else {
            pics.WriteFile(k + "/sub/readme.txt", "text");
            Launch("60", top);
        }
        EXPECT_TRUE(WaitFor([&] { return show.isNull(); }));
        ASSERT_EQ(closer.Shown().size(), 1);
        EXPECT_EQ(closer.Shown()[0].text, "有効な画像データがありません");
        EXPECT_EQ(closer.Shown()[0].title, "Velmora");
        EXPECT_EQ(closer.Shown()[0].icon, QMessageBox::Critical);
    }
}


// A colour for every picture of the archive tests, so that what is on
// screen tells which file it came from.
QColor ColourOf(const QString& name) { return QColor(QColor::fromHsv(int(qHash(name) % 360), 255, 200).rgb()); }

// The picture on screen, as a path below top.
QString Below(const SlideShow& s, const QString& top) { return s.Ring().CurrentPath().mid(top.size() + 1); }

// Steps forward, then back, rounds times round the ring (paths below top)
// from its first picture, each one on screen in its colour (ColourOf its
// file name), or black for a name in black.
void ExpectRing(SlideShow& s, const QPointer<SlideShow>& show, const QString& top, const QStringList& ring,
                int rounds, const QStringList& black = {})
{
    ASSERT_EQ(Below(s, top), ring[0]);
    const int steps = rounds * int(ring.size());
    for (const int key : {39, 37}) {
        for (int i = 1; i <= steps; ++i) {
            P::Key(s, std::int16_t(key));
            ASSERT_FALSE(show.isNull());
            const QString& name = ring[(key == 39 ? i : steps - i) % ring.size()];
            ASSERT_EQ(Below(s, top), name) << (key == 39 ? "forward" : "back") << " step " << i;
            if (black.contains(name)) {
                EXPECT_FALSE(P::Image(s).Visible) << name.toStdString();
                EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)), QColor(Qt::black)) << name.toStdString();
                continue;
            }
            ASSERT_TRUE(P::Image(s).Visible) << name.toStdString();
            EXPECT_EQ(Centre(P::Image(s).Rendered()), ColourOf(name.section('/', -1))) << name.toStdString();
        }
    }
}

TEST_F(SlideShowTest, ArchivesAreFoldersOfTheRingAmongTheFoldersBothWaysAndOffTheyAreSkipped)
{
    const QString top = pics.MakeDir("t");
    const QString stage = pics.MakeDir("stage");
    const auto picture = [&](const QString& rel) { pics.WriteFile(rel, Bmp(40, 30, ColourOf(rel.section('/', -1)))); };
    picture("t/a/1.bmp");
    picture("t/f/3.bmp");
    // b.zip: pictures in name order of their inner paths, an archive inside
    // it, a text file; d.zip holds no picture; e.zip is no ZIP at all; h.zip
    // is a FIFO; c.7z and g.tar.gz are the other archivers'.
    for (const char* rel : {"stage/b/p1.bmp", "stage/b/sub/p2.bmp", "stage/n/q.bmp", "stage/c/r.bmp", "stage/g/s.bmp"})
        picture(rel);
    pics.WriteFile("stage/b/notes.txt", "text");
    pics.WriteFile("stage/d/notes.txt", "text");
    RunTool(stage + "/n", "zip", {"-q", stage + "/b/inner.zip", "q.bmp"});
    RunTool(stage + "/b", "zip", {"-qr", top + "/b.zip", "p1.bmp", "sub", "inner.zip", "notes.txt"});
    RunTool(stage + "/c", "7z", {"a", "-bd", top + "/c.7z", "r.bmp"});
    RunTool(stage + "/d", "zip", {"-q", top + "/d.zip", "notes.txt"});
    RunTool(stage + "/g", "tar", {"czf", top + "/g.tar.gz", "s.bmp"});
    pics.WriteFile("t/e.zip", "not an archive, only named like one");
    // A comic book RAR and an LZH, written byte by byte.
    const auto entry = [](const char* name) {
        return archive_bytes::File{name, Bmp(40, 30, ColourOf(name))};
    };
    pics.WriteFile("t/c1.cbr", archive_bytes::Rar4({entry("u.bmp")}));
    pics.WriteFile("t/c2.LZH", archive_bytes::Lzh({entry("v.bmp")}));
    ASSERT_EQ(mkfifo(QFile::encodeName(top + "/h.zip").constData(), 0600), 0);

    const QStringList ring = {"a/1.bmp", "b.zip/p1.bmp", "b.zip/sub/p2.bmp", "b.zip/inner.zip/q.bmp",
                              "c.7z/r.bmp", "c1.cbr/u.bmp", "c2.LZH/v.bmp", "f/3.bmp", "g.tar.gz/s.bmp"};
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on ? "archives shown" : "archives off");
        archives = on;
        SlideShow& s = Start("60", top);
        ExpectRing(s, show, top, on ? ring : QStringList{"a/1.bmp", "f/3.bmp"}, 2);
        // Off, the walk lists folders alone; on, every archive is a folder
        // and the one inside b.zip follows it.
        EXPECT_EQ(s.ListCount(), on ? 12 : 3);
        // Pictures decoded ahead are checked against the archive's file.
        const FileStamp stamp = StampOf(top + "/b.zip/inner.zip/q.bmp");
        EXPECT_TRUE(stamp.exists);
        EXPECT_EQ(stamp, StampOf(top + "/b.zip"));
        show->close();
        ASSERT_TRUE(WaitFor([&] { return show.isNull(); }));
    }
}

TEST_F(SlideShowTest, BadEntriesInArchivesShowBlackAndJapaneseNamesComeOutRight)
{
    archives = true;
    TempTree staging;
    const QString stage = staging.Path();
    pics.WriteFile("a.bmp", Bmp(8, 8));
    // A ZIP made on Japanese Windows: code page 932 names, no UTF-8 flag.
    using archive_bytes::File;
    pics.WriteFile("b.zip", archive_bytes::Zip({File{QByteArray("\x89\xe6\x91\x9c.bmp"), Bmp(8, 8, Qt::blue)},
                                                File{"\x83\x65\x83\x58\x83\x67.bmp", "not a picture"}}));
    // An entry locked by a password.
    staging.WriteFile("secret.bmp", Bmp(8, 8));
    RunTool(stage, "zip", {"-q", "-P", "password", pics.Path() + "/c.zip", "secret.bmp"});
    pics.WriteFile("d.bmp", Bmp(8, 8, Qt::green));
    // An archive removed during the show.
    staging.WriteFile("gone.bmp", Bmp(8, 8));
    RunTool(stage, "zip", {"-q", pics.Path() + "/e.zip", "gone.bmp"});
    SlideShow& s = Start();
    struct Want {
        const char* name;
        bool black;
    };
    // The start folder's own pictures first, then its archives.
    for (const Want& want : {Want{"d.bmp", false}, Want{"b.zip/テスト.bmp", true}, Want{"b.zip/画像.bmp", false},
                             Want{"c.zip/secret.bmp", true}, Want{"e.zip/gone.bmp", true}, Want{"a.bmp", false}}) {
        P::Step(s);
        ASSERT_FALSE(show.isNull()) << want.name;
        EXPECT_EQ(Below(s, pics.Path()), QString::fromUtf8(want.name));
        EXPECT_EQ(ShowsBlack(), want.black) << want.name;
        // The look-ahead has begun listing the next archive: once it is
        // listed, it goes.
        if (QByteArray(want.name) == "c.zip/secret.bmp") {
            const QString gone = pics.Path() + "/e.zip";
            ASSERT_TRUE(WaitFor([&] { return s.Stage().Archives()->Find(gone).has_value(); }, 30000));
            QFile::remove(gone);
        }
    }
}

TEST_F(SlideShowTest, PicturesInArchivesReachTheLinuxAndWindowsPluginsInMemory)
{
    archives = true;
    program.AddPlugin("vtest.spi");
    const bool windows = WindowsPluginsMissing(true).empty();
    if (windows)
        program.AddPlugin("wtest.sph");
    using archive_bytes::File;
    // One the plug-in takes from memory, one it wants as a file (a green
    // picture then).
    std::vector<File> files{{"a.vtp", Vtp(100, 50, 10, 200, 30)}, {"b.vtp", "FILE"}};
    if (windows)
        files.push_back({"c.vtw", Vtp(50, 100, 30, 10, 200)});
    pics.WriteFile("in.zip", archive_bytes::Zip(files));
    SlideShow& s = Start();
    QList<QColor> colours{QColor(10, 200, 30), QColor(Qt::green)};
    if (windows)
        colours << QColor(30, 10, 200);
    for (const QColor& colour : colours) {
        ASSERT_FALSE(show.isNull());
        EXPECT_FALSE(P::Image(s).Visible);
        EXPECT_EQ(QColor(P::Picture(s).Image().pixel(512, 384)), colour) << P::CurrentPath(s);
        P::Step(s);
    }
    // Nothing was written beside the archive.
    EXPECT_EQ(QDir(pics.Path()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList{"in.zip"});
}

// The test archive plug-in in each of its builds (Linux, Windows 32- and
// 64-bit): its archives are folders as built-in ones are, also inside a
// built-in archive, and archives inside them follow them.
TEST_F(SlideShowTest, ArchivePluginsInEveryBuildMakeFoldersOfTheRing)
{
    archives = true;
    const QString top = pics.MakeDir("t");
    const auto bmp = [](const char* name) { return Bmp(40, 30, ColourOf(QString(name).section('/', -1))); };
    pics.WriteFile("t/a/1.bmp", bmp("1.bmp"));
    pics.WriteFile("t/f/3.bmp", bmp("3.bmp"));
    pics.WriteFile("t/b.var", Var1({{"z.bmp", bmp("z.bmp")}, {"sub\\y.bmp", bmp("y.bmp")}, {"notes.txt", "text"},
                                    {"inner.var", Var1({{"q.bmp", bmp("q.bmp")}})}, {"bad.bmp", "not a picture"}}));
    pics.WriteFile("t/c.zip", archive_bytes::Zip({archive_bytes::File{"in.var", Var1({{"r.bmp", bmp("r.bmp")}})}}));
    // Damaged after its first file; one its IsSupported refuses.
    pics.WriteFile("t/d.var", Var1({{"s.bmp", bmp("s.bmp")}}) + "\x05broken");
    pics.WriteFile("t/e.var", "VAR2 is another format");
    const QStringList ring = {"a/1.bmp", "b.var/bad.bmp", "b.var/sub/y.bmp", "b.var/z.bmp", "b.var/inner.var/q.bmp",
                              "c.zip/in.var/r.bmp", "d.var/s.bmp", "f/3.bmp"};
    const struct {
        const char* plugin;
        bool sixtyFour;
        bool windows;
    } builds[] = {{"axtest.spi", true, false}, {"windows/axtest.spi", false, true}, {"windows/axtest.sph", true, true}};
    for (const auto& build : builds) {
        SCOPED_TRACE(build.plugin);
        if (build.windows)
            SKIP_WITHOUT_WINDOWS_PLUGINS(build.sixtyFour); // the Linux build has run
        // Each build under a name of its own: a helper runs one file.
        QDir(program.PluginFolder()).removeRecursively();
        program.MakeDir("Plugin");
        program.AddPlugin(TestPluginDir() + "/" + build.plugin, QString(build.plugin).replace('/', '-'));
        SlideShow& s = Start("60", top);
        ExpectRing(s, show, top, ring, 1, {"b.var/bad.bmp"});
        show->close();
        ASSERT_TRUE(WaitFor([&] { return show.isNull(); }));
    }
}

// Archives inside archives follow their holder, down to a depth limit
// that a chain of five nested ZIPs passes.
TEST(ShowFolders, ArchivesInsideArchivesAreFoldersFourLevelsDeep)
{
    using archive_bytes::File;
    QByteArray chain = archive_bytes::Zip({File{"p4.bmp", Bmp(4, 4)}});
    for (int depth = 3; depth >= 0; --depth)
        chain = archive_bytes::Zip({File{QByteArray("p") + QByteArray::number(depth) + ".bmp", Bmp(4, 4)},
                                    File{QByteArray("z") + QByteArray::number(depth + 1) + ".zip", chain}});
    TempTree tree;
    tree.WriteFile("z0.zip", chain);
    ShowFolders folders;
    folders.File1.SetPattern("*.bmp");
    folders.SetShowArchives(true);
    folders.SearchDirs(tree.Path());
    PictureRing ring(folders);
    ASSERT_TRUE(ring.Start());
    QStringList seen{ring.CurrentPath().mid(tree.Path().size() + 1)};
    for (QString path = ring.Step(Direction::Forward); !seen.contains(path.mid(tree.Path().size() + 1));
         path = ring.Step(Direction::Forward))
        seen << path.mid(tree.Path().size() + 1);
    EXPECT_EQ(seen, QStringList({"z0.zip/p0.bmp", "z0.zip/z1.zip/p1.bmp", "z0.zip/z1.zip/z2.zip/p2.bmp",
                                 "z0.zip/z1.zip/z2.zip/z3.zip/p3.bmp"}));
}

TEST_F(SlideShowTest, AnArchiveThatListsForMinutesCostsOneBoundedWaitAndTheShowGoesOn)
{
    archives = true;
    pics.WriteFile("a/1.bmp", Bmp(8, 8));
    pics.WriteFile("b.tar.zst", archive_bytes::SlowTarZst(1024));
    pics.WriteFile("c/2.bmp", Bmp(8, 8));
    LogLines log;
    SlideShow& s = Start();
    ASSERT_TRUE(Shows("a/1.bmp"));
    // The step waits for the listing within its bound, then passes the
    // archive over; later steps pass it without waiting again.
    for (const auto& [key, want] : {std::pair(39, "c/2.bmp"), std::pair(39, "a/1.bmp"), std::pair(37, "c/2.bmp"),
                                    std::pair(37, "a/1.bmp"), std::pair(39, "c/2.bmp")}) {
        P::Key(s, std::int16_t(key));
        ASSERT_FALSE(show.isNull());
        EXPECT_TRUE(Shows(want)) << P::CurrentPath(s);
    }
    const QStringList told = log.Take("velmora.walk");
    ASSERT_EQ(told.size(), 1) << told.join('\n').toStdString();
    EXPECT_TRUE(told[0].contains("still being listed")) << told[0].toStdString();
}

} // namespace

// A screen of 1024 x 768 pixels at 96 dpi for every test.
int main(int argc, char** argv)
{
    // Every show here talks to a session bus of its own, never the user's.
    QProcess bus;
    StartPrivateBus(bus);
    QTemporaryFile config(QDir::tempPath() + "/velmora-screen-XXXXXX.json");
    config.open();
    config.write(R"({"screens":[{"name":"test","x":0,"y":0,"width":1024,"height":768,)"
                 R"("logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})");
    config.flush();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    QApplication app(argc, argv);
    DecodeService decoding;
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    bus.kill();
    bus.waitForFinished();
    return result;
}

#include "SlideShowTest.moc"
#include "imaging/DecodeService.h"

// The pointer hides after a while without motion and comes back with any
// motion over the window or the picture; while it is hidden, a wait shows
// no hourglass, which comes back with the pointer.
TEST_F(SlideShowTest, HiddenPointerGoesWhenStillAndComesBackOnMotion)
{
    pics.WriteFile("a.bmp", Bmp(400, 300));
    pics.WriteFile("b.vtp", Vtp(100, 50, 10, 200, 30));
    pics.WriteFile("c.vcr", "HANG");
    program.AddPlugin("vtest.spi");
    program.AddPlugin("vcrashy.spi");
    ScopedEnvironment limit("VELMORA_SPI_TIMEOUT_MS", "60000");
    options.hidePointer = true;
    SlideShow& s = Start();
    const auto shape = [&] { return s.cursor().shape(); };
    EXPECT_NE(shape(), Qt::BlankCursor) << "there at first";
    ASSERT_TRUE(WaitFor([&] { return shape() == Qt::BlankCursor; }, 20000));

    // The motion arrives through the window system.
    QTest::mouseMove(&s, QPoint(110, 110));
    EXPECT_TRUE(WaitFor([&] { return shape() == Qt::ArrowCursor; })) << "back with motion";
    ASSERT_TRUE(WaitFor([&] { return shape() == Qt::BlankCursor; }, 20000));
    s.Stage().Pointer.SetWaiting(true);
    EXPECT_EQ(shape(), Qt::BlankCursor) << "no hourglass while hidden";
    QTest::mouseMove(&s, QPoint(20, 20));
    EXPECT_TRUE(WaitFor([&] { return shape() == Qt::WaitCursor; })) << "the hourglass with the pointer";
    s.Stage().Pointer.SetWaiting(false);

    // Over a plug-in's picture, which covers the window.
    P::Step(s);
    ASSERT_TRUE(Shows("/b.vtp"));
    ASSERT_TRUE(P::Picture(s).isVisible());
    ASSERT_TRUE(WaitFor([&] { return shape() == Qt::BlankCursor; }, 20000));
    QTest::mouseMove(s.Stage().Picture1, QPoint(30, 30));
    EXPECT_TRUE(WaitFor([&] { return shape() == Qt::ArrowCursor; }));

    // A picture the step draws with a plug-in that never answers: no
    // hourglass of any kind while the pointer is hidden, the hourglass once
    // motion brings the pointer back; Esc ends the wait and the show.
    s.Stage().Prefetch.SetEnabled(false);
    s.Stage().Prefetch.SetDecoder([](const QString& p, QSize w, bool st) { return PreparePicture(p, w, st); });
    ASSERT_TRUE(WaitFor([&] { return shape() == Qt::BlankCursor; }, 20000));
    const int drawnBefore = s.Stage().DrawnInStep();
    QElapsedTimer drawing;
    int hiddenLooks = 0, hourglassWhileHidden = 0;
    bool moved = false, hourglassAfterMotion = false;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &s, [&] {
        if (s.Stage().DrawnInStep() == drawnBefore)
            return;
        if (!drawing.isValid())
            drawing.start();
        const bool hourglass = QGuiApplication::overrideCursor() || shape() == Qt::WaitCursor;
        if (!moved) {
            // Well past the moment a wait would show the hourglass.
            if (drawing.elapsed() < 1000)
                return;
            ++hiddenLooks;
            hourglassWhileHidden += hourglass || shape() != Qt::BlankCursor;
            if (hiddenLooks == 5) {
                QTest::mouseMove(&s, QPoint(50, 50));
                moved = true;
            }
        } else if (shape() == Qt::WaitCursor) {
            hourglassAfterMotion = true;
            look.stop();
            QCoreApplication::postEvent(&s, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
        }
    });
    look.start(20);
    P::Step(s);
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }, 30000)) << "Esc ends the show";
    look.stop();
    EXPECT_EQ(hiddenLooks, 5);
    EXPECT_EQ(hourglassWhileHidden, 0) << "an hourglass while the pointer was hidden";
    EXPECT_TRUE(hourglassAfterMotion);
}

// The caption names the picture on screen, Japanese names and archive
// entries included, with the date a photo was taken; it lies over the
// bottom-left corner in white with a black outline, over a plug-in's
// picture too.
TEST_F(SlideShowTest, CaptionNamesThePictureAndItsDateOverAnyPicture)
{
    QImage grey(640, 480, QImage::Format_RGB32);
    grey.fill(QColor(128, 128, 128));
    pics.WriteFile("a/写真.jpg", WithExif(Encode(grey, "jpeg", 90), ExifWithDate(QByteArray("2024:05:01 12:34:56\0", 20), false)));
    pics.WriteFile("a/b.bmp", Bmp(400, 300, QColor(128, 128, 128)));
    pics.WriteFile("a/c.vtp", Vtp(100, 50, 128, 128, 128));
    const QString stage = pics.MakeDir("stage");
    pics.WriteFile("stage/sub/p.bmp", Bmp(40, 30));
    RunTool(stage, "zip", {"-qr", pics.Path() + "/d.zip", "sub"});
    QDir(stage).removeRecursively();
    program.AddPlugin("vtest.spi");
    archives = true;
    options.caption = true;
    SlideShow& s = Start("60", pics.Path());

    // White and black where the caption is, on a grey picture.
    const auto outlined = [&] {
        const QImage shot = s.grab().toImage();
        const auto* label = s.findChild<CaptionLabel*>();
        int white = 0, black = 0;
        for (int y = label->y(); y < label->y() + label->height(); ++y)
            for (int x = label->x(); x < label->x() + label->width(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                white += c.lightness() > 240;
                black += c.lightness() < 15;
            }
        return label->y() + label->height() > s.height() * 3 / 4 && label->x() < s.width() / 4 && white > 20 &&
               black > 20;
    };
    ASSERT_TRUE(Shows("/b.bmp"));
    EXPECT_EQ(s.Caption(), QStringLiteral("b.bmp"));
    EXPECT_TRUE(outlined());
    P::Step(s);
    ASSERT_TRUE(Shows("/c.vtp"));
    ASSERT_TRUE(P::Picture(s).isVisible());
    EXPECT_EQ(s.Caption(), QStringLiteral("c.vtp"));
    EXPECT_TRUE(outlined()) << "above the plug-in's picture";
    P::Step(s);
    ASSERT_TRUE(Shows("/写真.jpg"));
    EXPECT_EQ(s.Caption(), QStringLiteral("写真.jpg   2024/05/01 12:34"));
    P::Step(s);
    ASSERT_TRUE(Shows("sub/p.bmp"));
    EXPECT_EQ(s.Caption(), QStringLiteral("d.zip › sub/p.bmp"));
}

// Shuffled: every picture of the tree once a round, archives' too, the
// first from the first folder with pictures; Left walks back through what
// was shown and Right forward again through the same pictures.
TEST_F(SlideShowTest, ShuffleShowsEachPictureOnceARoundAndWalksBackThroughWhatWasShown)
{
    QStringList all;
    for (const char* name : {"r1.bmp", "r2.bmp", "a/a1.bmp", "a/a2.bmp", "a/a3.bmp", "a/b/b1.bmp"}) {
        pics.WriteFile(name, Bmp(40, 30));
        all << pics.Path() + "/" + name;
    }
    const QString stage = pics.MakeDir("stage");
    pics.WriteFile("stage/sub/z1.bmp", Bmp(40, 30));
    RunTool(stage, "zip", {"-qr", pics.Path() + "/d.zip", "sub"});
    QDir(stage).removeRecursively();
    all << pics.Path() + "/d.zip/sub/z1.bmp";
    archives = true;
    options.shuffle = true;
    options.caption = true;
    qputenv("VELMORA_SHUFFLE_SEED", "4");
    SlideShow& s = Start();
    qunsetenv("VELMORA_SHUFFLE_SEED");
    const auto shown = [&] { return s.Stage().ShownPath(); };
    EXPECT_TRUE(shown().endsWith("/r1.bmp") || shown().endsWith("/r2.bmp")) << shown().toStdString();

    QStringList round{shown()};
    for (int i = 1; i < all.size(); ++i) {
        P::Key(s, 39);
        round << shown();
        if (shown().endsWith("z1.bmp")) {
            EXPECT_EQ(s.Caption(), QStringLiteral("d.zip › sub/z1.bmp"));
        }
    }
    EXPECT_EQ(QSet<QString>(round.begin(), round.end()), QSet<QString>(all.begin(), all.end()));
    EXPECT_NE(round, all) << "not the ring's order";
    QStringList next;
    for (int i = 0; i < all.size(); ++i) {
        P::Key(s, 39);
        next << shown();
    }
    EXPECT_EQ(QSet<QString>(next.begin(), next.end()), QSet<QString>(all.begin(), all.end())) << "a new round";
    EXPECT_NE(next.first(), round.last());

    for (int i = 2; i <= 4; ++i) {
        P::Key(s, 37);
        EXPECT_EQ(shown(), next[next.size() - i]) << "back " << i - 1;
    }
    for (int i = 3; i >= 1; --i) {
        P::Key(s, 39);
        EXPECT_EQ(shown(), next[next.size() - i]) << "forward again";
    }
    EXPECT_TRUE(P::TimerOn(s));
}

// Animated: the frames play in order with their delays, the timer's step
// waits for the whole loop, Space stops the frames, and steps by key decode
// no frame after the first.
TEST_F(SlideShowTest, AnimationsPlayInOrderAndTheTimerWaitsForTheirLoop)
{
    REQUIRE_TOOLS({"convert", "imagemagick"}, {"img2webp", "webp"});
    // Loops of 1.8 s, longer than the 1 s interval.
    MakeAnimation(pics.Path(), "a.gif", Animated::Gif, {Qt::red, Qt::green, Qt::blue}, 600);
    MakeAnimation(pics.Path(), "b.webp", Animated::WebP, {Qt::red, Qt::green, Qt::blue}, 600);
    pics.WriteFile("c.bmp", Bmp(64, 48, Qt::white));
    program.AddPlugin("ifqtimg.spi"); // whose pattern names WebP files; the built-in loader reads them
    options.animate = true;
    SlideShow& s = Start("1");
    // The colours on screen, each once as it comes, until the show moves on.
    const auto playedUntilNext = [&](const char* next) {
        QString seen;
        EXPECT_TRUE(WaitFor([&] {
            const QColor c = Centre(P::Image(s).Rendered());
            const QChar colour = c == QColor(Qt::red) ? u'r' : c == QColor(Qt::green) ? u'g' : c == QColor(Qt::blue) ? u'b' : u'?';
            if (seen.isEmpty() || seen.back() != colour)
                seen += colour;
            return Shows(next);
        }, 30000));
        return seen;
    };
    ASSERT_TRUE(Shows("/a.gif"));

    // Space: the frames stand still; again, the show goes on.
    ASSERT_TRUE(WaitFor([&] { return s.Animation().FramesShown() > 0; }));
    Send(s, Qt::Key_Space);
    ASSERT_FALSE(P::TimerOn(s));
    const int shown = s.Animation().FramesShown();
    QTest::qWait(1500);
    EXPECT_EQ(s.Animation().FramesShown(), shown);
    EXPECT_TRUE(Shows("/a.gif"));
    Send(s, Qt::Key_Space);
    ASSERT_TRUE(Shows("/b.webp"));

    EXPECT_EQ(playedUntilNext("/c.bmp").left(3), "rgb") << "the whole loop before the timer's step";
    ASSERT_TRUE(WaitFor([&] { return Shows("/a.gif"); }, 30000));
    EXPECT_EQ(playedUntilNext("/b.webp").left(3), "rgb");

    // A held key (a step every 30 ms): no frame after the first is
    // decoded, until the key rests.
    const int decoded = s.Animation().FramesDecoded();
    for (int i = 0; i < 6; ++i) {
        P::Key(s, 39);
        QTest::qWait(30);
    }
    ASSERT_TRUE(Shows("/b.webp"));
    EXPECT_EQ(s.Animation().FramesDecoded(), decoded);
    EXPECT_TRUE(WaitFor([&] { return s.Animation().FramesDecoded() > decoded; }));
}

// A loop past the longest one held for (here 650 s against a limit of
// 300 ms) lets the timer's step go at the limit.
TEST_F(SlideShowTest, AnAnimationsLongLoopHoldsTheTimerOnlyUpToTheLimit)
{
    REQUIRE_TOOLS({"convert", "imagemagick"});
    pics.WriteFile("a.bmp", Bmp(64, 48, Qt::white));
    MakeAnimation(pics.Path(), "b.gif", Animated::Gif, {Qt::red, Qt::green}, 650000);
    options.animate = true;
    SlideShow& s = Start("1");
    s.Animation().SetLongestLoop(std::chrono::milliseconds(300));
    ASSERT_TRUE(WaitFor([&] { return Shows("/b.gif"); }, 30000));
    EXPECT_TRUE(WaitFor([&] { return Shows("/a.bmp"); }, 30000)) << "the limit lets the step go";
}

// A timer step fades from the old picture to the new one; a step by key
// is shown at once.
TEST_F(SlideShowTest, CrossfadeFadesTimerStepsAndNeverKeySteps)
{
    pics.WriteFile("a.bmp", Bmp(400, 300, Qt::red));
    pics.WriteFile("b.bmp", Bmp(400, 300, Qt::blue));
    pics.WriteFile("c.bmp", Bmp(400, 300, Qt::green));
    options.crossfade = true;
    SlideShow& s = Start("1");
    Send(s, Qt::Key_Right);
    ASSERT_TRUE(WaitFor([&] { return Shows("/b.bmp"); }));
    EXPECT_FALSE(s.Fade().Running()) << "a key step does not fade";
    EXPECT_EQ(s.Fade().FramesBetween(), 0);

    // The timer's step to c.bmp: blue and green mixed while it fades.
    bool mixed = false;
    ASSERT_TRUE(WaitFor(
        [&] {
            if (s.Fade().Running()) {
                const QColor c = s.grab().toImage().pixelColor(s.width() / 2, s.height() / 2);
                mixed = mixed || (c.blue() > 40 && c.green() > 40 && c.red() < 40);
            }
            return Shows("/c.bmp") && !s.Fade().Running();
        },
        20000));
    EXPECT_TRUE(mixed);
    EXPECT_GT(s.Fade().FramesBetween(), 0);
}
