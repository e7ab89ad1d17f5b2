// A photo tree on a share that answers every request after a delay (the
// test suite's velmora-slowfs, as a NAS over SMB or NFS would): the time to
// the show's first picture (the walk, the first folder with pictures listed,
// and its first picture decoded), the whole walk as the show walks, and the
// walk of one listing at a time (the walk without listing ahead) for
// comparison, which takes minutes and is measured on its first folders only.
// The first round after the mount is the slowest (the kernel meets every
// name for the first time); the median is of all rounds.
//
//   bench_slowshare [delay ms] [rounds]    (default 5 ms, 3 rounds)
#include "common/CodePage.h"
#include "slideshow/FolderWalk.h"
#include "slideshow/PictureRing.h"
#include "slideshow/ShowFolders.h"

#include "BenchPictures.h"
#include "BenchStats.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

bool Mounted(const QString& path)
{
    QFile info("/proc/self/mountinfo");
    return info.open(QIODevice::ReadOnly) && info.readAll().contains(" " + QFile::encodeName(path) + " ");
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const int delayMs = argc > 1 ? std::max(0, std::atoi(argv[1])) : 5;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const QString slowfs = QCoreApplication::applicationDirPath() + "/../tests/velmora-slowfs";
    if (!QFile::exists(slowfs) || !QFile::exists("/dev/fuse")) {
        std::printf("skipped: needs velmora-slowfs (libfuse3-dev) and /dev/fuse\n");
        return 0;
    }

    // 20 x 20 x 49 folders below the start (20,020), as year/month/day
    // folders; a picture in every 40th day, the first in the fourth.
    QTemporaryDir source, mountPoint;
    int folders = 0;
    for (int a = 0; a < 20; ++a)
        for (int b = 0; b < 20; ++b)
            for (int c = 0; c < 49; ++c) {
                const QString day = QString("%1/%2/%3/%4")
                                        .arg(source.path())
                                        .arg(2000 + a)
                                        .arg(b, 2, 10, QChar('0'))
                                        .arg(c, 2, 10, QChar('0'));
                QDir().mkpath(day);
                if ((a * 20 + b) * 49 + c == 3 || c % 40 == 3)
                    SavePicture(RealPhoto(1920, 1280, c), day + "/IMG_0001.jpg");
            }
    folders = 20 + 20 * 20 + 20 * 20 * 49;
    QProcess fs;
    fs.start(slowfs, {mountPoint.path(), "-f", "-o",
                      QString("source=%1,delay_us=%2").arg(source.path()).arg(delayMs * 1000)});
    for (int i = 0; i < 500 && !Mounted(mountPoint.path()); ++i)
        QThread::msleep(10);
    if (!Mounted(mountPoint.path())) {
        std::printf("skipped: velmora-slowfs did not mount\n");
        return 0;
    }
    const QString share = mountPoint.path();

    std::printf("%s\n%s\n", MachineLine().c_str(), qPrintable(PicturesLine()));
    std::printf("tree: %d folders below the start on velmora-slowfs, %d ms per request\n", folders, delayMs);

    // Timed to the decoded picture; the show's end (the walk let go) is not.
    std::vector<double> toPicture, toFolder;
    const auto firstPicture = [&] {
        const auto begin = Clock::now();
        ShowFolders show;
        show.File1.SetPattern("*.jpg;*.bmp;*.png");
        show.SearchDirs(share + "/");
        PictureRing ring(show);
        if (!ring.Start())
            return false;
        toFolder.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        QImageReader reader(ring.CurrentPath());
        const bool decoded = !reader.read().isNull();
        toPicture.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        return decoded;
    };
    const auto wholeWalk = [&] {
        FolderWalk walk(share + "/");
        return walk.WaitForEnd(Clock::now() + std::chrono::minutes(10)) && walk.Count() == folders + 1;
    };
    const std::vector<Rounds> rounds = Alternate({firstPicture, wholeWalk}, runs);

    if (rounds[0].failed || rounds[1].failed) {
        std::fprintf(stderr, "a contender failed\n");
        return 1;
    }
    Rounds first = rounds[0];
    first.wall = toPicture;
    std::printf("first folder with pictures found and listed: %.1f ms (%.1f-%.1f)\n", Median(toFolder), Min(toFolder),
                Max(toFolder));
    std::printf("first picture decoded (CPU with the show's end): %s (target <= 500 ms) %s\n", Figure(first).c_str(),
                first.Median() <= 500 ? "ok" : "MISSED");
    std::printf("whole walk as the show walks:                      %s\n", Figure(rounds[1]).c_str());

    // One listing at a time: timed for 20 s, then its pace over the whole tree.
    const auto begin = Clock::now();
    double oneAtATime = 0;
    int reached = 0;
    {
        FolderWalk walk(share + "/", {}, 1, std::chrono::hours(1));
        walk.WaitForEnd(begin + std::chrono::seconds(20));
        reached = walk.Count();
        oneAtATime = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    }
    const double estimate = oneAtATime * (folders + 1) / std::max(1, reached);
    std::printf("one listing at a time: %d folders in %.0f ms, so about %.0f s for the tree\n", reached, oneAtATime,
                estimate / 1000);
    const double ratio = rounds[1].Median() / estimate;
    std::printf("ratio whole walk / one at a time: 1/%.1f (target <= 1/8) %s\n", 1 / ratio,
                ratio <= 1.0 / 8 ? "ok" : "MISSED");

    QProcess::execute("fusermount3", {"-u", "-z", share});
    fs.terminate();
    fs.waitForFinished(5000);
    return 0;
}
