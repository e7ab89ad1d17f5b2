// velmora-slowfs through SlowMount: what the tests of walks over a slow
// share rely on (that it mirrors the source, those tests show themselves).
#include "support/SlowMount.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The names in a folder, by readdir alone, as a folder walk reads them.
int Entries(const QString& folder)
{
    DIR* dir = ::opendir(folder.toLocal8Bit().constData());
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir))
        count += std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0;
    ::closedir(dir);
    return count;
}

std::chrono::milliseconds Timed(const std::function<void()>& work)
{
    QElapsedTimer clock;
    clock.start();
    work();
    return std::chrono::milliseconds(clock.elapsed());
}

bool Stats(const QString& path)
{
    struct stat st;
    return ::stat(path.toLocal8Bit().constData(), &st) == 0;
}

} // namespace

TEST(SlowFs, EveryRequestWaitsAndRequestsInFlightOverlap)
{
    TempTree source;
    const QString picture = source.WriteFile("f.jpg", "x");
    ASSERT_EQ(::symlink("f.jpg", (source.Path() + "/link.jpg").toLocal8Bit().constData()), 0);
    {
        // One caller's requests come one after another, so they take at
        // least as many delays as the file system counted (a lower bound: a
        // busy machine makes a request slower, never faster).
        constexpr auto delay = 100ms;
        SlowMount share(source.Path(), delay);
        REQUIRE_SLOW_MOUNT(share);
        const auto oneByOne = Timed([&] {
            EXPECT_TRUE(Stats(share.Path() + "/f.jpg"));
            EXPECT_EQ(Entries(share.Path()), 2);
            EXPECT_EQ(QFile::symLinkTarget(share.Path() + "/link.jpg"), share.Path() + "/f.jpg");
            QFile file(share.Path() + "/f.jpg");
            EXPECT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_EQ(file.readAll(), "x");
        });
        EXPECT_GE(share.Count("getattr"), 3);
        EXPECT_EQ(share.Count("opendir"), 1);
        EXPECT_EQ(share.Count("readdir"), 1);
        EXPECT_GE(oneByOne, share.Count("requests") * delay);
        EXPECT_EQ(share.Count("peak"), 1);
    }

    // Eight stats at once take about the time of one, not eight. (One name
    // for all: Linux asks about the names a folder has not shown yet one at
    // a time.)
    constexpr auto delay = 500ms;
    SlowMount share(source.Path(), delay);
    REQUIRE_SLOW_MOUNT(share);
    const QString file = share.Path() + "/f.jpg";
    EXPECT_GE(Timed([&] { EXPECT_TRUE(Stats(file)); }), delay);
    const long long asked = share.Count("getattr");
    const auto together = Timed([&] {
        std::vector<std::jthread> callers;
        for (int i = 0; i < 8; ++i)
            callers.emplace_back([&] { EXPECT_TRUE(Stats(file)); });
    });
    EXPECT_LT(together, 6 * delay);
    EXPECT_GE(share.Count("peak"), 2);
    // Nothing cached: each stat reached the file system.
    EXPECT_GE(share.Count("getattr") - asked, 8);
}

TEST(SlowFs, StalledPathHoldsItsCallersUntilTheUnmount)
{
    TempTree source;
    for (int i = 0; i < 8; ++i)
        source.WriteFile(QStringLiteral("d%1/stuck.jpg").arg(i), "x");
    source.WriteFile("ok.jpg", "x");
    std::atomic<int> ended = 0;
    std::atomic<int> failed = 0;
    // Before the mount, so that they are joined after it is gone.
    std::vector<std::jthread> callers;
    SlowMount share(source.Path(), 20ms, "stuck.jpg");
    REQUIRE_SLOW_MOUNT(share);
    ASSERT_TRUE(Stats(share.Path() + "/ok.jpg"));

    for (int i = 0; i < 8; ++i)
        callers.emplace_back([&, path = share.Path() + QStringLiteral("/d%1/stuck.jpg").arg(i)] {
            failed += Stats(path) ? 0 : 1;
            ++ended;
        });
    ASSERT_TRUE(WaitFor([&] { return share.Count("stalled") == 8; }, 30000)) << share.Count("stalled");
    // The rest of the share still answers.
    EXPECT_TRUE(Stats(share.Path() + "/ok.jpg"));
    EXPECT_EQ(ended, 0);

    EXPECT_LT(Timed([&] { share.Unmount(); }), 30s);
    EXPECT_FALSE(IsMountPoint(share.Path()));
    const bool released = WaitFor([&] { return ended == 8; }, 30000);
    EXPECT_TRUE(released);
    EXPECT_EQ(failed, ended.load());
    if (!released)
        for (std::jthread& caller : callers)
            caller.detach();
}
