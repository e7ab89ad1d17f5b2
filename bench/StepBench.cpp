// Step latency: from the advance step being called to the next picture
// painted, over 50 steps through 24 MP JPEGs on a 1920 x 1080 offscreen screen,
// with the look-ahead decoding and without it. "paced" leaves the look-ahead
// time to finish between steps, as every interval of a show (1 s and more)
// does; "back to back" steps again as soon as a picture is painted, as fast
// key presses do, so the step waits for the decode under way.
//
//   bench_step [steps] [pictures]    (default 50 steps over 6 pictures)
//   bench_step steps FOLDER          steps through the pictures of FOLDER with
//                                    the look-ahead and prints peak memory
#include "common/AppPaths.h"
#include "slideshow/SlideShow.h"

#include "BenchPictures.h"
#include "BenchShow.h"
#include "BenchStats.h"
#include "imaging/DecodeService.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

namespace {

} // namespace

int main(int argc, char** argv)
{
    const BenchScreen screen;
    QApplication app(argc, argv);
    DecodeService decoding;
    const int steps = argc > 1 ? std::max(1, atoi(argv[1])) : 50;
    // Pictures made elsewhere keep their making out of the memory figure.
    const QString given = argc > 2 && QFileInfo(argv[2]).isDir() ? QFileInfo(argv[2]).absoluteFilePath() : QString();
    const int pictures = !given.isEmpty() ? int(QDir(given).entryList(QDir::Files).size())
                         : argc > 2       ? std::max(2, atoi(argv[2]))
                                          : 6;

    QTemporaryDir program;
    SetAppFolder(program.path());
    const QString folder = given.isEmpty() ? program.path() + "/pics" : given;
    if (given.isEmpty()) {
        QDir().mkpath(folder);
        for (int i = 0; i < pictures; ++i)
            WriteShowPicture(folder, "jpg", i);
        std::printf("%s\n%s\n", MachineLine().c_str(), qPrintable(PicturesLine()));
    }

    struct Mode {
        const char* name;
        bool prefetch;
        bool paced;
    };
    double prefetchMedian = 0, plainMedian = 0;
    std::vector<Mode> modes{{"with prefetch, paced", true, true}};
    if (given.isEmpty())
        modes.insert(modes.end(), {{"with prefetch, back to back", true, false}, {"without prefetch", false, true}});
    for (const Mode mode : modes) {
        auto* show = new SlideShow(QStringLiteral("50"), [] { return false; });
        show->Stage().Prefetch.SetEnabled(mode.prefetch);
        show->SetTag(folder + "/");
        if (!StartShow(*show, 20000)) {
            std::fprintf(stderr, "the show did not start\n");
            return 1;
        }
        std::vector<double> times;
        for (int i = 0; i < steps; ++i) {
            if (mode.paced)
                show->Stage().Prefetch.WaitForDone();
            const auto start = std::chrono::steady_clock::now();
            show->Timer1_Timer();
            show->repaint(); // the new picture on screen
            times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            QApplication::processEvents();
        }
        std::sort(times.begin(), times.end());
        const double median = times[times.size() / 2];
        std::printf("step latency %-28s %d steps through %d %s at 1920x1080: median %6.1f ms, min %6.1f, max %6.1f\n",
                    mode.name, steps, pictures, given.isEmpty() ? "24 MP JPEGs" : "pictures", median, times.front(),
                    times.back());
        if (mode.prefetch && mode.paced)
            prefetchMedian = median;
        if (!mode.prefetch)
            plainMedian = median;
        show->close();
        QApplication::processEvents();
    }
    if (!given.isEmpty()) {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%.1f\n", double(usage.ru_maxrss) / 1024);
        return 0;
    }
    std::printf("step latency with prefetch %.1f ms vs without %.1f ms, ratio %.2fx (target <= 16 ms) %s\n",
                prefetchMedian, plainMedian, prefetchMedian / plainMedian, prefetchMedian <= 16 ? "ok" : "MISSED");
    return 0;
}
