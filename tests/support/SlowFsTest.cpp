// velmora-slowfs through SlowMount: what the tests of walks over a slow
// share rely on.
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
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Every entry below root as "path type [-> target]", from readdir's types
// alone (no stat of our own), as a folder walk sees them.
void List(const std::string& root, const std::string& rel, std::set<std::string>& out)
{
    DIR* dir = ::opendir((root + rel).c_str());
    ASSERT_NE(dir, nullptr) << root + rel << ": " << std::strerror(errno);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = rel + "/" + name;
        std::string line = path + (entry->d_type == DT_DIR ? " dir" : entry->d_type == DT_REG ? " file"
                                   : entry->d_type == DT_LNK ? " link" : " unknown");
        if (entry->d_type == DT_LNK) {
            char target[256] = {};
            if (::readlink((root + path).c_str(), target, sizeof target - 1) < 0)
                std::snprintf(target, sizeof target, "(%s)", std::strerror(errno));
            line += std::string(" -> ") + target;
        }
        out.insert(line);
        if (entry->d_type == DT_DIR)
            List(root, path, out);
    }
    ::closedir(dir);
}

std::set<std::string> Listing(const QString& root)
{
    std::set<std::string> lines;
    List(root.toStdString(), "", lines);
    return lines;
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

TEST(SlowFs, MirrorsTheSourceTreeReadOnlyWithLinksKept)
{
    TempTree source;
    source.WriteFile("a/b/c.jpg", "jpeg bytes");
    source.WriteFile(QStringLiteral("a/写真.png"), "png");
    source.MakeDir("empty");
    // A loop back up the tree, a link to a file and one to itself.
    ASSERT_EQ(::symlink("..", (source.Path() + "/a/b/up").toLocal8Bit().constData()), 0);
    ASSERT_EQ(::symlink("c.jpg", (source.Path() + "/a/b/same.jpg").toLocal8Bit().constData()), 0);
    ASSERT_EQ(::symlink("self", (source.Path() + "/self").toLocal8Bit().constData()), 0);
    SlowMount share(source.Path(), 1ms);
    REQUIRE_SLOW_MOUNT(share);

    const std::set<std::string> expected = Listing(source.Path());
    ASSERT_EQ(expected.size(), 8u);
    EXPECT_EQ(Listing(share.Path()), expected);
    // Each folder opened once: the root, a, a/b and empty.
    EXPECT_EQ(share.Count("opendir"), 4);

    // Links lead where they lead in the source, round the loop too.
    QFile looped(share.Path() + "/a/b/up/b/up/b/same.jpg");
    ASSERT_TRUE(looped.open(QIODevice::ReadOnly));
    EXPECT_EQ(looped.readAll(), "jpeg bytes");

    const QByteArray created = (share.Path() + "/a/new.jpg").toLocal8Bit();
    const int descriptor = ::open(created.constData(), O_WRONLY | O_CREAT, 0644);
    const int error = errno;
    EXPECT_EQ(descriptor, -1);
    EXPECT_EQ(error, EROFS);
    EXPECT_FALSE(QFile::exists(source.Path() + "/a/new.jpg"));
}

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
            EXPECT_EQ(Listing(share.Path()).size(), 2u);
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
