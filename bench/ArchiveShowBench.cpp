// Pictures inside archives against the same pictures in a folder, in a real
// show window (archives shown, look-ahead on) on a 1920 x 1080 offscreen
// screen; every pair alternates round by round.
//  - ZIP: 200 24 MP JPEGs (copies of 20 distinct ones) stored by `zip` at its
//    default compression: a paced step (as bench_step's) and the held Right
//    key at 30 Hz (as bench_heldkey's), against the same files in a folder.
//  - solid 7z (`7z a -ms=on`) of 100 distinct 12 MP JPEGs: paced steps
//    forward and back (Left key) against the folder's, what a picture costs
//    with its look-ahead, and the peak memory of a show process stepping
//    through it.
//  - a tree of 1,000 folders, each with a small picture and a small ZIP,
//    against the same tree without the ZIPs: time to the first picture.
//
//   bench_archiveshow [rounds] [PICTURES]     (default 3 rounds; PICTURES is a
//       folder of twenty 24 MP JPEGs as bench/show-pictures makes, else they
//       are made here)
//   bench_archiveshow peak FOLDER FORWARD BACK   steps through the show of
//       FOLDER and prints the peak resident memory in KiB (the child the
//       memory figure runs)
// VELMORA_BENCH_ARCHIVE_DATA=DIR keeps the pictures and archives in DIR and
// takes them from there next time; without it they go with the run.
// VELMORA_BENCH_PARTS=zip,held,7z,tree runs only those parts.
#include "common/AppPaths.h"
#include "slideshow/SlideShow.h"

#include "BenchPictures.h"
#include "BenchShow.h"
#include "BenchStats.h"
#include "imaging/DecodeService.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int kZipPictures = 200, kDistinct = 20, k7zPictures = 100, kTreeFolders = 1000;
constexpr int kHeldSeconds = 10, kBackSteps = 20;
// Left, as the show's key handler takes it.
constexpr std::int16_t kLeft = 37;

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A show of tag with archives shown, its first picture on screen and its
// look-ahead done; null when it did not start.
SlideShow* OpenShow(const QString& tag)
{
    auto* show = new SlideShow(QStringLiteral("50"), [] { return false; });
    show->SetTag(tag);
    show->SetShowArchives(true);
    if (!StartShow(*show, 60000)) {
        std::fprintf(stderr, "the show of %s did not start\n", qPrintable(tag));
        show->close();
        return nullptr;
    }
    show->Stage().Prefetch.WaitForDone();
    return show;
}

void CloseShow(SlideShow* show)
{
    show->close();
    QApplication::processEvents();
}

// One paced step: the look-ahead finished first (as a show's interval lets
// it), then from the step to its picture painted. back steps as Left does.
struct PacedStep {
    double step = 0;  // the step to the picture painted
    double ready = 0; // the wait for the look-ahead before it, plus the step
};

PacedStep Step(SlideShow& show, bool back)
{
    const auto waited = std::chrono::steady_clock::now();
    show.Stage().Prefetch.WaitForDone();
    const auto start = std::chrono::steady_clock::now();
    if (back)
        show.Form_KeyDown(kLeft, 0);
    else
        show.Timer1_Timer();
    show.repaint();
    const auto end = std::chrono::steady_clock::now();
    QApplication::processEvents();
    return {Ms(end - start), Ms(end - waited)};
}

// The figures of one contender, one value a round.
struct Series {
    std::vector<double> value, cpu;
    double Median() const { return ::Median(value); }
    std::string Text(const char* unit, double scale = 1) const
    {
        char text[128];
        std::snprintf(text, sizeof text, "%7.1f %s (%.1f-%.1f), CPU %.1f ms", Median() * scale, unit,
                      Min(value) * scale, Max(value) * scale, ::Median(cpu));
        return text;
    }
};

const char* Verdict(bool ok) { return ok ? "ok" : "MISSED"; }

// Runs the contenders in alternating rounds (BenchStats.h's Alternate); a
// contender records its own figures.
bool Alternated(const std::vector<std::function<bool()>>& contenders, int rounds)
{
    const std::vector<Rounds> done = Alternate(contenders, rounds);
    return std::none_of(done.begin(), done.end(), [](const Rounds& r) { return r.failed; });
}

bool Run(const QString& program, const QStringList& arguments, const QString& folder)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s %s failed\n", qPrintable(program), qPrintable(arguments.join(' ')));
        return false;
    }
    return true;
}

QString Numbered(const QString& folder, int i)
{
    return folder + QStringLiteral("/IMG_%1.jpg").arg(i, 4, 10, QChar('0'));
}

QStringList Numbers(int count)
{
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QChar('0'));
    return names;
}

qint64 FolderBytes(const QString& folder)
{
    qint64 bytes = 0;
    for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files))
        bytes += file.size();
    return bytes;
}

double MiB(qint64 bytes) { return double(bytes) / (1 << 20); }

// The pictures and archives, made once into data (kept there when it is
// given): folder/ and zip/pics.zip, folder12/ and 7z/pics.7z, tree/ and
// tree-plain/.
struct Data {
    QString root;
    QString Path(const char* part) const { return root + u'/' + QLatin1String(part); }

    bool MakeZip(const QString& pictures) const
    {
        if (QFileInfo::exists(Path("zip/pics.zip")))
            return true;
        QDir().mkpath(Path("folder"));
        QDir().mkpath(Path("zip"));
        QString source = pictures;
        if (source.isEmpty()) {
            source = Path("distinct");
            QDir().mkpath(source);
            if (!WriteAll(kDistinct, [&](int i) { return WriteShowPicture(source, "jpg", i); }))
                return false;
        }
        const QStringList distinct = QDir(source).entryList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name);
        if (distinct.size() < kDistinct) {
            std::fprintf(stderr, "%s holds %d JPEGs, not %d\n", qPrintable(source), int(distinct.size()), kDistinct);
            return false;
        }
        for (int i = 0; i < kZipPictures; ++i)
            if (!QFile::copy(source + u'/' + distinct[i % kDistinct], Numbered(Path("folder"), i)))
                return false;
        return Run(QStringLiteral("zip"), QStringList{QStringLiteral("-q"), Path("zip/pics.zip")} + Numbers(kZipPictures),
                   Path("folder"));
    }

    bool Make7z() const
    {
        if (QFileInfo::exists(Path("7z/pics.7z")))
            return true;
        QDir().mkpath(Path("folder12"));
        QDir().mkpath(Path("7z"));
        // 12 MP (4243 x 2829, the 24 MP pictures' shape), each cut at
        // another place, so that no two files are the same.
        if (!WriteAll(k7zPictures,
                      [&](int i) { return SavePicture(RealPhoto(4243, 2829, kDistinct + i), Numbered(Path("folder12"), i)); }))
            return false;
        return Run(QStringLiteral("7z"),
                   QStringList{QStringLiteral("a"), QStringLiteral("-ms=on"), QStringLiteral("-bd"), Path("7z/pics.7z")} +
                       Numbers(k7zPictures),
                   Path("folder12"));
    }

    bool MakeTree() const
    {
        if (QFileInfo::exists(Path("tree-plain")))
            return true;
        // A small picture, and a small ZIP holding another.
        const QString parts = Path("tree-parts");
        QDir().mkpath(parts);
        if (!SavePicture(RealPhoto(320, 240, 1), parts + "/p.jpg") ||
            !SavePicture(RealPhoto(320, 240, 2), parts + "/q.jpg") ||
            !Run(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("a.zip"), QStringLiteral("q.jpg")}, parts))
            return false;
        for (int i = 0; i < kTreeFolders; ++i) {
            const QString name = QStringLiteral("/d%1").arg(i, 4, 10, QChar('0'));
            const QString with = Path("tree") + name, without = Path("tree-plain.new") + name;
            if (!QDir().mkpath(with) || !QDir().mkpath(without) || !QFile::copy(parts + "/p.jpg", with + "/p.jpg") ||
                !QFile::copy(parts + "/a.zip", with + "/a.zip") || !QFile::copy(parts + "/p.jpg", without + "/p.jpg"))
                return false;
        }
        return QDir().rename(Path("tree-plain.new"), Path("tree-plain"));
    }
};

// 1. The ZIP of 200 24 MP JPEGs against the folder: paced steps, then the
// held key.
bool ZipSteps(const Data& data, int rounds)
{
    Series folder, zip;
    const auto paced = [](const QString& tag, Series& into) {
        return [tag, &into] {
            SlideShow* show = OpenShow(tag);
            if (!show)
                return false;
            const double cpu = ProcessCpuMs();
            std::vector<double> times;
            for (int i = 0; i < kZipPictures; ++i)
                times.push_back(Step(*show, false).step);
            into.cpu.push_back((ProcessCpuMs() - cpu) / kZipPictures);
            into.value.push_back(Median(times));
            CloseShow(show);
            return true;
        };
    };
    if (!Alternated({paced(data.Path("folder/"), folder), paced(data.Path("zip/"), zip)}, rounds))
        return false;
    std::printf("paced step, %d steps through 200 24 MP JPEGs (copies of %d distinct), median of %d rounds; CPU a "
                "picture, look-ahead included:\n",
                kZipPictures, kDistinct, rounds);
    std::printf("  in a folder     %s\n", folder.Text("ms").c_str());
    std::printf("  in a ZIP        %s\n", zip.Text("ms").c_str());
    const double ratio = zip.Median() / folder.Median();
    std::printf("  ZIP/folder %.2fx (target <= 1.1x) %s\n", ratio, Verdict(ratio <= 1.1));
    return true;
}

bool ZipHeld(const Data& data, int rounds)
{
    Series folder, zip;
    const auto held = [](const QString& tag, Series& into) {
        return [tag, &into] {
            SlideShow* show = OpenShow(tag);
            if (!show)
                return false;
            const double cpu = ProcessCpuMs();
            PaintWatch watch(*show);
            show->installEventFilter(&watch);
            QTimer repeat;
            repeat.setTimerType(Qt::PreciseTimer);
            repeat.setInterval(33);
            QObject::connect(&repeat, &QTimer::timeout, show, [show] {
                QCoreApplication::postEvent(show, new QKeyEvent(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier));
                QCoreApplication::postEvent(show, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Right, Qt::NoModifier));
            });
            repeat.start();
            QEventLoop loop;
            QTimer::singleShot(kHeldSeconds * 1000, &loop, [&] {
                repeat.stop();
                loop.quit();
            });
            const QPointer<SlideShow> alive(show);
            loop.exec();
            const double pictures = double(watch.times.size());
            into.value.push_back(pictures / kHeldSeconds);
            into.cpu.push_back(pictures > 0 ? (ProcessCpuMs() - cpu) / pictures : 0);
            if (!alive)
                return false;
            show->removeEventFilter(&watch);
            CloseShow(show);
            return true;
        };
    };
    if (!Alternated({held(data.Path("folder/"), folder), held(data.Path("zip/"), zip)}, rounds))
        return false;
    char perSecond[] = "pictures/s";
    std::printf("held Right key, %d s at 30 Hz through the same 200 24 MP JPEGs, median of %d rounds; CPU a picture:\n",
                kHeldSeconds, rounds);
    std::printf("  in a folder     %s\n", folder.Text(perSecond).c_str());
    std::printf("  in a ZIP        %s\n", zip.Text(perSecond).c_str());
    const double ratio = zip.Median() / folder.Median();
    std::printf("  ZIP/folder %.2fx new pictures/s (target >= 0.90x) %s\n", ratio, Verdict(ratio >= 0.9));
    return true;
}

// 2. The solid 7z of 100 12 MP JPEGs against the folder: paced steps forward
// through all of them, then back; the peak memory of a show process.
bool SolidSteps(const Data& data, int rounds, const char* self)
{
    struct Side {
        Series forward, back, ready;
    } folder, solid;
    const auto run = [](const QString& tag, Side& into) {
        return [tag, &into] {
            SlideShow* show = OpenShow(tag);
            if (!show)
                return false;
            double cpu = ProcessCpuMs();
            std::vector<double> forward, back, ready;
            for (int i = 1; i < k7zPictures; ++i) {
                const PacedStep step = Step(*show, false);
                forward.push_back(step.step);
                ready.push_back(step.ready);
            }
            show->Stage().Prefetch.WaitForDone();
            into.forward.cpu.push_back((ProcessCpuMs() - cpu) / (k7zPictures - 1));
            cpu = ProcessCpuMs();
            for (int i = 0; i < kBackSteps; ++i)
                back.push_back(Step(*show, true).step);
            show->Stage().Prefetch.WaitForDone();
            into.back.cpu.push_back((ProcessCpuMs() - cpu) / kBackSteps);
            into.forward.value.push_back(Median(forward));
            into.back.value.push_back(Median(back));
            into.ready.value.push_back(Median(ready));
            into.ready.cpu = into.forward.cpu;
            CloseShow(show);
            return true;
        };
    };
    if (!Alternated({run(data.Path("folder12/"), folder), run(data.Path("7z/"), solid)}, rounds))
        return false;
    std::printf("solid 7z (%.0f MiB) of 100 distinct 12 MP JPEGs (%.0f MiB), paced steps: %d forward, then %d back "
                "(Left), median of %d rounds; CPU a picture, look-ahead included:\n",
                MiB(QFileInfo(data.Path("7z/pics.7z")).size()), MiB(FolderBytes(data.Path("folder12"))),
                k7zPictures - 1, kBackSteps, rounds);
    std::printf("  forward in a folder   %s\n", folder.forward.Text("ms").c_str());
    std::printf("  forward in the 7z     %s\n", solid.forward.Text("ms").c_str());
    std::printf("  back in a folder      %s\n", folder.back.Text("ms").c_str());
    std::printf("  back in the 7z        %s\n", solid.back.Text("ms").c_str());
    std::printf("  look-ahead wait + step, forward, folder %s\n", folder.ready.Text("ms").c_str());
    std::printf("  look-ahead wait + step, forward, 7z     %s\n", solid.ready.Text("ms").c_str());
    const double forward = solid.forward.Median() / folder.forward.Median();
    const double back = solid.back.Median() / solid.forward.Median();
    const double ready = solid.ready.Median() / folder.ready.Median();
    std::printf("  7z/folder step forward %.2fx (target <= 1.2x) %s\n", forward, Verdict(forward <= 1.2));
    // No target: the difference is liblzma unpacking the picture's bytes.
    std::printf("  7z/folder a picture with its look-ahead %.2fx (the unpacking, %.0f ms CPU a picture more)\n", ready,
                ::Median(solid.forward.cpu) - ::Median(folder.forward.cpu));
    std::printf("  7z back/forward %.2fx (target <= 2x) %s\n", back, Verdict(back <= 2));

    // A process of its own: the show's memory, not the benchmark's.
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QString::fromLocal8Bit(self), {QStringLiteral("peak"), data.Path("7z/"),
                                               QString::number(k7zPictures - 1), QString::number(kBackSteps)});
    if (!child.waitForFinished(-1) || child.exitCode() != 0) {
        std::fprintf(stderr, "the memory run failed\n");
        return false;
    }
    const double peak = child.readAllStandardOutput().trimmed().toDouble() / 1024;
    const double limit = 256 + 200;
    std::printf("  peak resident memory of a show stepping through the 7z: %.1f MiB (target < %.0f MiB: the 256 MiB "
                "unpacked-file cache + 200) %s\n",
                peak, limit, Verdict(peak > 0 && peak < limit));
    return true;
}

// 3. Time to the first picture of 1,000 folders with a ZIP each against
// the same without.
bool TreeStart(const Data& data, int rounds)
{
    Series with, without;
    const auto start = [](const QString& tag, Series& into) {
        return [tag, &into] {
            const double cpu = ProcessCpuMs();
            const auto begin = std::chrono::steady_clock::now();
            auto* show = new SlideShow(QStringLiteral("50"), [] { return false; });
            show->SetTag(tag);
            show->SetShowArchives(true);
            show->show();
            show->activateWindow();
            QElapsedTimer wait;
            wait.start();
            while (!show->ShowStarted() && wait.elapsed() < 60000)
                QApplication::processEvents(QEventLoop::AllEvents, 1);
            const auto end = std::chrono::steady_clock::now();
            into.cpu.push_back(ProcessCpuMs() - cpu);
            into.value.push_back(Ms(end - begin));
            const bool ok = show->ShowStarted();
            show->Stage().Prefetch.WaitForDone();
            CloseShow(show);
            return ok;
        };
    };
    // The first round of each warms the cache.
    if (!Alternated({start(data.Path("tree/"), with), start(data.Path("tree-plain/"), without)}, rounds + 1))
        return false;
    with.value.erase(with.value.begin());
    without.value.erase(without.value.begin());
    with.cpu.erase(with.cpu.begin());
    without.cpu.erase(without.cpu.begin());
    std::printf("time to the first picture, %d folders of one 320x240 JPEG, archives shown, median of %d rounds:\n",
                kTreeFolders, rounds);
    std::printf("  without archives      %s\n", without.Text("ms").c_str());
    std::printf("  with a ZIP in each    %s\n", with.Text("ms").c_str());
    const double ratio = with.Median() / without.Median();
    std::printf("  with/without %.2fx (target <= 1.1x) %s\n", ratio, Verdict(ratio <= 1.1));
    return true;
}

// The child of the memory figure: steps forward and back through the show
// of tag, paced, and prints the peak resident memory in KiB.
int Peak(const QString& tag, int forward, int back)
{
    SlideShow* show = OpenShow(tag);
    if (!show)
        return 1;
    for (int i = 0; i < forward; ++i)
        Step(*show, false);
    for (int i = 0; i < back; ++i)
        Step(*show, true);
    show->Stage().Prefetch.WaitForDone();
    std::printf("%ld\n", PeakResidentKiB());
    std::fflush(stdout);
    CloseShow(show);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const BenchScreen screen;
    QApplication app(argc, argv);
    DecodeService decoding;
    QTemporaryDir program;
    SetAppFolder(program.path());
    if (argc == 5 && std::strcmp(argv[1], "peak") == 0)
        return Peak(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));

    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const QString pictures = argc > 2 ? QDir(QString::fromLocal8Bit(argv[2])).absolutePath() : QString();
    const QString kept = QFile::decodeName(qgetenv("VELMORA_BENCH_ARCHIVE_DATA"));
    const QString parts = QString::fromLocal8Bit(qgetenv("VELMORA_BENCH_PARTS"));
    const auto wanted = [&](const char* part) { return parts.isEmpty() || parts.split(u',').contains(QLatin1String(part)); };
    QTemporaryDir scratch;
    Data data{kept.isEmpty() ? scratch.path() : QDir(kept).absolutePath()};
    QDir().mkpath(data.root);

    std::printf("%s\n%s\n", MachineLine().c_str(), qPrintable(PicturesLine()));
    std::fflush(stdout);
    bool ok = true;
    if (wanted("zip") || wanted("held")) {
        if (!data.MakeZip(pictures))
            return 1;
        std::printf("ZIP of 200 24 MP JPEGs: %.0f MiB (the files %.0f MiB)\n", MiB(QFileInfo(data.Path("zip/pics.zip")).size()),
                    MiB(FolderBytes(data.Path("folder"))));
        std::fflush(stdout);
        if (wanted("zip"))
            ok = ZipSteps(data, rounds) && ok;
        std::fflush(stdout);
        if (wanted("held"))
            ok = ZipHeld(data, rounds) && ok;
        std::fflush(stdout);
    }
    if (wanted("7z")) {
        if (!data.Make7z())
            return 1;
        ForgetPhotos();
        ok = SolidSteps(data, rounds, argv[0]) && ok;
        std::fflush(stdout);
    }
    if (wanted("tree")) {
        if (!data.MakeTree())
            return 1;
        ok = TreeStart(data, std::max(rounds, 9)) && ok;
    }
    return ok ? 0 : 1;
}
