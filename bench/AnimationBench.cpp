// An animated WebP played in a real show window on an offscreen screen:
// 1920 x 1080, 100 frames at 30 frames a second, cut from the photograph
// (each frame another place of it, as a camera pans). Per round, a new show
// plays one whole loop: frames per second (target at least 29), frames
// shown later than due (target at most 5%), the CPU time, and the peak
// resident memory of the program while it plays (target at most 150 MiB).
//
//   bench_animation [rounds] [frames]   (default 3 100; needs img2webp)
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
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrameMs = 33;

// Runs events until done() or timeoutMs; whether done. It sleeps between
// events: a loop that spun would take a core from the decoding.
bool RunUntil(const std::function<bool()>& done, int timeoutMs)
{
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    look.start(2);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

} // namespace

int main(int argc, char** argv)
{
    const BenchScreen screen(kWidth, kHeight);
    QApplication app(argc, argv);
    DecodeService decoding;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int frames = argc > 2 ? std::max(2, std::atoi(argv[2])) : 100;

    QTemporaryDir program;
    SetAppFolder(program.path());
    // The shipped plug-in whose pattern names WebP files, as installed.
    const QString build = QCoreApplication::applicationDirPath() + "/..";
    QDir().mkpath(program.path() + "/Plugin");
    for (const char* file : {"libLoadPlugin.so", "velmora-spihost", "Plugin/ifqtimg.spi"})
        QFile::copy(build + "/" + file, program.path() + "/" + file);
    const QString folder = program.path() + "/pics", stills = program.path() + "/frames";
    QDir().mkpath(folder);
    QDir().mkpath(stills);
    // Lossless PNG frames for the encoder; the WebP is lossy, as cameras and
    // converters write them.
    if (!WriteAll(frames, [&](int i) {
            return RealPhoto(kWidth, kHeight, i).save(stills + QStringLiteral("/%1.png").arg(i, 3, 10, QChar('0')), "png", 90);
        })) {
        std::fprintf(stderr, "the frames could not be written\n");
        return 1;
    }
    ForgetPhotos();
    QStringList args{"-loop", "0", "-lossy", "-q", "75", "-m", "2"};
    for (int i = 0; i < frames; ++i)
        args << "-d" << QString::number(kFrameMs) << stills + QStringLiteral("/%1.png").arg(i, 3, 10, QChar('0'));
    args << "-o" << folder + "/pan.webp";
    if (QProcess::execute("img2webp", args) != 0) {
        std::printf("skipped: bench_animation needs img2webp (Debian's webp)\n");
        return 0;
    }
    QDir(stills).removeRecursively();
    std::printf("%s\n%s\n", MachineLine().c_str(), PicturesLine().toUtf8().constData());
    std::printf("pan.webp: %d frames of %dx%d at %d ms, %.1f MB\n", frames, kWidth, kHeight, kFrameMs,
                double(QFile(folder + "/pan.webp").size()) / 1e6);
    std::fflush(stdout);

    std::vector<double> rate, late, cpu, peak;
    for (int r = 0; r < rounds; ++r) {
        // The peak counts from here: the frames' making is not the show's.
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
        ShowOptions options;
        options.animate = true;
        SlideShow* show = StartedShow(folder, QStringLiteral("50"), options);
        QPointer<SlideShow> guard(show);
        const FramePlayer& player = show->Animation();
        // From the first frame after the still one to a whole loop later.
        const int shown0 = player.FramesShown();
        if (!RunUntil([&] { return player.FramesShown() > shown0; }, 30000))
            break;
        const int start = player.FramesShown(), lateStart = player.LateFrames();
        QElapsedTimer clock;
        clock.start();
        const double cpuStart = ProcessCpuMs();
        if (!RunUntil([&] { return player.FramesShown() >= start + frames; }, 120000))
            break;
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        rate.push_back(frames / seconds);
        late.push_back(100.0 * (player.LateFrames() - lateStart) / frames);
        cpu.push_back((ProcessCpuMs() - cpuStart) / seconds);
        peak.push_back(double(PeakResidentKiB()) / 1024);
        show->close();
        RunUntil([&] { return guard.isNull(); }, 10000);
    }
    if (rate.empty()) {
        std::printf("the animation did not play\n");
        return 1;
    }
    std::printf("1920x1080 WebP, %d rounds: %.1f frames/s (%.1f-%.1f; target >= 29) %s; late %.1f%% (%.1f-%.1f; "
                "target <= 5%%) %s; CPU %.0f ms/s; peak %.0f MiB (%.0f-%.0f; target <= 150) %s\n",
                int(rate.size()), Median(rate), Min(rate), Max(rate), Median(rate) >= 29 ? "ok" : "MISSED",
                Median(late), Min(late), Max(late), Median(late) <= 5 ? "ok" : "MISSED", Median(cpu), Median(peak),
                Min(peak), Max(peak), Median(peak) <= 150 ? "ok" : "MISSED");
    return 0;
}
