// Plug-ins run in helper processes: a plug-in that crashes, hangs, ends its
// process or forges answers fails one call, and the next call works again.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdlib>

#include "bridge/LoadPlugin.h"
#include "common/RuntimeError.h"
#include "platform/LocalMemory.h"
#include "plugins/ClsPlugin.h"
#include "plugins/ClsPluginManager.h"
#include "PluginTestSupport.h"

namespace {

struct Child {
    int pid;
    char state;
    QByteArray cmdline; // arguments separated by NUL
};

// This process's children, as /proc tells.
std::vector<Child> Children()
{
    std::vector<Child> children;
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool number = false;
        const int pid = entry.toInt(&number);
        if (!number)
            continue;
        QFile statFile("/proc/" + entry + "/stat");
        if (!statFile.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = statFile.readAll();
        const int end = stat.lastIndexOf(')');
        if (end < 0)
            continue;
        const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
        if (fields.size() < 2 || fields[1].toInt() != getpid())
            continue;
        QFile cmdFile("/proc/" + entry + "/cmdline");
        cmdFile.open(QIODevice::ReadOnly);
        children.push_back({pid, fields[0].isEmpty() ? '?' : fields[0][0], cmdFile.readAll()});
    }
    return children;
}

int Zombies()
{
    int n = 0;
    for (const Child& c : Children())
        n += c.state == 'Z';
    return n;
}

// The helpers that run the given plug-in file.
std::vector<int> HelpersOf(const QString& plugin)
{
    std::vector<int> pids;
    const QByteArray argument = '\0' + plugin.toUtf8() + '\0';
    for (const Child& c : Children())
        if (c.state != 'Z' && c.cmdline.contains(argument))
            pids.push_back(c.pid);
    return pids;
}

// The host opens the bridge globally, so its functions are found by name.
template <typename F>
F BridgeFunction(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

struct Crashy {
    Crashy()
    {
        path = program.AddPlugin("vcrashy.spi");
        result = plugin.Initialize(path);
    }
    QString File(const char* command) const { return program.WriteFile(QString("p") + command + ".vcr", command); }
    // Draws the file: its result, or how the call failed.
    std::int32_t Draw(const char* command, QRect* box = nullptr, ErrorKind* kind = nullptr) const
    {
        QImage surface = BlackSurface(20, 20);
        const HDC dc = CreateImageDC(&surface);
        std::int32_t code = -100;
        try {
            code = plugin.DrawPictureFile(File(command), dc, 20, 20, 0, 0, false);
        } catch (const RuntimeError& e) {
            if (kind)
                *kind = e.Kind();
        }
        DeleteDC(dc);
        if (box)
            *box = DrawnBox(surface);
        return code;
    }
    ProgramFolder program;
    QString path;
    ClsPlugin plugin;
    std::int32_t result = 0;
};

// Only the fixed environment of each case: the default timeout, helpers on.
class SpiHost : public testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("VELMORA_SPI_TIMEOUT_MS");
        unsetenv("VELMORA_SPI_INPROCESS");
    }
    void TearDown() override { SetUp(); }
};

} // namespace

TEST_F(SpiHost, CrashingOrEndingOrForgingCallsFailAndTheNextCallWorks)
{
    Crashy c;
    ASSERT_GE(c.result, 1);
    QRect box;
    ASSERT_EQ(c.Draw("GOOD", &box), 0);
    EXPECT_EQ(box, QRect(9, 9, 2, 2));
    const auto liveBlocks = BridgeFunction<std::size_t (*)()>("LoadPluginLiveBlocks");
    ASSERT_NE(liveBlocks, nullptr);
    const std::size_t before = liveBlocks();
    for (const char* command : {"SEGV", "EXIT", "JUNK", "HUGE", "FDUN"}) {
        ErrorKind kind = ErrorKind::Overflow;
        EXPECT_EQ(c.Draw(command, nullptr, &kind), -100) << command << ": nothing raised";
        EXPECT_EQ(kind, ErrorKind::PluginFailed) << command;
        EXPECT_EQ(liveBlocks(), before) << command; // refused answers allocate nothing
        EXPECT_EQ(Zombies(), 0) << command;
        EXPECT_TRUE(HelpersOf(c.path).empty()) << command << ": the failed helper is gone";
        box = QRect();
        EXPECT_EQ(c.Draw("GOOD", &box), 0) << command;
        EXPECT_EQ(box, QRect(9, 9, 2, 2)) << command;
        EXPECT_EQ(HelpersOf(c.path).size(), 1u) << command;
    }
    EXPECT_EQ(liveBlocks(), before);
}

TEST_F(SpiHost, CrashInIsSupportedRaisesAndTheHelperComesBack)
{
    Crashy c;
    ASSERT_GE(c.result, 1);
    try {
        c.plugin.CheckFile(c.File("CRSH"));
        ADD_FAILURE() << "nothing raised";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Kind(), ErrorKind::PluginFailed);
        EXPECT_NE(std::string(e.what()).find("IsSupported"), std::string::npos) << e.what();
    }
    EXPECT_EQ(c.plugin.CheckFile(c.File("GOOD")), 1);
    EXPECT_EQ(c.plugin.CheckFile(c.File("nothing")), 0);
    EXPECT_EQ(c.plugin.CheckFile(c.program.Path() + "/missing.vcr"), 0);
    EXPECT_EQ(Zombies(), 0);
}

TEST_F(SpiHost, HelperThatHangsIsKilledAfterTheTimeout)
{
    Crashy c;
    ASSERT_GE(c.result, 1);
    const std::vector<int> before = HelpersOf(c.path);
    ASSERT_EQ(before.size(), 1u);
    setenv("VELMORA_SPI_TIMEOUT_MS", "700", 1);
    QElapsedTimer clock;
    clock.start();
    ErrorKind kind = ErrorKind::Overflow;
    EXPECT_EQ(c.Draw("HANG", nullptr, &kind), -100);
    const qint64 waited = clock.elapsed();
    EXPECT_EQ(kind, ErrorKind::PluginFailed);
    EXPECT_GE(waited, 650);
    EXPECT_LT(waited, 9000) << "the configured timeout, not the default";
    EXPECT_TRUE(HelpersOf(c.path).empty());
    EXPECT_NE(kill(before[0], 0), 0) << "the hung helper is reaped";
    EXPECT_EQ(Zombies(), 0);
    QRect box;
    EXPECT_EQ(c.Draw("GOOD", &box), 0);
    EXPECT_EQ(box, QRect(9, 9, 2, 2));
}

TEST_F(SpiHost, FailedDecodeHandsOverNoBlocks)
{
    Crashy c;
    ASSERT_GE(c.result, 1);
    const auto liveBlocks = BridgeFunction<std::size_t (*)()>("LoadPluginLiveBlocks");
    ASSERT_NE(liveBlocks, nullptr);
    const std::size_t before = liveBlocks();
    EXPECT_EQ(c.Draw("FAIL"), 3);
    EXPECT_EQ(c.Draw("nothing"), 2);
    EXPECT_EQ(liveBlocks(), before);
}

TEST_F(SpiHost, ProgressCallbackCrossesAndCanCancel)
{
    Crashy c;
    ASSERT_GE(c.result, 1);
    const auto getPicture = BridgeFunction<decltype(&::GetPicture)>("GetPicture");
    const auto localFree = BridgeFunction<void* (*)(void*)>("LocalFree");
    const auto localSize = BridgeFunction<std::size_t (*)(void*)>("LocalSize");
    const auto lastError = BridgeFunction<const char* (*)()>("LoadPluginLastError");
    ASSERT_TRUE(getPicture && localFree && localSize && lastError);
    static std::vector<std::pair<int, int>> reports;
    static std::intptr_t seenData;
    static int cancelAt;
    const auto progress = [](int nNum, int nDenom, std::intptr_t lData) {
        reports.emplace_back(nNum, nDenom);
        seenData = lData;
        return int(reports.size()) == cancelAt ? 1 : 0;
    };
    const QByteArray plugin = c.path.toUtf8(), file = c.File("GOOD").toUtf8();
    for (const int cancel : {0, 2}) {
        reports.clear();
        cancelAt = cancel;
        void* info = nullptr;
        void* bits = nullptr;
        const int r = getPicture(plugin.constData(), file.constData(), 0, 0, &info, &bits, progress, 4242);
        EXPECT_EQ(lastError(), nullptr);
        EXPECT_EQ(seenData, 4242);
        if (cancel == 0) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(reports, (std::vector<std::pair<int, int>>{{0, 1}, {1, 1}}));
            EXPECT_EQ(localSize(info), 40u); // the plug-in's own block sizes
            EXPECT_EQ(localSize(bits), 16u);
            EXPECT_EQ(localFree(info), nullptr);
            EXPECT_EQ(localFree(bits), nullptr);
        } else {
            EXPECT_EQ(r, 1);
            EXPECT_EQ(reports.size(), 2u);
        }
    }
}

TEST_F(SpiHost, LargePictureComesBackWhole)
{
    ProgramFolder program;
    ClsPlugin loader; // opens the bridge as the program does
    ASSERT_GE(loader.Initialize(program.AddPlugin("vtest.spi")), 1);
    const QByteArray plugin = loader.PluginName().toUtf8();
    const QByteArray file = WriteVtp(program, "big.vtp", 1500, 1000, QColor(10, 200, 30)).toUtf8();
    const auto getPicture = BridgeFunction<decltype(&::GetPicture)>("GetPicture");
    const auto localLock = BridgeFunction<void* (*)(void*)>("LocalLock");
    const auto localUnlock = BridgeFunction<int (*)(void*)>("LocalUnlock");
    const auto localFree = BridgeFunction<void* (*)(void*)>("LocalFree");
    const auto localSize = BridgeFunction<std::size_t (*)(void*)>("LocalSize");
    const auto lastError = BridgeFunction<const char* (*)()>("LoadPluginLastError");
    ASSERT_TRUE(getPicture && localLock && localUnlock && localFree && localSize && lastError);
    void* info = nullptr;
    void* bits = nullptr;
    ASSERT_EQ(getPicture(plugin.constData(), file.constData(), 0, 0, &info, &bits, nullptr, 0), 0);
    ASSERT_EQ(lastError(), nullptr);
    EXPECT_EQ(localSize(info), 40u);
    ASSERT_EQ(localSize(bits), 4500u * 1000u);
    auto* pixels = static_cast<unsigned char*>(localLock(bits));
    ASSERT_NE(pixels, nullptr);
    EXPECT_NE(pixels, bits) << "still a moveable block";
    for (const std::size_t at : {std::size_t(0), std::size_t(4500) * 999 + 4497}) {
        EXPECT_EQ(pixels[at], 30);
        EXPECT_EQ(pixels[at + 1], 200);
        EXPECT_EQ(pixels[at + 2], 10);
    }
    pixels[0] = 1; // the host's own copy
    EXPECT_EQ(pixels[0], 1);
    localUnlock(bits);
    EXPECT_EQ(localFree(info), nullptr);
    EXPECT_EQ(localFree(bits), nullptr);
    EXPECT_EQ(localSize(bits), 0u);
}

TEST_F(SpiHost, ManagerDropsAPluginThatCrashesAtLoadAndKeepsTheOthers)
{
    ProgramFolder program;
    program.AddPlugin("vcrashinfo.spi");
    program.AddPlugin("vtest.spi");
    program.AddPlugin("vcrashy.spi");
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginCount(), 1);
    QStringList names{manager.PluginName(0), manager.PluginName(1)};
    names.sort();
    EXPECT_EQ(names, QStringList({program.PluginFolder() + "/vcrashy.spi", program.PluginFolder() + "/vtest.spi"}));
    const QString vtp = WriteVtp(program, "a.vtp", 4, 4);
    EXPECT_EQ(manager.CheckFile(vtp), "Velmora test picture");
    EXPECT_EQ(Zombies(), 0);
}

TEST_F(SpiHost, PluginStaysOutOfTheProgramUnlessInProcessIsAsked)
{
    Crashy c;
    ASSERT_GE(c.result, 1);
    const QByteArray path = c.path.toUtf8();
    EXPECT_EQ(dlopen(path.constData(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    setenv("VELMORA_SPI_INPROCESS", "1", 1);
    EXPECT_EQ(c.plugin.CheckFile(c.File("GOOD")), 1);
    void* loaded = dlopen(path.constData(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(loaded, nullptr);
    if (loaded)
        dlclose(loaded);
}

TEST_F(SpiHost, HelperInheritsOnlyItsChannelAndComesBackAfterDyingIdle)
{
    // A descriptor without close-on-exec, as careless code in the program may leave.
    const int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    Crashy c;
    ASSERT_GE(c.result, 1);
    const std::vector<int> helpers = HelpersOf(c.path);
    ASSERT_EQ(helpers.size(), 1u);
    const QStringList fds = QDir(QString("/proc/%1/fd").arg(helpers[0])).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    EXPECT_EQ(fds, QStringList({"0", "1", "2", "3"}));
    close(stray);

    kill(helpers[0], SIGKILL);
    usleep(100000);
    QRect box;
    EXPECT_EQ(c.Draw("GOOD", &box), 0); // neither an error nor SIGPIPE
    EXPECT_EQ(box, QRect(9, 9, 2, 2));
    EXPECT_EQ(Zombies(), 0);
}

TEST_F(SpiHost, SharedBlocksCrossOnlyAsSealedFilesOfTheirExactSize)
{
    ProgramFolder program;
    ClsPlugin loader; // opens the bridge as the program does
    ASSERT_GE(loader.Initialize(program.AddPlugin("vtest.spi")), 1);
    const auto share = BridgeFunction<void (*)(int)>("LocalShareLargeBlocks");
    const auto release = BridgeFunction<int (*)(void*)>("LocalReleaseToFile");
    const auto attach = BridgeFunction<void* (*)(int, unsigned, std::size_t)>("LocalAttachFile");
    const auto localAlloc = BridgeFunction<void* (*)(unsigned, std::size_t)>("LocalAlloc");
    const auto localLock = BridgeFunction<void* (*)(void*)>("LocalLock");
    const auto localFree = BridgeFunction<void* (*)(void*)>("LocalFree");
    const auto localSize = BridgeFunction<std::size_t (*)(void*)>("LocalSize");
    ASSERT_TRUE(share && release && attach && localAlloc && localLock && localFree && localSize);
    const std::size_t size = (std::size_t(1) << 21) + 3;

    share(1);
    void* small = localAlloc(LMEM_FIXED, 4096);
    EXPECT_EQ(release(small), -1); // not in a file: left alone
    EXPECT_EQ(localSize(small), 4096u);
    localFree(small);
    void* large = localAlloc(LMEM_MOVEABLE, size);
    share(0);
    ASSERT_NE(large, nullptr);
    auto* bytes = static_cast<unsigned char*>(localLock(large));
    for (std::size_t i = 0; i < size; i += 4099)
        bytes[i] = static_cast<unsigned char>(i / 4099 + 1);
    const int file = release(large);
    ASSERT_GE(file, 0);
    EXPECT_EQ(localSize(large), 0u); // freed on this side

    EXPECT_EQ(attach(file, LMEM_FIXED, size - 1), nullptr);
    EXPECT_EQ(attach(file, LMEM_FIXED, size + 1), nullptr);
    EXPECT_EQ(attach(file, LMEM_ZEROINIT, size), nullptr);
    void* copy = attach(file, LMEM_MOVEABLE, size);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(localSize(copy), size);
    auto* seen = static_cast<unsigned char*>(localLock(copy));
    bool same = true;
    for (std::size_t i = 0; i < size; i += 4099)
        same = same && seen[i] == static_cast<unsigned char>(i / 4099 + 1);
    EXPECT_TRUE(same);
    seen[0] = 0xEE; // a private copy: the file keeps its bytes
    void* again = attach(file, LMEM_FIXED, size);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(localLock(again))[0], 1);
    EXPECT_EQ(localFree(copy), nullptr);
    EXPECT_EQ(localFree(again), nullptr);
    close(file);

    // Files that could still change are refused.
    const int unsealed = memfd_create("unsealed", MFD_CLOEXEC);
    ASSERT_GE(unsealed, 0);
    ASSERT_EQ(ftruncate(unsealed, 4096), 0);
    EXPECT_EQ(attach(unsealed, LMEM_FIXED, 4096), nullptr);
    close(unsealed);
}
