// Crossfades in a real show window on an offscreen screen: the frames
// painted between the two pictures of each 300 ms fade (target: at least 15
// at 1920 x 1080, 10 at 3840 x 2160), and a held key (Right at 30 Hz) with
// the crossfade option on against off, rounds alternating (target: pictures
// per second within 5%).
//
//   bench_crossfade WIDTH HEIGHT [fades] [rounds] [seconds]   (default 1920 1080 9 3 4)
#include "common/AppPaths.h"
#include "slideshow/SlideShow.h"

#include "BenchPictures.h"
#include "BenchShow.h"
#include "BenchStats.h"
#include "imaging/DecodeService.h"

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Runs the event loop for ms.
void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

SlideShow* NewShow(const QString& folder, const QString& interval, bool crossfade)
{
    ShowOptions options;
    options.crossfade = crossfade;
    return StartedShow(folder, interval, options);
}

} // namespace

int main(int argc, char** argv)
{
    const int width = argc > 2 ? std::atoi(argv[1]) : 1920;
    const int height = argc > 2 ? std::atoi(argv[2]) : 1080;
    const BenchScreen screen(width, height);
    QApplication app(argc, argv);
    DecodeService decoding;
    const int fades = argc > 3 ? std::max(1, std::atoi(argv[3])) : 9;
    const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    const int seconds = argc > 5 ? std::max(1, std::atoi(argv[5])) : 4;

    QTemporaryDir program;
    SetAppFolder(program.path());
    const QString folder = program.path() + "/pics";
    QDir().mkpath(folder);
    for (int i = 0; i < 12; ++i)
        WriteShowPicture(folder, "jpg", i);
    ForgetPhotos();
    std::printf("%s\n", MachineLine().c_str());

    // Timer steps a second apart, each one fading.
    {
        QPointer<SlideShow> show = NewShow(folder, QStringLiteral("1"), true);
        std::vector<double> frames, cpu;
        int before = show->Fade().FramesBetween();
        bool wasRunning = false;
        double cpuStart = 0;
        while (int(frames.size()) < fades && show) {
            QApplication::processEvents(QEventLoop::AllEvents, 2);
            const bool running = show->Fade().Running();
            if (running && !wasRunning)
                cpuStart = ProcessCpuMs();
            if (!running && wasRunning) {
                frames.push_back(show->Fade().FramesBetween() - before);
                cpu.push_back(ProcessCpuMs() - cpuStart);
                before = show->Fade().FramesBetween();
            }
            wasRunning = running;
        }
        if (show)
            show->close();
        const double median = Median(frames);
        const int target = width * height > 1920 * 1080 ? 10 : 15;
        std::printf("%dx%d crossfade (%d fades): median %.0f frames between (%.0f-%.0f), CPU %.0f ms a fade "
                    "(target >= %d) %s\n",
                    width, height, int(frames.size()), median, Min(frames), Max(frames), Median(cpu), target,
                    median >= target ? "ok" : "MISSED");
    }

    // A held key, the option off and on in turn.
    std::vector<double> rate[2], cpu[2];
    for (int r = 0; r < rounds * 2; ++r) {
        const bool on = (r % 2) == (r / 2 % 2);
        QPointer<SlideShow> show = NewShow(folder, QStringLiteral("50"), on);
        show->Stage().Prefetch.WaitForDone();
        PaintWatch watch(*show);
        show->installEventFilter(&watch);
        QTimer repeat;
        repeat.setTimerType(Qt::PreciseTimer);
        QObject::connect(&repeat, &QTimer::timeout, show, [&show] {
            QCoreApplication::postEvent(show, new QKeyEvent(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier));
            QCoreApplication::postEvent(show, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Right, Qt::NoModifier));
        });
        const double cpuBefore = ProcessCpuMs();
        repeat.start(33);
        RunFor(seconds * 1000);
        repeat.stop();
        rate[on].push_back(double(watch.times.size()) / seconds);
        cpu[on].push_back((ProcessCpuMs() - cpuBefore) / seconds);
        if (show) {
            show->removeEventFilter(&watch);
            show->close();
        }
        RunFor(200);
    }
    const double off = Median(rate[0]), on = Median(rate[1]);
    std::printf("%dx%d held key (%d rounds each, %d s): crossfade off %.1f pictures/s (%.1f-%.1f), CPU %.0f ms/s; "
                "on %.1f (%.1f-%.1f), CPU %.0f ms/s; on/off %.3f (target within 5%%) %s\n",
                width, height, rounds, seconds, off, Min(rate[0]), Max(rate[0]), Median(cpu[0]), on, Min(rate[1]),
                Max(rate[1]), Median(cpu[1]), on / off, std::abs(on / off - 1) <= 0.05 ? "ok" : "MISSED");
    return 0;
}
