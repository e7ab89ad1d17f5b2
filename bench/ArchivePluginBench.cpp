// Archives read by a Windows archive plug-in under wine against the same
// archives read built in; the two alternate round by round.
//  - step: 40 12 MP JPEGs cut from a real photograph, stored in a ZIP (read
//    built in) and in the test extractor's own format, read by its 64-bit
//    Windows build (axtest.sph: files only, and only the archive listed last,
//    as real extractors are); steps in a real show window (archives shown,
//    look-ahead on, 1920 x 1080 offscreen), paced as bench_archiveshow's and
//    back to back. Target: the plug-in's step at most 1.5 times the built-in
//    one + 40 ms.
//  - listing: an archive of 10,000 small files through the plug-in (from
//    the first look at it to the program's listing) against a ZIP of the
//    same through the built-in reader. Target: at most 1 s.
//
//   bench_archiveplugin [rounds]     (default 5)
#include "archives/ArchiveIndex.h"
#include "common/AppPaths.h"
#include "imaging/DecodeService.h"
#include "pluginhost/ClsArchivePluginManager.h"
#include "pluginhost/PluginBridge.h"
#include "slideshow/SlideShow.h"

#include "BenchPictures.h"
#include "BenchShow.h"
#include "BenchStats.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

constexpr int kPictures = 40, kListed = 10000;

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The test extractor's format: "VAR1", then per file a u8 name length, the
// name, a u32 little-endian length and the bytes.
QByteArray Var1Entry(const QByteArray& name, const QByteArray& data)
{
    char length[4];
    qToLittleEndian<quint32>(quint32(data.size()), length);
    return char(name.size()) + name + QByteArray(length, 4) + data;
}

bool Zip(const QString& folder, const QString& archive, const QStringList& names)
{
    QProcess zip;
    zip.setWorkingDirectory(folder);
    zip.start(QStringLiteral("zip"), QStringList{QStringLiteral("-q0"), archive} + names);
    return zip.waitForFinished(-1) && zip.exitStatus() == QProcess::NormalExit && zip.exitCode() == 0;
}

bool Write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Steps through the show of tag: paced, each once the look-ahead is done
// (as the show's interval lets it), or back to back, each as soon as the
// last one is on screen (the reading and decoding the look-ahead hides).
bool Steps(const QString& tag, bool paced, std::vector<double>& medians)
{
    auto* show = new SlideShow(QStringLiteral("50"), [] { return false; });
    show->SetTag(tag);
    show->SetShowArchives(true);
    if (!StartShow(*show, 120000)) {
        std::fprintf(stderr, "the show of %s did not start\n", qPrintable(tag));
        show->close();
        return false;
    }
    std::vector<double> steps;
    if (!paced)
        show->Stage().Prefetch.WaitForDone(); // the first pictures read ahead as the show started
    for (int i = 0; i < kPictures; ++i) {
        if (paced)
            show->Stage().Prefetch.WaitForDone();
        const auto start = std::chrono::steady_clock::now();
        show->Timer1_Timer();
        show->repaint();
        steps.push_back(Ms(std::chrono::steady_clock::now() - start));
        QApplication::processEvents();
    }
    medians.push_back(Median(steps));
    show->close();
    QApplication::processEvents();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen:size=1920x1080");
    QApplication app(argc, argv);
    DecodeService decoding;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const QString build = QCoreApplication::applicationDirPath() + "/..";
    const QString plugin = build + "/tests/pluginhost/windows/axtest.sph";
    if (!QFile::exists(plugin) || !QFile::exists(build + "/velmora-spihost64.exe")) {
        std::printf("no Windows helper or test archive plug-in built (mingw-w64 missing): skipped\n");
        return 0;
    }
    if (!QFile::exists("/usr/lib/wine/wine64")) {
        std::printf("wine is not installed (scripts/setup-deps --windows-plugins): skipped\n");
        return 0;
    }
    std::printf("%s\n%s\n", MachineLine().c_str(), qPrintable(PicturesLine()));

    // A program folder of its own: the bridge and helpers, and the plug-in.
    QTemporaryDir program, data;
    for (const char* file : {"libLoadPlugin.so", "velmora-spihost", "velmora-spihost64.exe"})
        if (!QFile::copy(build + "/" + file, program.filePath(file))) {
            std::fprintf(stderr, "cannot copy %s\n", file);
            return 1;
        }
    QFile::setPermissions(program.filePath("velmora-spihost"), QFile::permissions(build + "/velmora-spihost"));
    QDir().mkpath(program.filePath("Plugin"));
    QFile::copy(plugin, program.filePath("Plugin/axtest.sph"));
    SetAppFolder(program.path());

    // The pictures, once in a ZIP and once in the plug-in's format.
    const QString pictures = data.filePath("pictures");
    QDir().mkpath(pictures);
    QStringList names;
    for (int i = 0; i < kPictures; ++i)
        names << QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QChar('0'));
    if (!WriteAll(kPictures, [&](int i) { return SavePicture(RealPhoto(4243, 2829, i), pictures + "/" + names[i]); }))
        return 1;
    QDir().mkpath(data.filePath("zip"));
    QDir().mkpath(data.filePath("var"));
    QByteArray var("VAR1");
    for (const QString& name : names) {
        QFile file(pictures + "/" + name);
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        var += Var1Entry(name.toUtf8(), file.readAll());
    }
    if (!Zip(pictures, data.filePath("zip/pics.zip"), names) || !Write(data.filePath("var/pics.var"), var))
        return 1;

    // The prefix is made (once) before anything is timed.
    PluginBridge::PreparePlugins(program.filePath("Plugin"));
    PluginBridge::WaitUntilReady(program.filePath("Plugin/axtest.sph"));

    for (const bool paced : {true, false}) {
        std::vector<double> builtIn, plugged;
        const std::vector<Rounds> steps =
            Alternate({[&] { return Steps(data.filePath("zip/"), paced, builtIn); },
                       [&] { return Steps(data.filePath("var/"), paced, plugged); }},
                      rounds);
        if (steps[0].failed || steps[1].failed)
            return 1;
        const double target = 1.5 * Median(builtIn) + 40;
        std::printf("%s step, %d steps through %d 12 MP JPEGs in an archive, median of %d rounds (spread):\n",
                    paced ? "paced" : "back-to-back", kPictures, kPictures, rounds);
        std::printf("  built in (ZIP)             %7.1f ms (%.1f-%.1f), CPU a round %7.1f ms\n", Median(builtIn),
                    Min(builtIn), Max(builtIn), steps[0].Cpu());
        std::printf("  Windows plug-in under wine %7.1f ms (%.1f-%.1f), CPU a round %7.1f ms; target <= %.1f ms %s\n",
                    Median(plugged), Min(plugged), Max(plugged), steps[1].Cpu(), target,
                    Median(plugged) <= target ? "ok" : "MISSED");
    }

    // 10,000 small files (a tiny JPEG's worth of bytes each).
    const QString many = data.filePath("many");
    QDir().mkpath(many);
    QByteArray manyVar("VAR1");
    QStringList manyNames;
    for (int i = 0; i < kListed; ++i) {
        const QByteArray name = QStringLiteral("d%1/IMG_%2.jpg").arg(i / 100, 3, 10, QChar('0')).arg(i, 5, 10, QChar('0')).toUtf8();
        manyVar += Var1Entry(name, QByteArray(64, char(i)));
        manyNames << QString::fromUtf8(name);
    }
    for (int d = 0; d < kListed / 100; ++d)
        QDir().mkpath(many + QStringLiteral("/d%1").arg(d, 3, 10, QChar('0')));
    for (const QString& name : manyNames)
        if (!Write(many + "/" + name, QByteArray(64, 'x')))
            return 1;
    if (!Zip(many, data.filePath("many.zip"), manyNames) || !Write(data.filePath("many.var"), manyVar))
        return 1;
    ClsArchivePluginManager manager;
    manager.Initialize(program.filePath("Plugin"));
    std::size_t listedBuiltIn = 0, listedPlugged = 0;
    const std::vector<Rounds> listings = Alternate(
        {[&] {
             const ArchiveIndex::Opened index = ArchiveIndex::OpenFile(data.filePath("many.zip"));
             listedBuiltIn = index ? (*index)->Entries().size() : 0;
             return bool(index);
         },
         [&] {
             const std::optional<ArchiveContents::Opened> opened = manager.Open(data.filePath("many.var"), nullptr, 0);
             listedPlugged = opened && *opened ? (**opened)->Entries().size() : 0;
             return listedPlugged == std::size_t(kListed);
         }},
        rounds);
    if (listings[0].failed || listings[1].failed) {
        std::fprintf(stderr, "listing failed: %zu and %zu files\n", listedBuiltIn, listedPlugged);
        return 1;
    }
    std::printf("listing an archive of %d files, median of %d rounds:\n", kListed, rounds);
    std::printf("  built in (ZIP)             %s\n", Figure(listings[0]).c_str());
    std::printf("  Windows plug-in under wine %s; target <= 1000 ms %s\n", Figure(listings[1]).c_str(),
                listings[1].Median() <= 1000 ? "ok" : "MISSED");
    return 0;
}
