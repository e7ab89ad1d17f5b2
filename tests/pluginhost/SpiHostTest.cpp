// Plug-ins run in helper processes: a plug-in that crashes, hangs, ends its
// process or forges answers fails one call, and the next call works again.
// Also the bridge's local memory, called by name as plug-ins call it.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryFile>

#include "pluginrunner/LoadPlugin.h"
#include "platform/LocalMemory.h"
#include "pluginhost/ClsPlugin.h"
#include "PluginTestSupport.h"

namespace {

const std::pair<int, int> kGood{0, -1};

struct Crashy {
    Crashy() : path(program.AddPlugin("vcrashy.spi")) { EXPECT_GE(plugin.Initialize(path), 1); }
    QString File(const char* command) const { return program.WriteFile(QString("p") + command + ".vcr", command); }
    // The drawing's code (0 only when the 2x2 square came out) and RaisedKind.
    std::pair<int, int> Draw(const char* command) const
    {
        QImage surface = BlackSurface(20, 20);
        const HDC dc = CreateImageDC(&surface);
        int code = -100;
        const int raised = RaisedKind([&] { code = plugin.DrawPictureFile(File(command), dc, 20, 20, 0, 0, false); });
        DeleteDC(dc);
        return {code == 0 && DrawnBox(surface) != QRect(9, 9, 2, 2) ? -99 : code, raised};
    }
    ProgramFolder program;
    QString path;
    ClsPlugin plugin;
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

TEST_F(SpiHost, FailingCallsFailAloneAndTheNextCallWorks)
{
    Crashy c;
    ASSERT_EQ(c.Draw("GOOD"), kGood);
    const std::size_t before = LiveBlocks();
    const int failed = int(ErrorKind::PluginFailed);
    const struct { const char* command; int code, raised; } rows[] = {
        {"FAIL", 3, -1}, // the plug-in's blocks stay in its helper
        {"SEGV", -100, failed}, {"EXIT", -100, failed}, {"HANG", -100, failed},
        {"JUNK", -100, failed}, {"HUGE", -100, failed}, {"FDUN", -100, failed},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.command);
        const std::vector<int> helper = Children(false, c.path);
        ASSERT_EQ(helper.size(), 1u);
        // A short limit for the failing call only: the others get the
        // default, however busy the machine.
        setenv("VELMORA_SPI_TIMEOUT_MS", "1000", 1);
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(c.Draw(r.command), std::pair(r.code, r.raised));
        const qint64 elapsed = clock.elapsed();
        unsetenv("VELMORA_SPI_TIMEOUT_MS");
        if (std::string(r.command) == "HANG") {
            EXPECT_LT(elapsed, 9000) << "the configured timeout, not the default";
            EXPECT_GE(elapsed, 950);
        }
        EXPECT_EQ(kill(helper[0], 0) == 0, r.raised == -1) << "a failed helper is ended and reaped";
        EXPECT_TRUE(Children(true).empty());
        EXPECT_EQ(LiveBlocks(), before); // refused answers allocate nothing
        EXPECT_EQ(c.Draw("GOOD"), kGood);
    }
}

// A new helper after one that died is told once, with how the last one
// ended; a helper that goes on working is not started again.
TEST_F(SpiHost, ANewHelperAfterOneDiedIsLoggedOnceWithHowTheLastEnded)
{
    PluginWarnings warnings;
    Crashy c;
    ASSERT_EQ(c.Draw("GOOD"), kGood);
    ASSERT_EQ(c.Draw("GOOD"), kGood);
    EXPECT_TRUE(warnings.Take().filter("new helper").isEmpty());
    EXPECT_EQ(c.Draw("SEGV").second, int(ErrorKind::PluginFailed));
    EXPECT_EQ(c.Draw("GOOD"), kGood);
    EXPECT_EQ(c.Draw("GOOD"), kGood);
    const QStringList told = warnings.Take();
    EXPECT_EQ(told.filter("new helper").size(), 1) << told.join('\n').toStdString();
    // How it ended: by the signal, or, in a build with the sanitizers, whose
    // handler reports the crash, by their exit code.
    EXPECT_TRUE(Said(told, {c.path, "new helper", "GetPicture", "signal"}) ||
                Said(told, {c.path, "new helper", "GetPicture", "exit code"}))
        << told.join('\n').toStdString();
}

// A plug-in may start processes of its own: they end with its helper, when
// the helper is stopped and when the program ends.
TEST_F(SpiHost, ProcessesAPluginStartsEndWithItsHelper)
{
    Crashy c;
    {
        // The default limit: the process must have started before it ends.
        const QString picture = c.File("KIDH");
        EXPECT_EQ(c.Draw("KIDH"), std::pair(-100, int(ErrorKind::PluginFailed)));
        const int started = StartedPid(picture);
        ASSERT_GT(started, 0);
        EXPECT_TRUE(WaitFor([&] { return !Running(started); }, 30000)) << "after a hang";
        if (Running(started))
            kill(started, SIGKILL); // left by a broken bridge
        EXPECT_EQ(c.Draw("GOOD"), kGood);
    }
    const auto draw = [&](const QString& picture) {
        QImage surface = BlackSurface(20, 20);
        const HDC dc = CreateImageDC(&surface);
        return c.plugin.DrawPictureFile(picture, dc, 20, 20, 0, 0, false) == 0;
    };
    ExpectPluginProcessesEndWithTheProgram(c.program.WriteFile("ended.vcr", "KIDS"),
                                           c.program.WriteFile("killed.vcr", "KIDS"), draw, StartedPid);
    EXPECT_EQ(c.Draw("GOOD"), kGood) << "the test's own helper is left alone";
}

// A plug-in that shows progress may take longer than the time limit, also
// when the host gives no callback (ClsPlugin does not): each move starts the
// limit again, up to 12 limits for the call. One whose progress stands still
// is stopped at the limit.
TEST_F(SpiHost, MovingProgressExtendsTheTimeLimitUpToACap)
{
    Crashy c;
    const int failed = int(ErrorKind::PluginFailed);
    setenv("VELMORA_SPI_TIMEOUT_MS", "3000", 1);
    EXPECT_EQ(c.Draw("SLOW"), kGood) << "5 s of work, progress every 50 ms";
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(c.Draw("STUK"), std::pair(-100, failed));
    EXPECT_LT(clock.elapsed(), 20000) << "the limit, not the cap";
    // The same with a callback of the host's, which sees every report.
    const auto getPicture = BridgeFunction<decltype(&::GetPicture)>("GetPicture");
    const auto lastError = BridgeFunction<const char* (*)()>("LoadPluginLastError");
    ASSERT_TRUE(getPicture && lastError);
    static int reports;
    reports = 0;
    const auto progress = [](int, int, std::intptr_t) { return ++reports, 0; };
    void* info = nullptr;
    void* bits = nullptr;
    clock.start();
    getPicture(c.path.toUtf8().constData(), c.File("STUK").toUtf8().constData(), 0, 0, &info, &bits, progress, 0);
    EXPECT_NE(lastError(), nullptr);
    EXPECT_LT(clock.elapsed(), 20000) << "the limit, not the cap";
    EXPECT_GT(reports, 1);
    setenv("VELMORA_SPI_TIMEOUT_MS", "500", 1);
    clock.start();
    EXPECT_EQ(c.Draw("RUNS"), std::pair(-100, failed)) << "progress for ever";
    EXPECT_LT(clock.elapsed(), 60000) << "ended by the cap of 6 s";
    unsetenv("VELMORA_SPI_TIMEOUT_MS");
    EXPECT_EQ(c.Draw("GOOD"), kGood);
}

// A plug-in that takes more memory than its helper may have fails that
// picture, and the next call gets a new helper.
TEST_F(SpiHost, MemoryPastTheLimitCostsOnlyThatPicture)
{
    setenv("VELMORA_SPI_MEMORY_MB", "512", 1); // taken by the helper at its start
    Crashy c;
    unsetenv("VELMORA_SPI_MEMORY_MB");
    EXPECT_EQ(c.Draw("GOOD"), kGood) << "room for ordinary work";
    const std::vector<int> helper = Children(false, c.path);
    ASSERT_EQ(helper.size(), 1u);
    EXPECT_NE(c.Draw("HOGS"), kGood) << "4 GiB taken: no limit";
    EXPECT_NE(kill(helper[0], 0), 0) << "the helper that kept the memory is ended and reaped";
    EXPECT_EQ(c.Draw("GOOD"), kGood);
    EXPECT_NE(Children(false, c.path), helper);
}

// What a plug-in prints reaches the program's standard error under its
// name, never the channel.
TEST_F(SpiHost, WhatAPluginPrintsGoesToStandardErrorUnderItsName)
{
    QTemporaryFile capture;
    ASSERT_TRUE(capture.open());
    const int sink = open(QFile::encodeName(capture.fileName()).constData(), O_WRONLY | O_APPEND);
    ASSERT_GE(sink, 0);
    // The helper takes standard error as it is when it starts.
    const int saved = dup(2);
    dup2(sink, 2);
    close(sink);
    Crashy c;
    dup2(saved, 2);
    close(saved);
    EXPECT_EQ(c.Draw("TALK"), kGood);
    QString told;
    // Copied by the helper's guard, so waited for.
    EXPECT_TRUE(WaitFor([&] {
        QFile log(capture.fileName());
        told = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
        return told.contains("velmora-spihost: vcrashy.spi: testfilter: on stdout\n") &&
               told.contains("velmora-spihost: vcrashy.spi: testfilter: on stderr\n");
    }, 30000)) << told.toStdString();
}

TEST_F(SpiHost, CrashInIsSupportedRaisesAndTheHelperComesBack)
{
    Crashy c;
    try {
        c.plugin.CheckFile(c.File("CRSH"));
        ADD_FAILURE() << "nothing raised";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Kind(), ErrorKind::PluginFailed);
        EXPECT_NE(std::string(e.what()).find("IsSupported"), std::string::npos) << e.what();
    }
    EXPECT_EQ(c.plugin.CheckFile(c.File("GOOD")), 1);
    EXPECT_EQ(c.plugin.CheckFile(c.File("nothing")), 0);
    EXPECT_EQ(c.plugin.CheckFile(c.program.Path() + "/missing.vcr"), 0); // the plug-in gets no head
    EXPECT_TRUE(Children(true).empty());
}

TEST_F(SpiHost, FifosAndDevicesAreNeverOpenedSoThatTheyWait)
{
    Crashy c;
    const QString fifo = c.program.Path() + "/f.vcr", device = c.program.Path() + "/z.vcr";
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", QFile::encodeName(device)), 0);
    for (const QString& file : {fifo, device}) {
        EXPECT_EQ(c.plugin.CheckFile(file), 0); // the plug-in gets no head
        QImage surface = BlackSurface(20, 20);
        const HDC dc = CreateImageDC(&surface);
        EXPECT_EQ(c.plugin.DrawPictureFile(file, dc, 20, 20, 0, 0, false), 6) << "a file read error";
        DeleteDC(dc);
    }
}

TEST_F(SpiHost, GetPictureReportsProgressCancelsAndBringsLargeBlocksBackWhole)
{
    Crashy c;
    const auto getPicture = BridgeFunction<decltype(&::GetPicture)>("GetPicture");
    const auto lastError = BridgeFunction<const char* (*)()>("LoadPluginLastError");
    const auto lock = BridgeFunction<void* (*)(void*)>("LocalLock");
    const auto free = BridgeFunction<void* (*)(void*)>("LocalFree");
    const auto size = BridgeFunction<std::size_t (*)(void*)>("LocalSize");
    ASSERT_TRUE(getPicture && lastError && lock && free && size);
    static std::vector<std::pair<int, int>> reports;
    static std::intptr_t seenData;
    static int cancelAt;
    const auto progress = [](int nNum, int nDenom, std::intptr_t lData) {
        reports.emplace_back(nNum, nDenom);
        seenData = lData;
        return int(reports.size()) == cancelAt ? 1 : 0;
    };
    const QByteArray plugin = c.path.toUtf8(), good = c.File("GOOD").toUtf8(),
                     large = WriteVtp(c.program, "big.vtp", 3000, 2000, QColor(10, 200, 30)).toUtf8();
    const std::size_t before = LiveBlocks();
    // Rows of 24-bit pixels, each row padded to four bytes.
    const struct { QByteArray file; int cancelAt, rc; std::size_t width, height, stride; QRgb colour; } rows[] = {
        {good, 0, 0, 2, 2, 8, qRgb(0, 255, 0)}, // the plug-in's own block sizes
        {good, 2, 1, 0, 0, 0, 0},
        // Through a shared file, and larger than a message may be: 18 MB.
        {large, 0, 0, 3000, 2000, 9000, qRgb(10, 200, 30)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.width);
        reports.clear();
        cancelAt = r.cancelAt;
        void* info = nullptr;
        void* bits = nullptr;
        EXPECT_EQ(getPicture(plugin.constData(), r.file.constData(), 0, 0, &info, &bits, progress, 4242), r.rc);
        EXPECT_EQ(lastError(), nullptr);
        EXPECT_EQ(reports, (std::vector<std::pair<int, int>>{{0, 1}, {1, 1}}));
        EXPECT_EQ(seenData, 4242);
        if (r.rc != 0)
            continue;
        EXPECT_EQ(size(info), 40u);
        ASSERT_EQ(size(bits), r.stride * r.height);
        auto* pixels = static_cast<unsigned char*>(lock(bits));
        ASSERT_NE(pixels, nullptr);
        EXPECT_NE(pixels, bits) << "still a moveable block";
        std::size_t wrong = 0;
        for (std::size_t y = 0; y < r.height; ++y)
            for (const unsigned char* at = pixels + y * r.stride; at < pixels + y * r.stride + 3 * r.width; at += 3)
                wrong += qRgb(at[2], at[1], at[0]) != r.colour;
        EXPECT_EQ(wrong, 0u) << "pixels not as the plug-in drew them";
        pixels[0] = 1; // the host's own copy
        EXPECT_EQ(free(info), nullptr);
        EXPECT_EQ(free(bits), nullptr);
    }
    EXPECT_EQ(LiveBlocks(), before);
}

TEST_F(SpiHost, PluginStaysOutOfTheProgramUnlessInProcessIsAsked)
{
    Crashy c;
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
    const std::vector<int> helpers = Children(false, c.path);
    ASSERT_EQ(helpers.size(), 1u);
    const auto fds = QDir(QString("/proc/%1/fd").arg(helpers[0])).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    EXPECT_EQ(fds, QStringList({"0", "1", "2", "3"}));
    close(stray);
    kill(helpers[0], SIGKILL);
    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, id_t(helpers[0]), &ended, WEXITED | WNOWAIT), 0); // dead, not reaped
    EXPECT_EQ(c.Draw("GOOD"), kGood); // neither an error nor SIGPIPE
    EXPECT_TRUE(Children(true).empty());
}

namespace {

// Members start in order: the plug-in opens the bridge before its functions are looked up.
class LocalMemory : public SpiHost {
protected:
    void SetUp() override
    {
        SpiHost::SetUp();
        ASSERT_GE(loaded, 1);
        ASSERT_TRUE(alloc && lock && unlock && free && size && share && release && attach);
    }
    ProgramFolder program;
    ClsPlugin loader;
    int loaded = loader.Initialize(program.AddPlugin("vtest.spi"));
#define VELMORA_BRIDGE(name, function) decltype(&::function) name = BridgeFunction<decltype(&::function)>(#function)
    VELMORA_BRIDGE(alloc, LocalAlloc);
    VELMORA_BRIDGE(lock, LocalLock);
    VELMORA_BRIDGE(unlock, LocalUnlock);
    VELMORA_BRIDGE(free, LocalFree);
    VELMORA_BRIDGE(size, LocalSize);
    VELMORA_BRIDGE(share, LocalShareLargeBlocks);
    VELMORA_BRIDGE(release, LocalReleaseToFile);
    VELMORA_BRIDGE(attach, LocalAttachFile);
};

} // namespace

TEST_F(LocalMemory, FixedAndMoveableBlocksAndRefusedHandles)
{
    void* fixed = alloc(LPTR, 1000);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(lock(fixed), fixed); // a fixed block is its own address
    EXPECT_EQ(size(fixed), 1000u);
    const auto* bytes = static_cast<const unsigned char*>(fixed);
    EXPECT_TRUE(std::all_of(bytes, bytes + 1000, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(unlock(fixed), 0); // fixed blocks have no lock count
    EXPECT_EQ(free(fixed), nullptr);
    void* empty = alloc(LMEM_FIXED, 0); // a zero-sized block is still a block
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(size(empty), 0u);
    EXPECT_EQ(free(empty), nullptr);
    EXPECT_EQ(alloc(0x8000, 16), nullptr); // unknown flags

    void* handle = alloc(LHND, 64);
    void* first = lock(handle);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, handle);
    std::memset(first, 0xAB, 64);
    EXPECT_EQ(lock(handle), first);
    EXPECT_NE(unlock(handle), 0); // still locked once
    EXPECT_EQ(unlock(handle), 0);
    EXPECT_EQ(unlock(handle), 0); // not locked at all
    EXPECT_EQ(static_cast<unsigned char*>(lock(handle))[63], 0xAB);
    EXPECT_EQ(free(handle), nullptr);
    // Freed, foreign and null handles.
    EXPECT_EQ(free(handle), handle);
    int local = 0;
    for (void* bad : {handle, static_cast<void*>(&local)}) {
        EXPECT_EQ(lock(bad), nullptr);
        EXPECT_EQ(size(bad), 0u);
        EXPECT_EQ(unlock(bad), 0);
    }
    EXPECT_EQ(free(&local), &local);
    EXPECT_EQ(lock(nullptr), nullptr);
    EXPECT_EQ(free(nullptr), nullptr);
}

TEST_F(LocalMemory, SharedBlocksCrossOnlyAsSealedFilesOfTheirExactSize)
{
    const std::size_t bytes = (std::size_t(1) << 21) + 3;
    share(1);
    void* small = alloc(LMEM_FIXED, 4096);
    EXPECT_EQ(release(small), -1); // not in a file: left alone
    EXPECT_EQ(size(small), 4096u);
    free(small);
    void* large = alloc(LMEM_MOVEABLE, bytes);
    share(0);
    ASSERT_NE(large, nullptr);
    auto* data = static_cast<unsigned char*>(lock(large));
    for (std::size_t i = 0; i < bytes; i += 4099)
        data[i] = static_cast<unsigned char>(i / 4099 + 1);
    const int file = release(large);
    ASSERT_GE(file, 0);
    EXPECT_EQ(size(large), 0u); // freed on this side
    EXPECT_EQ(attach(file, LMEM_FIXED, bytes - 1), nullptr);
    EXPECT_EQ(attach(file, LMEM_FIXED, bytes + 1), nullptr);
    EXPECT_EQ(attach(file, LMEM_ZEROINIT, bytes), nullptr);
    void* copy = attach(file, LMEM_MOVEABLE, bytes);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(size(copy), bytes);
    auto* seen = static_cast<unsigned char*>(lock(copy));
    bool same = true;
    for (std::size_t i = 0; i < bytes; i += 4099)
        same = same && seen[i] == static_cast<unsigned char>(i / 4099 + 1);
    EXPECT_TRUE(same);
    seen[0] = 0xEE; // a private copy: the file keeps its bytes
    void* again = attach(file, LMEM_FIXED, bytes);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(lock(again))[0], 1);
    EXPECT_EQ(free(copy), nullptr);
    EXPECT_EQ(free(again), nullptr);
    close(file);
    // Files that could still change are refused.
    const int unsealed = memfd_create("unsealed", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(unsealed, 4096), 0);
    EXPECT_EQ(attach(unsealed, LMEM_FIXED, 4096), nullptr);
    close(unsealed);
}
