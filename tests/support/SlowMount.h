#pragma once
// A folder mirrored read-only through velmora-slowfs (tests/support/slowfs.c),
// slow on every request like a photo share on the network:
//
//     TempTree source; ...
//     SlowMount share(source.Path(), std::chrono::milliseconds(5));
//     REQUIRE_SLOW_MOUNT(share);
//     ... walk share.Path() ...
//     EXPECT_EQ(share.Count("opendir"), 3);
//
// Each lookup/getattr, opendir, readdir, readlink and open waits the delay;
// reads of an open file do not. A request for a path whose last component is
// stallName never answers while the mount lives. Linux asks about each name a
// folder has not shown yet one at a time (a stalled one holds up the
// folder's other new names); later stats of a name, and requests in
// different folders, run at the same time.
#include <chrono>
#include <cstdlib>
#include <memory>

#include <QString>
#include <QTemporaryDir>

class QProcess;

class SlowMount {
public:
    SlowMount(const QString& source, std::chrono::microseconds delay, const QString& stallName = QString());
    // Unmounts; never hangs, stalled requests or not (they fail then).
    ~SlowMount();
    SlowMount(const SlowMount&) = delete;
    SlowMount& operator=(const SlowMount&) = delete;

    bool Mounted() const { return mMounted; }
    // Why it could not mount (no /dev/fuse, no velmora-slowfs, ...).
    QString Failure() const { return mFailure; }
    // The mount point, without a trailing "/".
    QString Path() const;
    // A count since the mount (-1 when unreadable): "requests" (all slowed
    // ones), "getattr" (lookups and getattrs), "opendir", "readdir", "peak"
    // (most delayed requests in flight at once), "stalled" (stalled now).
    long long Count(const char* name) const;
    // Unmounts now (the destructor does otherwise): lazily, then the file
    // system is killed if it has not ended after a short while.
    void Unmount();

private:
    QTemporaryDir mMountPoint;
    QString mPath;
    std::unique_ptr<QProcess> mProcess;
    bool mMounted = false;
    QString mFailure;
};

// Whether path is a mount point now (from /proc/self/mountinfo).
bool IsMountPoint(const QString& path);

// Skips the test when the mount failed; in CI it fails.
#define REQUIRE_SLOW_MOUNT(mount)                                                            \
    do {                                                                                     \
        if (!(mount).Mounted()) {                                                            \
            if (std::getenv("CI"))                                                           \
                FAIL() << "CI must mount velmora-slowfs: " << (mount).Failure().toStdString(); \
            GTEST_SKIP() << "cannot mount velmora-slowfs: " << (mount).Failure().toStdString(); \
        }                                                                                    \
    } while (false)
