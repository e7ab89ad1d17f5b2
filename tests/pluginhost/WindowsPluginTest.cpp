// Windows Susie plug-ins (wtest.spi, 32-bit, and wtest.sph, 64-bit, built by
// the suite with mingw-w64) run under wine in the real helpers, and how the
// bridge tells plug-ins apart and starts its helpers.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTimer>

#include <thread>

#include "pluginrunner/PluginFile.h"
#include "pluginhost/ClsPlugin.h"
#include "pluginhost/ClsPluginManager.h"
#include "pluginhost/PluginBridge.h"
#include "PluginTestSupport.h"

namespace {

using PluginFile::Kind;

// A Windows test plug-in of one width in a program folder (wtestw: the
// build with UTF-16 functions).
struct WindowsFilter {
    explicit WindowsFilter(bool sixtyFour, const QString& name = "wtest")
        : path(program.AddPlugin(name + (sixtyFour ? ".sph" : ".spi")))
    {
    }
    // Draws a file into a 20 x 20 surface, unscaled.
    QImage Draw(const QString& file, int* code = nullptr) const
    {
        QImage surface = BlackSurface(20, 20);
        const HDC dc = CreateImageDC(&surface);
        const int r = plugin.DrawPictureFile(file, dc, 20, 20, 0, 0, false);
        DeleteDC(dc);
        if (code)
            *code = r;
        return surface;
    }
    ProgramFolder program;
    QString path;
    ClsPlugin plugin;
};

// The colours of a w x h block of the surface at (x, y), row by row.
std::vector<QRgb> Block(const QImage& surface, int x, int y, int w, int h)
{
    std::vector<QRgb> colours;
    for (int row = y; row < y + h; ++row)
        for (int col = x; col < x + w; ++col)
            colours.push_back(surface.pixel(col, row) | 0xFF000000u);
    return colours;
}

const QRgb R = qRgb(255, 0, 0), G = qRgb(0, 255, 0), B = qRgb(0, 0, 255), W = qRgb(255, 255, 255),
           K = qRgb(0, 0, 0);

class WindowsPlugin : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        unsetenv("VELMORA_SPI_TIMEOUT_MS");
        SKIP_WITHOUT_WINDOWS_PLUGINS(GetParam());
    }
};

} // namespace

TEST(PluginKinds, ToldByHeaderNotByName)
{
    TempTree tree;
    QByteArray pe(512, '\0');
    pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = char(0x80);
    auto peFile = [&](const char* name, quint16 machine, quint16 magic) {
        QByteArray data = pe;
        data.replace(0x80, 4, QByteArray("PE\0\0", 4));
        qToLittleEndian<quint16>(machine, data.data() + 0x84);
        qToLittleEndian<quint16>(magic, data.data() + 0x98);
        return tree.WriteFile(name, data);
    };
    const QString fifo = tree.Path() + "/fifo.spi";
    ASSERT_EQ(mkfifo(fifo.toUtf8().constData(), 0600), 0);
    const struct { QString path; Kind kind; } rows[] = {
        {TestPluginDir() + "/vtest.spi", Kind::Native},
        {peFile("a.spi", 0x014C, 0x010B), Kind::Windows32},
        {peFile("b.sph", 0x8664, 0x020B), Kind::Windows64},
        {peFile("arm.sph", 0xAA64, 0x020B), Kind::Unknown},
        {peFile("mixed.spi", 0x014C, 0x020B), Kind::Unknown},
        {peFile("mixed.sph", 0x8664, 0x010B), Kind::Unknown},
        {tree.WriteFile("short.spi", "MZ"), Kind::Unknown},
        {tree.WriteFile("text.spi", QByteArray(200, 'x')), Kind::Unknown},
        {tree.MakeDir("folder.spi"), Kind::Unknown},
        {fifo, Kind::Unknown}, // and no wait for a writer
        {tree.Path() + "/missing.spi", Kind::Unknown},
    };
    for (const auto& r : rows)
        EXPECT_EQ(PluginFile::KindOf(r.path.toUtf8().constData()), r.kind) << r.path.toStdString();
}

TEST(PluginKinds, ScanTakesSpiAndSphInAnyCaseAndDropsWhatTheBridgeCannotRun)
{
    ProgramFolder program;
    program.AddPlugin("vtest.spi", "a.SPH"); // a Linux plug-in, whatever its name
    program.AddPlugin("vtwopair.spi", "b.Spi");
    program.AddPlugin("vtest.spi", "c.spx");
    program.WriteFile("Plugin/d.sph", QByteArray("MZ") + QByteArray(300, '\0'));
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginCount(), 1);
    QStringList names{manager.PluginName(0), manager.PluginName(1)};
    names.sort();
    EXPECT_EQ(names, QStringList({program.PluginFolder() + "/a.SPH", program.PluginFolder() + "/b.Spi"}));
}

// A program that loads the bridge while descriptor 3 is free, so that the
// bridge's own descriptors take the lowest numbers.
TEST(HelperStart, WorksWithDescriptorThreeFree)
{
    ProgramFolder program;
    const QString plugin = program.AddPlugin("vtest.spi");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close_range(3, ~0u, 0);
        QByteArray buffer(256, '\0');
        int r = -1;
        try {
            r = PluginBridge::GetPluginInfo(plugin, 0, buffer);
        } catch (...) {
        }
        _exit(r > 0 && buffer.startsWith("00IN") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// No wine, or one that cannot run 64-bit programs (a lone 32-bit loader).
TEST(HelperStart, WithoutWineWindowsPluginsAreDroppedAndTheUserToldOnce)
{
    TempTree tree;
    const QString lone32 = tree.WriteFile("wine32/wine", QByteArray("\x7f" "ELF\x01\x01\x01", 7) + QByteArray(200, '\0'));
    QFile::setPermissions(lone32, QFile::permissions(lone32) | QFile::ExeOwner);
    ProgramFolder program;
    program.AddPlugin("vtest.spi");
    for (const char* name : {"w1.sph", "w2.sph"}) {
        QByteArray pe(512, '\0');
        pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = char(0x80);
        pe.replace(0x80, 4, QByteArray("PE\0\0", 4));
        qToLittleEndian<quint16>(0x8664, pe.data() + 0x84);
        qToLittleEndian<quint16>(0x020B, pe.data() + 0x98);
        program.WriteFile(QString("Plugin/") + name, pe);
    }
    const struct { const char* variable; QString value; const char* why; } rows[] = {
        {"VELMORA_WINE_DIR", "/nonexistent/wine", "wine is not installed"},
        {"VELMORA_WINE", lone32, "runs only 32-bit programs"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        LogLines log;
        ClsPluginManager manager;
        {
            const ScopedEnvironment wine(row.variable, row.value);
            manager.Initialize(program.PluginFolder());
        }
        EXPECT_EQ(manager.PluginCount(), 0);
        EXPECT_EQ(manager.PluginName(0), program.PluginFolder() + "/vtest.spi");
        const QString told = log.Take(QStringLiteral("velmora.wine")).join('\n');
        EXPECT_EQ(told.count("scripts/setup-deps --windows-plugins"), 1) << told.toStdString();
        EXPECT_TRUE(told.contains(row.why)) << told.toStdString();
        const QStringList dropped = log.Take(QStringLiteral("velmora.plugins"));
        for (const char* name : {"/w1.sph", "/w2.sph"})
            EXPECT_TRUE(Said(dropped, {program.PluginFolder() + name, "left out", "needs wine"}))
                << dropped.join('\n').toStdString();
    }
}

TEST_P(WindowsPlugin, TextsInShiftJisAndJapaneseFileNames)
{
    WindowsFilter f(GetParam());
    ASSERT_GE(f.plugin.Initialize(f.path), 1);
    EXPECT_EQ(f.plugin.APIVersion(), "00IN");
    EXPECT_EQ(f.plugin.AboutPlugin(), QString::fromUtf8("Velmora テスト用フィルタ"));
    EXPECT_EQ(f.plugin.SupportedNum(), 0);
    EXPECT_EQ(f.plugin.Extension(0), "*.vtw");
    EXPECT_EQ(f.plugin.FileType(0), QString::fromUtf8("テスト画像"));
    // The plug-in opens the file by the name it is given: in code page 932,
    // or as the short name where that code page has no spelling (Hangul,
    // an emoji). Wine has no short name for a path through a folder with a
    // colon in its name: that picture comes as its bytes.
    for (const char* name : {"写真/日本語の名前.vtw", "사진/한글.vtw", "사진😀/한국어😀.vtw", "12:00/한국어😀.vtw",
                             "plain/p.vtw"}) {
        SCOPED_TRACE(name);
        const QString file = WriteVtp(f.program, QString::fromUtf8(name), 6, 4, QColor(10, 200, 30));
        EXPECT_EQ(f.plugin.CheckFile(file), 1);
        int code = -100;
        const QImage surface = f.Draw(file, &code);
        EXPECT_EQ(code, 0);
        EXPECT_EQ(DrawnBox(surface), QRect(7, 8, 6, 4));
        EXPECT_EQ(surface.pixel(7, 8) | 0xFF000000u, qRgb(10, 200, 30));
    }
    EXPECT_EQ(f.plugin.CheckFile(f.program.WriteFile("other.vtw", "nothing")), 0);
}

// A plug-in with UTF-16 functions gets names and gives texts in UTF-16:
// what no code page of plug-ins spells arrives whole. The "NAME" picture
// draws only when the plug-in was given exactly the name its bytes hold.
TEST_P(WindowsPlugin, WideEntryPointsTakeAndGiveTextsOutsideTheCodePageWhole)
{
    WindowsFilter f(GetParam(), "wtestw");
    ASSERT_GE(f.plugin.Initialize(f.path), 1);
    EXPECT_EQ(f.plugin.AboutPlugin(), QString::fromUtf8("Velmora 테스트 필터 😀"));
    EXPECT_EQ(f.plugin.FileType(0), QString::fromUtf8("테스트 그림 😀"));
    const QString name = QString::fromUtf8("한국어😀.vtw");
    QByteArray named("NAME");
    for (const QChar unit : name + QChar(0))
        named.append(char(unit.unicode() & 0xFF)).append(char(unit.unicode() >> 8));
    const QString picture = f.program.WriteFile(QString::fromUtf8("사진😀/") + name, named);
    EXPECT_EQ(f.plugin.CheckFile(picture), 1);
    int code = -100;
    EXPECT_EQ(DrawnBox(f.Draw(picture, &code)), QRect(9, 9, 2, 2));
    EXPECT_EQ(code, 0);
    // The same bytes under another name are not its picture.
    EXPECT_EQ(f.plugin.CheckFile(f.program.WriteFile(QString::fromUtf8("사진😀/한국어.vtw"), named)), 0);
}

// The test plug-in prints in DllMain, GetPluginInfo, IsSupported and
// GetPicture, as debug builds of plug-ins do: it still answers, and what it
// printed reaches standard error under its name.
TEST_P(WindowsPlugin, WhatAPluginPrintsGoesToStandardErrorNotTheChannel)
{
    QTemporaryFile capture;
    ASSERT_TRUE(capture.open());
    const QByteArray captured = QFile::encodeName(capture.fileName());
    const int sink = open(captured.constData(), O_WRONLY | O_APPEND);
    ASSERT_GE(sink, 0);
    // The helper takes standard error as it is when it starts.
    const int saved = dup(2);
    dup2(sink, 2);
    close(sink);
    WindowsFilter f(GetParam());
    const int loaded = f.plugin.Initialize(f.path);
    dup2(saved, 2);
    close(saved);
    ASSERT_GE(loaded, 1);
    EXPECT_EQ(f.plugin.AboutPlugin(), QString::fromUtf8("Velmora テスト用フィルタ"));
    const QString file = WriteVtp(f.program, "p.vtw", 2, 2, Qt::green);
    EXPECT_EQ(f.plugin.CheckFile(file), 1);
    EXPECT_EQ(DrawnBox(f.Draw(file)), QRect(9, 9, 2, 2));
    const QString lead = QString("velmora-spihost: %1: winfilter: ").arg(GetParam() ? "wtest.sph" : "wtest.spi");
    QString told;
    // Copied to standard error by a thread of the helper, so waited for.
    EXPECT_TRUE(WaitFor([&] {
        QFile log(capture.fileName());
        told = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
        return told.contains(lead + "GetPicture VTP1\n");
    }, 30000)) << told.toStdString();
    for (const char* line : {"DllMain\n", "GetPluginInfo 1\n", "IsSupported\n"})
        EXPECT_TRUE(told.contains(lead + line)) << line << told.toStdString();
}

TEST_P(WindowsPlugin, BitmapHeadersTheInterfaceAllows)
{
    WindowsFilter f(GetParam());
    ASSERT_GE(f.plugin.Initialize(f.path), 1);
    // A V5 header with bit fields and top-down rows; RLE8 with a colour table.
    EXPECT_EQ(Block(f.Draw(f.program.WriteFile("v5.vtw", "V5BF")), 8, 9, 4, 2), (std::vector<QRgb>{R, G, B, W, K, R, G, B}));
    EXPECT_EQ(Block(f.Draw(f.program.WriteFile("rle.vtw", "RLE8")), 8, 9, 4, 2), (std::vector<QRgb>{B, B, B, B, R, R, R, R}));
}

TEST_P(WindowsPlugin, CrashHangAndScribbleFailOneCallAndTheNextWorks)
{
    WindowsFilter f(GetParam());
    ASSERT_GE(f.plugin.Initialize(f.path), 1);
    for (const char* command : {"SEGV", "HANG", "OVER"}) {
        SCOPED_TRACE(command);
        const std::vector<int> helper = Children(false, f.path);
        ASSERT_EQ(helper.size(), 1u);
        // A short limit for the failing call only: the next call, which
        // starts wine again, gets the default, however busy the machine.
        setenv("VELMORA_SPI_TIMEOUT_MS", "3000", 1);
        QElapsedTimer clock;
        clock.start();
        int code = -100;
        // A file each: the plug-in is not asked again about one it hung on.
        const int raised = RaisedKind([&] { f.Draw(f.program.WriteFile(QString("bad-%1.vtw").arg(command), command), &code); });
        const qint64 elapsed = clock.elapsed();
        unsetenv("VELMORA_SPI_TIMEOUT_MS");
        EXPECT_TRUE(raised == int(ErrorKind::PluginFailed) || code != 0) << raised << " " << code;
        if (std::string(command) == "HANG") {
            EXPECT_LT(elapsed, 9000) << "the configured timeout, not the default";
        }
        EXPECT_NE(kill(helper[0], 0), 0) << "the failed helper is ended";
        EXPECT_TRUE(Children(true).empty()) << "and reaped";
        EXPECT_EQ(DrawnBox(f.Draw(WriteVtp(f.program, "good.vtw", 2, 2, Qt::green))), QRect(9, 9, 2, 2));
    }
}

// A picture in memory (here of 20 MiB) reaches the plug-in under wine with
// flag 1; one the plug-in refuses from memory comes to it as a file in a
// private folder, which is gone after the call.
TEST_P(WindowsPlugin, PicturesInMemoryReachThePluginOrComeAsFilesThatAreRemoved)
{
    WindowsFilter f(GetParam());
    ASSERT_GE(f.plugin.Initialize(f.path), 1);
    const TempTree temporary;
    const ScopedEnvironment tmpdir("TMPDIR", temporary.Path());
    const auto draw = [&](const QByteArray& bytes, int* code) {
        QImage surface = BlackSurface(20, 20);
        const HDC dc = CreateImageDC(&surface);
        *code = f.plugin.DrawPictureBytes("album.zip/p.vtw", bytes, dc, 20, 20, 0, 0, false);
        DeleteDC(dc);
        return surface;
    };
    QFile vtp(WriteVtp(f.program, "p.vtw", 4, 2, Qt::blue));
    ASSERT_TRUE(vtp.open(QIODevice::ReadOnly));
    QByteArray big = vtp.readAll();
    big.append(QByteArray(20 << 20, 'x'));
    EXPECT_EQ(f.plugin.CheckBytes("album.zip/p.vtw", big), 1);
    int code = -100;
    const QImage fromMemory = draw(big, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(DrawnBox(fromMemory), QRect(8, 9, 4, 2));
    EXPECT_EQ(fromMemory.pixel(9, 9) | 0xFF000000u, B);
    const QImage fromFile = draw("FILE", &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Block(fromFile, 9, 9, 2, 2), std::vector<QRgb>(4, G));
    EXPECT_EQ(QDir(temporary.Path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

// A plug-in's own processes end with its helper, when the helper is stopped
// and when the program ends; the wine server is left to end by itself.
TEST_P(WindowsPlugin, ProcessesAPluginStartsEndWithItsHelper)
{
    WindowsFilter f(GetParam());
    ASSERT_GE(f.plugin.Initialize(f.path), 1);
    // What the plug-in started, by its command line: wine's processes have
    // Linux pids of their own.
    const auto started = [&](const char* picture) {
        const std::vector<int> pids = ProcessesWith(
            QFileInfo(f.program.Path()).fileName() + "\\" + picture + ".pid");
        return pids.size() == 1 ? pids[0] : 0;
    };
    {
        const QString picture = f.program.WriteFile("kidh.vtw", "KIDH");
        int code = -100;
        const int raised = RaisedKind([&] { f.Draw(picture, &code); });
        EXPECT_EQ(raised, int(ErrorKind::PluginFailed)) << code;
        EXPECT_GT(StartedPid(picture), 0) << "the plug-in's process ran";
        EXPECT_TRUE(WaitFor([&] { return !Running(started("kidh.vtw")); }, 30000)) << "after a hang";
        if (const int left = started("kidh.vtw"))
            kill(left, SIGKILL); // left by a broken bridge
    }
    const auto draw = [&](const QString& picture) {
        try {
            return DrawnBox(f.Draw(picture)) == QRect(9, 9, 2, 2);
        } catch (...) {
            return false;
        }
    };
    ExpectPluginProcessesEndWithTheProgram(f.program.WriteFile("kids.vtw", "KIDS"),
                                           f.program.WriteFile("killed.vtw", "KIDS"), draw,
                                           [&](const QString& picture) {
                                               return started(QFileInfo(picture).fileName().toUtf8().constData());
                                           });
    EXPECT_EQ(DrawnBox(f.Draw(WriteVtp(f.program, "good.vtw", 2, 2, Qt::green))), QRect(9, 9, 2, 2));
}

// A plug-in that shows progress may take longer than the time limit (the
// program passes no callback); one whose progress stands still is stopped.
TEST_P(WindowsPlugin, MovingProgressExtendsTheTimeLimit)
{
    WindowsFilter f(GetParam());
    ASSERT_GE(f.plugin.Initialize(f.path), 1); // wine starts under the default limit
    setenv("VELMORA_SPI_TIMEOUT_MS", "3000", 1);
    int code = -100;
    const int slow = RaisedKind([&] {
        EXPECT_EQ(DrawnBox(f.Draw(f.program.WriteFile("slow.vtw", "SLOW"), &code)), QRect(9, 9, 2, 2));
    });
    EXPECT_EQ(slow, -1) << "5 s of work, progress every 50 ms";
    EXPECT_EQ(code, 0);
    QElapsedTimer clock;
    clock.start();
    const int stuck = RaisedKind([&] { f.Draw(f.program.WriteFile("stuk.vtw", "STUK")); });
    EXPECT_EQ(stuck, int(ErrorKind::PluginFailed));
    EXPECT_LT(clock.elapsed(), 20000) << "the limit, not the cap";
    unsetenv("VELMORA_SPI_TIMEOUT_MS");
}

// A plug-in that takes more memory than its helper may have fails that
// picture, and the next call gets a new helper (wine starts under the limit).
TEST_P(WindowsPlugin, MemoryPastTheLimitCostsOnlyThatPicture)
{
    setenv("VELMORA_SPI_MEMORY_MB", "512", 1); // taken by the helper at its start
    WindowsFilter f(GetParam());
    const int loaded = f.plugin.Initialize(f.path);
    unsetenv("VELMORA_SPI_MEMORY_MB");
    ASSERT_GE(loaded, 1);
    const QString good = WriteVtp(f.program, "good.vtw", 2, 2, Qt::green);
    EXPECT_EQ(DrawnBox(f.Draw(good)), QRect(9, 9, 2, 2)) << "room for ordinary work";
    const std::vector<int> helper = Children(false, f.path);
    ASSERT_EQ(helper.size(), 1u);
    int code = -100;
    const int raised = RaisedKind([&] { f.Draw(f.program.WriteFile("hogs.vtw", "HOGS"), &code); });
    EXPECT_TRUE(raised == int(ErrorKind::PluginFailed) || code != 0) << "1 GiB taken: no limit";
    EXPECT_NE(kill(helper[0], 0), 0) << "the helper that kept the memory is ended and reaped";
    EXPECT_EQ(DrawnBox(f.Draw(good)), QRect(9, 9, 2, 2));
}

TEST_P(WindowsPlugin, HelperEndsWithTheThreadThatStartedIt)
{
    WindowsFilter f(GetParam());
    std::vector<int> helpers;
    // The helper is tied to its starter by the parent-death signal, set by
    // the launcher before it becomes wine.
    std::thread([&] {
        EXPECT_GE(f.plugin.Initialize(f.path), 1);
        helpers = Children(false, f.path);
    }).join();
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_TRUE(WaitFor([&] { return kill(helpers[0], 0) != 0 || Children(true).size() == 1; }, 30000));
    EXPECT_EQ(DrawnBox(f.Draw(WriteVtp(f.program, "good.vtw", 2, 2, Qt::green))), QRect(9, 9, 2, 2)) << "started again";
}

INSTANTIATE_TEST_SUITE_P(Widths, WindowsPlugin, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Sph64" : "Spi32");
                         });

// A prefix of our own, made in the background: the program goes on at once,
// and a call that needs it waits without blocking the event loop.
TEST(WinePrefix, MadeInTheBackgroundUnderTheUsersDataFolder)
{
    SKIP_WITHOUT_WINDOWS_PLUGINS(true);
    TempTree home;
    setenv("HOME", home.Path().toUtf8().constData(), 1);
    setenv("XDG_DATA_HOME", (home.Path() + "/data").toUtf8().constData(), 1);
    WindowsFilter f(true);
    QElapsedTimer clock;
    clock.start();
    PluginBridge::PreparePlugins(f.program.PluginFolder());
    EXPECT_LT(clock.elapsed(), 5000) << "far less than making a prefix takes";
    const QString prefix = home.Path() + "/data/velmora/wine";
    EXPECT_FALSE(QFile::exists(prefix + "/.velmora-ready"));
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    EXPECT_GE(f.plugin.Initialize(f.path), 1);
    EXPECT_GT(ticks, 10) << "the event loop ran while the prefix was made";
    EXPECT_TRUE(QFile::exists(prefix + "/.velmora-ready"));
    EXPECT_FALSE(QFile::exists(home.Path() + "/.wine"));
    // Headless: no graphics driver in this prefix.
    QProcess query;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("WINEPREFIX", prefix);
    env.insert("WINEDEBUG", "-all");
    query.setProcessEnvironment(env);
    query.start("/usr/lib/wine/wine64", {"reg", "query", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics"});
    ASSERT_TRUE(query.waitForFinished(60000));
    EXPECT_TRUE(query.readAllStandardOutput().contains("null"));
}

namespace {

// Starts of the program, each in a process of its own (plugin_load_once),
// with a wine prefix of their own and wine's loaders wrapped so that every
// wine program run is noted.
class WineStarts {
public:
    WineStarts()
        : mHome("HOME", mTree.Path()), mData("XDG_DATA_HOME", mTree.Path() + "/data"),
          mWine("VELMORA_WINE_DIR", mTree.Path() + "/wine"), mLog("VELMORA_TEST_WINE_LOG", mTree.Path() + "/runs")
    {
        for (const QString loader : {"wine", "wine64"}) {
            const QString wrapper = mTree.WriteFile("wine/" + loader, "#!/bin/sh\necho \"$*\" >> \"$VELMORA_TEST_WINE_LOG\"\n"
                                                                       "exec /usr/lib/wine/" + loader.toUtf8() + " \"$@\"\n");
            QFile::setPermissions(wrapper, QFile::permissions(wrapper) | QFile::ExeOwner);
        }
        for (const QString server : {"wineserver", "wineserver64"})
            QFile::link("/usr/lib/wine/" + server, mTree.Path() + "/wine/" + server);
    }
    QString Prefix() const { return mTree.Path() + "/data/velmora/wine"; }
    // Loads the 64-bit test plug-in in a new process; true when it was
    // loaded. told gets what the process wrote on standard error.
    bool Start(QString* told = nullptr)
    {
        QProcess start;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("velmora.wine=true"));
        start.setProcessEnvironment(environment);
        start.start(TestPluginDir() + "/plugin_load_once", {program.Path(), plugin});
        const bool ended = start.waitForFinished(110000);
        if (told)
            *told = QString::fromUtf8(start.readAllStandardError());
        return ended && start.exitStatus() == QProcess::NormalExit && start.exitCode() == 0;
    }
    // How many wine programs run so far had word in their command line.
    int Runs(const QString& word) const
    {
        QFile log(mTree.Path() + "/runs");
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()).count(word) : 0;
    }

private:
    TempTree mTree;
    ScopedEnvironment mHome, mData, mWine, mLog;

public:
    ProgramFolder program;
    QString plugin = program.AddPlugin("wtest.sph");
};

} // namespace

// The prefix is made once: a later start trusts its ready marker. One that
// wine no longer starts in (a system file cut short) is said to be broken in
// velmora.wine, made again in the background, and the plug-in works.
TEST(WinePrefix, MadeOnceTrustedLaterAndMadeAgainWhenWineNoLongerStartsInIt)
{
    SKIP_WITHOUT_WINDOWS_PLUGINS(true);
    WineStarts starts;
    QString told;
    ASSERT_TRUE(starts.Start(&told)) << told.toStdString();
    ASSERT_EQ(starts.Runs("wineboot"), 1);
    ASSERT_EQ(starts.Runs("velmora-spihost64.exe"), 1);
    EXPECT_TRUE(starts.Start(&told)) << told.toStdString();
    EXPECT_EQ(starts.Runs("wineboot"), 1) << "the second start made the prefix again";
    EXPECT_EQ(starts.Runs("velmora-spihost64.exe"), 2);

    const QString kernel = starts.Prefix() + "/drive_c/windows/system32/kernel32.dll";
    ASSERT_TRUE(QFile::resize(kernel, 1000));
    EXPECT_TRUE(starts.Start(&told)) << told.toStdString();
    EXPECT_TRUE(told.contains("making the prefix again") && told.contains("kernel32")) << told.toStdString();
    EXPECT_EQ(starts.Runs("wineboot"), 2);
    EXPECT_GT(QFileInfo(kernel).size(), 1000);
    EXPECT_FALSE(QFileInfo::exists(starts.Prefix() + ".broken")) << "the broken prefix is removed";
    // Made again once: the next start trusts it again.
    EXPECT_TRUE(starts.Start(&told)) << told.toStdString();
    EXPECT_EQ(starts.Runs("wineboot"), 2);
}

TEST(WinePrefix, WithoutItsDriveCItIsMadeAgain)
{
    SKIP_WITHOUT_WINDOWS_PLUGINS(true);
    WineStarts starts;
    QString told;
    ASSERT_TRUE(starts.Start(&told)) << told.toStdString();
    ASSERT_TRUE(QDir(starts.Prefix() + "/drive_c").removeRecursively());
    EXPECT_TRUE(starts.Start(&told)) << told.toStdString();
    EXPECT_TRUE(told.contains("making the prefix again")) << told.toStdString();
    EXPECT_EQ(starts.Runs("wineboot"), 2);
    EXPECT_TRUE(QFileInfo::exists(starts.Prefix() + "/drive_c/windows/system32/kernel32.dll"));
}

// Wine installed other than Debian's way, laid out in a temporary folder
// with scripts that run the installed wine: found, named in velmora.wine,
// and running a 32-bit and a 64-bit plug-in, each start in a process of its
// own (plugin_load_once).
enum class WineLayout { WineHQ, OnPath, SingleLoader };

class OtherWine : public testing::TestWithParam<WineLayout> {};

TEST_P(OtherWine, IsFoundAndRunsBothWidths)
{
    SKIP_WITHOUT_WINDOWS_PLUGINS(false);
    SKIP_WITHOUT_WINDOWS_PLUGINS(true);
    TempTree tree;
    const QString root = tree.Path();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_LOGGING_RULES", "velmora.wine=true");
    environment.insert("VELMORA_TEST_WINE_LOG", root + "/runs");
    environment.remove("VELMORA_WINE_DIR");
    const QString path = environment.value("PATH");
    // Each loader notes what it runs.
    const QByteArray note = "echo \"$0 ${1##*/}\" >> \"$VELMORA_TEST_WINE_LOG\"\n";
    QString loader32, loader64, server, how;
    switch (GetParam()) {
    case WineLayout::WineHQ: // before it on the list, a WineHQ folder not installed
        loader32 = WrapWine(tree, "opt/wine-stable/bin/wine", "wine", note);
        loader64 = WrapWine(tree, "opt/wine-stable/bin/wine64", "wine64", note);
        server = root + "/opt/wine-stable/bin/wineserver";
        environment.insert("VELMORA_WINEHQ_FOLDERS", root + "/opt/wine-staging:" + root + "/opt/wine-stable");
        environment.insert("PATH", tree.MakeDir("nowine")); // Debian's wrapper would come first
        how = "WineHQ's wine";
        break;
    case WineLayout::OnPath: // first on PATH, before Debian's /usr/bin/wine and WineHQ's
        WrapWine(tree, "opt/wine-stable/bin/wine", "wine", note);
        environment.insert("VELMORA_WINEHQ_FOLDERS", root + "/opt/wine-stable");
        loader32 = WrapWine(tree, "bin/wine", "wine", note);
        loader64 = WrapWine(tree, "bin/wine64", "wine64", note);
        server = root + "/bin/wineserver";
        environment.insert("PATH", root + "/bin:" + path);
        how = "the wine found on PATH";
        break;
    case WineLayout::SingleLoader: // named by VELMORA_WINE, its server only on PATH
        loader32 = loader64 = WrapWine(tree, "wow64/wine", "wine64",
                                       note + "case \"$1\" in *32.exe) exec /usr/lib/wine/wine \"$@\";; esac\n");
        server = tree.MakeDir("server") + "/wineserver";
        environment.insert("VELMORA_WINE", loader32);
        environment.insert("PATH", root + "/server:" + path);
        how = "the wine named by VELMORA_WINE";
        break;
    }
    ASSERT_TRUE(QFile::link("/usr/lib/wine/wineserver64", server));
    ProgramFolder program;
    QProcess start;
    start.setProcessEnvironment(environment);
    start.start(TestPluginDir() + "/plugin_load_once",
                {program.Path(), program.AddPlugin("wtest.spi"), program.AddPlugin("wtest.sph")});
    ASSERT_TRUE(start.waitForFinished(110000));
    const QString told = QString::fromUtf8(start.readAllStandardError());
    EXPECT_EQ(start.exitCode(), 0) << told.toStdString();
    const QString loaders = loader32 == loader64 ? loader32 + " (32- and 64-bit)"
                                                 : loader32 + " (32-bit), " + loader64 + " (64-bit)";
    EXPECT_EQ(told.count("Windows plug-ins run with"), 1) << told.toStdString();
    EXPECT_TRUE(told.contains("Windows plug-ins run with " + how + ": " + loaders + ", server " + server))
        << told.toStdString();
    QFile runs(root + "/runs");
    ASSERT_TRUE(runs.open(QIODevice::ReadOnly));
    const QString ran = QString::fromUtf8(runs.readAll());
    EXPECT_TRUE(ran.contains(loader32 + " velmora-spihost32.exe\n")) << ran.toStdString();
    EXPECT_TRUE(ran.contains(loader64 + " velmora-spihost64.exe\n")) << ran.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Layouts, OtherWine,
                         testing::Values(WineLayout::WineHQ, WineLayout::OnPath, WineLayout::SingleLoader),
                         [](const testing::TestParamInfo<WineLayout>& info) {
                             return std::string(info.param == WineLayout::WineHQ   ? "WineHQ"
                                                : info.param == WineLayout::OnPath ? "OnPath"
                                                                                   : "SingleLoader");
                         });
