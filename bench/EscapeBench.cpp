// Leaving a wait for a plug-in that never answers: the time from Esc to the
// show window closed (a step waiting for a picture decoded ahead, or a step
// drawing with the plug-in itself, or the show's start waiting for the
// plug-in scan). The test plug-ins hang for ever; the bridge's limit is set
// far beyond the run, so only Esc can end a wait.
//
//   bench_escape [rounds]   (default 9; medians of rounds that alternate the cases)
#include "common/AppPaths.h"
#include "slideshow/SlideShow.h"

#include "imaging/DecodeService.h"
#include "BenchPictures.h"
#include "BenchStats.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QPointer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

// Runs the event loop until done, or gives up after the bound.
bool Until(const std::function<bool()>& done, int ms = 60000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.hasExpired(ms))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

bool Logged(const QString& calls, const char* line, int times)
{
    QFile file(calls);
    return file.open(QIODevice::ReadOnly) && file.readAll().count(line) >= times;
}

// Notes when the window hides, which is what the user sees of the end.
class HideWatch : public QObject {
public:
    QElapsedTimer clock;
    double hiddenMs = -1;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Hide && hiddenMs < 0)
            hiddenMs = double(clock.nsecsElapsed()) / 1e6;
        return false;
    }
};

// Presses Esc in the show once ready() (asked from whatever event loop runs,
// the wait's own included), after start() has set the wait going; the time
// from Esc to the window hidden, or -1 when it did not hide.
double EscToHidden(QPointer<SlideShow>& show, const std::function<bool()>& ready, const std::function<void()>& start)
{
    HideWatch watch;
    show->installEventFilter(&watch);
    QTimer esc;
    QObject::connect(&esc, &QTimer::timeout, [&] {
        if (!show || !ready())
            return;
        esc.stop();
        watch.clock.start();
        QCoreApplication::postEvent(show, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    });
    esc.start(1);
    start();
    Until([&] { return show.isNull() || watch.hiddenMs >= 0; });
    const double ms = watch.hiddenMs;
    if (show)
        show->removeEventFilter(&watch);
    Until([&] { return show.isNull(); });
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    const BenchScreen screen;
    QApplication app(argc, argv);
    DecodeService decoding;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;

    QTemporaryDir program;
    SetAppFolder(program.path());
    const QString build = QCoreApplication::applicationDirPath() + "/..";
    QDir().mkpath(program.path() + "/Plugin");
    for (const char* file : {"libLoadPlugin.so", "velmora-spihost"})
        QFile::copy(build + "/" + file, program.path() + "/" + file);
    QTemporaryDir pics;
    QImage(8, 8, QImage::Format_RGB32).save(pics.path() + "/a.bmp");
    const QString calls = program.path() + "/calls";
    qputenv("VELMORA_TEST_CALLS", calls.toLocal8Bit());
    qputenv("VELMORA_SPI_TIMEOUT_MS", "600000");

    const auto usePlugin = [&](const char* name) {
        QDir(program.path() + "/Plugin").removeRecursively();
        QDir().mkpath(program.path() + "/Plugin");
        return QFile::copy(build + "/tests/pluginhost/" + name, program.path() + "/Plugin/" + name);
    };
    int file = 0;
    // A show on a.bmp whose next picture hangs its plug-in; ahead: the
    // look-ahead draws it, else the step itself. Esc once the plug-in has it.
    const auto step = [&](bool ahead) -> double {
        if (!usePlugin("vhangdraw.spi"))
            return -1;
        QFile::remove(calls);
        for (const QString& old : QDir(pics.path()).entryList({"*.vtp"}))
            QFile::remove(pics.path() + "/" + old);
        QFile picture(pics.path() + QStringLiteral("/b%1.vtp").arg(++file));
        picture.open(QIODevice::WriteOnly);
        picture.write("VTP1");
        picture.close();
        QPointer<SlideShow> show = new SlideShow(QStringLiteral("60"), [] { return false; });
        show->SetTag(pics.path() + "/");
        show->show();
        show->activateWindow();
        if (!Until([&] { return show && show->ShowStarted(); }))
            return -1;
        if (!ahead) {
            show->Stage().Prefetch.SetEnabled(false);
            show->Stage().Prefetch.SetDecoder([](const QString& p, QSize w, bool s) { return PreparePicture(p, w, s); });
        }
        return EscToHidden(
            show, [&] { return Logged(calls, "GetPicture", 1); }, [&] { show->Timer1_Timer(); });
    };
    // The plug-in scan at the show's start: the window is up with its
    // searching text and waits for the scan; Esc pressed in it.
    const auto scan = [&]() -> double {
        if (!usePlugin("vhanginfo.spi"))
            return -1;
        QFile::remove(calls);
        QPointer<SlideShow> show = new SlideShow(QStringLiteral("60"), [] { return false; });
        show->SetTag(pics.path() + "/");
        return EscToHidden(
            show, [&] { return show->Busy() && Logged(calls, "GetPluginInfo 1", 1); },
            [&] {
                show->show();
                show->activateWindow();
            });
    };

    struct Case {
        const char* name;
        std::function<double()> run;
        std::vector<double> ms, cpu;
    };
    std::vector<Case> cases = {{"step waiting for a picture decoded ahead", [&] { return step(true); }, {}, {}},
                               {"step drawing with the plug-in itself", [&] { return step(false); }, {}, {}},
                               {"plug-in scan at the show's start", scan, {}, {}}};
    std::printf("%s\n", MachineLine().c_str());
    std::printf("Esc while a plug-in never answers, to the wait's end (%d rounds, cases alternating)\n", rounds);
    for (int r = 0; r < rounds; ++r)
        for (std::size_t i = 0; i < cases.size(); ++i) {
            Case& c = cases[(i + std::size_t(r)) % cases.size()];
            const double cpuBefore = ProcessCpuMs();
            const double ms = c.run();
            if (ms < 0) {
                std::fprintf(stderr, "%s: failed (are the test plug-ins built?)\n", c.name);
                return 1;
            }
            c.ms.push_back(ms);
            c.cpu.push_back(ProcessCpuMs() - cpuBefore);
        }
    for (Case& c : cases) {
        const double median = Median(c.ms);
        std::printf("  %-42s median %6.1f ms (%.1f-%.1f), CPU %.0f ms a round (target <= 100 ms) %s\n", c.name,
                    median, Min(c.ms), Max(c.ms), Median(c.cpu), median <= 100 ? "ok" : "MISSED");
    }
    return 0;
}
