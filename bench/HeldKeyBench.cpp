// Holding the Right key: key presses at 30 Hz (the keyboard's auto-repeat)
// sent to a real show window on a 1920 x 1080 offscreen screen, counting the
// distinct pictures painted and the pauses between them.
//
//   bench_heldkey jpg|png [seconds] [pictures] [folder]
// (default 10 s over 12 24 MP pictures it writes; with a folder, the
// pictures already there, as bench_peers make writes them)
//   bench_heldkey vtw|vtw-alone [seconds] [pictures]
// 24 MP pictures drawn by the 64-bit Windows test plug-in under wine (the
// build's bridge, helper and wtest.sph), with the look-ahead, or alone:
// each step waits for the plug-in.
#include "common/AppPaths.h"
#include "slideshow/SlideShow.h"

#include "BenchPictures.h"
#include "BenchShow.h"
#include "BenchStats.h"
#include "imaging/DecodeService.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QPointer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/resource.h>

namespace {

// How many threads this process has now.
int ThreadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

} // namespace

int main(int argc, char** argv)
{
    const BenchScreen screen;
    QApplication app(argc, argv);
    DecodeService decoding;
    const char* kind = argc > 1 ? argv[1] : "jpg";
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    const int pictures = argc > 3 ? std::max(3, std::atoi(argv[3])) : 12;

    QTemporaryDir program;
    SetAppFolder(program.path());
    const bool given = argc > 4;
    const QString folder = given ? QDir(QString::fromLocal8Bit(argv[4])).absolutePath() : program.path() + "/pics";
    QDir().mkpath(folder);
    const bool windows = std::strncmp(kind, "vtw", 3) == 0;
    if (windows) {
        // The build folder is the bench folder's parent.
        const QString build = QCoreApplication::applicationDirPath() + "/..";
        QDir().mkpath(program.path() + "/Plugin");
        for (const char* file : {"libLoadPlugin.so", "velmora-spihost", "velmora-spihost64.exe"})
            QFile::copy(build + "/" + file, program.path() + "/" + file);
        if (!QFile::copy(build + "/tests/pluginhost/wtest.sph", program.path() + "/Plugin/wtest.sph")) {
            std::fprintf(stderr, "no wtest.sph in %s/tests/pluginhost: build with tests and mingw-w64\n", qPrintable(build));
            return 1;
        }
        for (int i = 0; i < pictures; ++i) {
            QFile picture(folder + QStringLiteral("/IMG_%1.vtw").arg(i, 4, 10, QChar('0')));
            picture.open(QIODevice::WriteOnly);
            const unsigned char head[16] = {'V', 'T', 'P', '1', 0x70, 0x17, 0, 0, 0xA0, 0x0F, 0, 0, 24,
                                            (unsigned char)(40 * i), 128, (unsigned char)(255 - 40 * i)};
            picture.write(reinterpret_cast<const char*>(head), sizeof head);
        }
    }
    for (int i = 0; i < pictures && !given && !windows; ++i)
        WriteShowPicture(folder, kind, i);
    if (!given && !windows) {
        // The making of the pictures is not the show's memory: start the
        // peak again from here.
        ForgetPhotos();
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
    }

    auto* show = new SlideShow(QStringLiteral("50"), [] { return false; });
    show->SetTag(folder + "/");
    if (!StartShow(*show, 30000)) {
        std::fprintf(stderr, "the show did not start\n");
        return 1;
    }
    if (std::strcmp(kind, "vtw-alone") == 0)
        show->Stage().Prefetch.SetEnabled(false);
    show->Stage().Prefetch.WaitForDone();

    const double cpuBefore = ProcessCpuMs();
    PaintWatch watch(*show);
    show->installEventFilter(&watch);
    // The threads while the key is held, sampled from the event loop (also
    // while a step waits for its picture).
    const int threadsBefore = ThreadCount();
    int threadsMost = threadsBefore;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] { threadsMost = std::max(threadsMost, ThreadCount()); });
    sample.start(5);
    QTimer repeat;
    repeat.setTimerType(Qt::PreciseTimer);
    repeat.setInterval(33);
    QObject::connect(&repeat, &QTimer::timeout, show, [show] {
        QCoreApplication::postEvent(show, new QKeyEvent(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier));
        QCoreApplication::postEvent(show, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Right, Qt::NoModifier));
    });
    repeat.start();
    QTimer::singleShot(seconds * 1000, &app, [&] {
        repeat.stop();
        app.quit();
    });
    const QPointer<SlideShow> alive(show);

    app.exec();
    // Quitting the loop may already have taken the window away.
    if (alive)
        show->removeEventFilter(&watch);

    std::vector<double> gaps;
    for (std::size_t i = 1; i < watch.times.size(); ++i)
        gaps.push_back(watch.times[i] - watch.times[i - 1]);
    // The pauses in the order they came, to see where the worst fall.
    if (std::getenv("VELMORA_BENCH_GAPS"))
        for (const double gap : gaps)
            std::fprintf(stderr, "%.0f ", gap);
    std::sort(gaps.begin(), gaps.end());
    const double median = gaps.empty() ? 0 : gaps[gaps.size() / 2];
    const double worst = gaps.empty() ? 0 : gaps.back();
    const double cpu = ProcessCpuMs() - cpuBefore;
    const bool jpeg = std::strcmp(kind, "jpg") == 0;
    const double rate = double(watch.times.size()) / seconds, target = jpeg ? 17 : 6;
    if (windows)
        std::printf("held Right key, 24 MP pictures of a Windows plug-in (%s), %d s at 30 Hz on %d cores: %.2f new "
                    "pictures/s\n",
                    std::strcmp(kind, "vtw") == 0 ? "decoded ahead" : "each step waits for the plug-in", seconds,
                    QThread::idealThreadCount(), rate);
    else
        std::printf("held Right key, 24 MP %s, %d s at 30 Hz on %d cores: %.2f new pictures/s (target >= %.1f) %s\n",
                    jpeg ? "JPEGs" : "PNGs", seconds, QThread::idealThreadCount(), rate, target,
                    rate >= target ? "ok" : "MISSED");
    std::printf("  pauses between pictures: median %.0f ms, worst %.0f ms, worst/median %.2f (target <= 1.5) %s\n",
                median, worst, median > 0 ? worst / median : 0, median > 0 && worst <= 1.5 * median ? "ok" : "MISSED");
    std::printf("  peak resident memory %.1f MiB (pictures decoded ahead: %d + 1)\n", double(PeakResidentKiB()) / 1024,
                PicturePrefetch::kAhead);
    std::printf("  CPU time while held %.0f ms (user + system, all threads), %.1f ms a new picture\n", cpu,
                watch.times.empty() ? 0.0 : cpu / double(watch.times.size()));
    std::printf("  threads: %d when the key went down, at most %d while held (decoding threads: %d, the budget) %s\n",
                threadsBefore, threadsMost, decoding.Threads(), threadsMost <= threadsBefore ? "ok" : "MISSED");
    return 0;
}
