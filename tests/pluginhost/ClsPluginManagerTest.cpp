#include <QTimer>

#include <atomic>
#include <thread>

#include "common/AppPaths.h"
#include "pluginhost/ClsPluginManager.h"
#include "support/TestSupport.h"
#include "PluginTestSupport.h"

namespace {

struct Drawn {
    std::int32_t code;
    QRect box;
    QColor centre;
};

Drawn Draw(ClsPluginManager& manager, const QString& file, const QString& kind, int w = 100, int h = 100,
           int* raised = nullptr)
{
    QImage surface = BlackSurface(w, h);
    const HDC dc = CreateImageDC(&surface);
    std::int32_t code = -100;
    const int kind_ = RaisedKind([&] { code = manager.DrawPictureFile(file, dc, h, w, 0, 0, kind); });
    if (raised)
        *raised = kind_;
    else
        EXPECT_EQ(kind_, -1) << "raised";
    DeleteDC(dc);
    return {code, DrawnBox(surface), surface.pixelColor(w / 2, h / 2)};
}

// Plug-ins that crash or hang need their helpers, also where the other
// plug-in tests run in the test program itself; the call limit is short.
struct HostileSetting {
    ScopedEnvironment helpers{"VELMORA_SPI_INPROCESS", "0"};
    ScopedEnvironment limit{"VELMORA_SPI_TIMEOUT_MS", "2000"};
};

} // namespace

TEST(ClsPluginManager, MissingOrEmptyFolderHasNoPlugin)
{
    ProgramFolder program;
    const QString file = WriteVtp(program, "a.vtp", 4, 4);
    for (const QString& folder : {program.PluginFolder(), program.Path() + "/nowhere"}) {
        ClsPluginManager manager;
        EXPECT_EQ(manager.Initialize(folder), 0);
        EXPECT_EQ(manager.PluginCount(), -1);
        EXPECT_EQ(manager.SupportExtension(), "");
        EXPECT_EQ(manager.CheckFile(file), "");
        EXPECT_TRUE(Draw(manager, file, "").box.isNull());
        EXPECT_EQ(manager.PluginName(0), "");
    }
}

TEST(ClsPluginManager, ScanKeepsOnlyImportFiltersWithPairsAndRunsTheEventLoop)
{
    ProgramFolder program;
    for (const char* name : {"varchive.spi", "vlower.spi", "vnopair.spi"})
        program.AddPlugin(name);
    if (!qEnvironmentVariableIsSet("VELMORA_SPI_INPROCESS"))
        program.AddPlugin("vcrashinfo.spi"); // crashes in its helper at load
    program.AddPlugin("vtest.spi", "VTEST.SPI"); // the pattern ignores case
    program.AddPlugin("vtwopair.spi", "two.Spi");
    program.AddPlugin("vtest.spi", "ignored.dll");
    program.MakeDir("Plugin/folder.spi");
    program.WriteFile("Plugin/text.spi", "not a shared object");
    int fired = 0;
    QTimer::singleShot(0, [&] { ++fired; });
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder() + "/"); // with or without the separator
    EXPECT_EQ(fired, 1);
    ASSERT_EQ(manager.PluginCount(), 1);
    const int two = manager.PluginName(0).endsWith("/two.Spi") ? 0 : 1;
    EXPECT_EQ(manager.PluginName(two), program.PluginFolder() + "/two.Spi");
    EXPECT_EQ(manager.PluginName(1 - two), program.PluginFolder() + "/VTEST.SPI");
    EXPECT_EQ(manager.APIVersion(two), "00IN");
    EXPECT_EQ(manager.AboutPlugin(two), "Velmora two-pair filter");
    for (const int bad : {2, 5, -1})
        EXPECT_EQ(manager.PluginName(bad) + manager.APIVersion(bad) + manager.AboutPlugin(bad), "") << bad;
    // Every pattern of every plug-in, each followed by ";", in list and pair order.
    EXPECT_EQ(manager.SupportExtension(), two == 0 ? "*.vtp;*.vt2;*.vt3;*.vtp;" : "*.vtp;*.vtp;*.vt2;*.vt3;");
}

TEST(ClsPluginManager, CheckFileUsesTheAnswerMinusOne)
{
    ProgramFolder program;
    program.AddPlugin("vtwopair.spi");
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    // An answer beyond the description list names the first description.
    for (const auto& [answer, type] : {std::pair{'1', "Velmora test picture"}, {'2', "Velmora second picture"},
                                       {'9', "Velmora test picture"}, {'0', ""}})
        EXPECT_EQ(manager.CheckFile(WriteVtp(program, "a.vtp", 4, 4, Qt::red, answer)), type) << answer;
    // An answer of INT_MIN has no answer minus one.
    EXPECT_EQ(RaisedKind([&] { manager.CheckFile(program.WriteFile("m.vtp", "MINI")); }), int(ErrorKind::Overflow));
}

TEST(ClsPluginManager, DrawingPluginIsChosenByExactDescriptionAndGetsTheStretch)
{
    ProgramFolder program;
    program.AddPlugin("vtest.spi");
    program.AddPlugin("vcase.spi");
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginCount(), 1);
    // No plug-in accepts the file ('0'), but a given kind is not checked.
    const QString refused = WriteVtp(program, "a.vtp", 10, 10, Qt::green, '0');
    EXPECT_EQ(manager.CheckFile(refused), "");
    for (const QString kind : {"Velmora test picture", "VELMORA TEST PICTURE"}) {
        const Drawn d = Draw(manager, refused, kind);
        EXPECT_EQ(d.code, 0);
        EXPECT_EQ(d.box, QRect(45, 45, 10, 10));
    }
    // Letter case counts; the empty kind of a refused file matches nothing.
    for (const QString kind : {"velmora test picture", ""}) {
        const Drawn d = Draw(manager, refused, kind);
        EXPECT_EQ(d.code, 2);
        EXPECT_TRUE(d.box.isNull());
    }
    // The empty kind finds the accepting plug-in, whose code comes back.
    const QString file = WriteVtp(program, "b.vtp", 10, 5, Qt::blue);
    EXPECT_EQ(Draw(manager, file, "").box, QRect(45, 47, 10, 5));
    EXPECT_EQ(Draw(manager, program.WriteFile("x.bad", "BAD2"), "").code, 3);
    EXPECT_FALSE(manager.Stretch());
    manager.SetStretch(true);
    EXPECT_TRUE(manager.Stretch());
    EXPECT_EQ(Draw(manager, file, "", 108, 100).box, QRect(4, 25, 100, 50));
}

TEST(ClsPluginManager, AnEmptyKindIsDrawnByTheFirstPluginWithTheDescriptionNotTheOneThatAccepted)
{
    ProgramFolder program;
    program.AddPlugin("vinvert.spi", "a.spi"); // refuses the file, first with the description
    program.AddPlugin("vtest.spi", "b.spi");   // accepts it
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginName(0), program.PluginFolder() + "/a.spi");
    const QString file = WriteVtp(program, "p.vtp", 10, 10, QColor(10, 200, 30));
    EXPECT_EQ(manager.CheckFile(file), "Velmora test picture");
    const Drawn d = Draw(manager, file, "");
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(d.centre, QColor(245, 55, 225)) << "drawn by a.spi, inverted";
}

TEST(ClsPluginManager, TheProgramsPluginsComeFirstThenTheUsersAndTheFirstOfOneNameWins)
{
    ProgramFolder program;
    TempTree user;
    ScopedEnvironment xdg("XDG_DATA_HOME", user.Path());
    const QString userPlugins = user.MakeDir("velmora/Plugin");
    ASSERT_EQ(PluginFolders(), QStringList({program.PluginFolder() + "/", userPlugins + "/"}));
    program.AddPlugin("ifqtimg.spi", "shared.spi");
    QFile::copy(program.AddPlugin("ifheif.spi"), userPlugins + "/shared.spi");
    QFile::copy(program.PluginFolder() + "/ifheif.spi", userPlugins + "/user.spi");
    QFile::remove(program.PluginFolder() + "/ifheif.spi");

    ClsPluginManager manager;
    for (const QString& folder : PluginFolders())
        manager.Initialize(folder);
    ASSERT_EQ(manager.PluginCount(), 1);
    EXPECT_EQ(manager.PluginName(0), program.PluginFolder() + "/shared.spi");
    EXPECT_EQ(manager.PluginName(1), userPlugins + "/user.spi");
    EXPECT_TRUE(manager.SupportExtension().contains("*.webp")) << "the program's shared.spi";
}

TEST(ClsPluginManager, APluginThatCrashesOrHangsInIsSupportedCostsOnlyItsOwnAnswer)
{
    const HostileSetting setting;
    for (const char* hostile : {"vcrashcheck.spi", "vhangcheck.spi"}) {
        SCOPED_TRACE(hostile);
        PluginWarnings warnings;
        ProgramFolder program;
        program.AddPlugin(hostile, "a.spi"); // asked first
        program.AddPlugin("vtest.spi", "b.spi");
        ClsPluginManager manager;
        manager.Initialize(program.PluginFolder());
        ASSERT_EQ(manager.PluginCount(), 1);
        ASSERT_EQ(manager.PluginName(0), program.PluginFolder() + "/a.spi");
        const QString file = WriteVtp(program, "p.vtp", 10, 10, Qt::green);
        EXPECT_EQ(manager.CheckFile(file), "Velmora test picture");
        EXPECT_TRUE(Said(warnings.Take(), {program.PluginFolder() + "/a.spi", file}));
        const Drawn d = Draw(manager, WriteVtp(program, "q.vtp", 10, 10, Qt::green), "");
        EXPECT_EQ(d.code, 0);
        EXPECT_EQ(d.box, QRect(45, 45, 10, 10));
        EXPECT_EQ(d.centre, QColor(Qt::green));
    }
}

TEST(ClsPluginManager, APluginIsNotAskedAgainAboutAFileItHungOnNorAtAllAfterThreeHangs)
{
    const HostileSetting setting;
    PluginWarnings warnings;
    CallLog calls;
    ProgramFolder program;
    const QString hanging = program.AddPlugin("vhangcheck.spi", "a.spi");
    program.AddPlugin("vtest.spi", "b.spi");
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginCount(), 1);
    QStringList files;
    for (const char* name : {"1.vtp", "2.vtp", "3.vtp", "4.vtp"})
        files << WriteVtp(program, name, 4, 4);

    EXPECT_EQ(manager.CheckFile(files[0]), "Velmora test picture");
    EXPECT_EQ(calls.Count("IsSupported", files[0]), 1);
    EXPECT_TRUE(Said(warnings.Take(), {hanging, files[0], "not asked"}));
    // Asked again, by this manager and by another one on another thread:
    // the plug-in is passed over. (The other one scans here, as a helper
    // started on a thread ends with it.)
    EXPECT_EQ(manager.CheckFile(files[0]), "Velmora test picture");
    ClsPluginManager other;
    other.Initialize(program.PluginFolder());
    ASSERT_EQ(other.PluginCount(), 1);
    std::thread([&] { EXPECT_EQ(other.CheckFile(files[0]), "Velmora test picture"); }).join();
    EXPECT_EQ(calls.Count("IsSupported", files[0]), 1);

    // Three files it hung on: it is asked nothing more, and a later scan
    // leaves it out.
    EXPECT_EQ(manager.CheckFile(files[1]), "Velmora test picture");
    EXPECT_EQ(manager.CheckFile(files[2]), "Velmora test picture");
    EXPECT_TRUE(Said(warnings.Take(), {hanging, "left out"}));
    const int before = calls.Count("GetPluginInfo");
    EXPECT_EQ(manager.CheckFile(files[3]), "Velmora test picture");
    ClsPluginManager later;
    later.Initialize(program.PluginFolder());
    EXPECT_EQ(later.PluginCount(), 0);
    EXPECT_EQ(later.PluginName(0), program.PluginFolder() + "/b.spi");
    EXPECT_EQ(calls.Count("IsSupported"), 3);
    EXPECT_EQ(calls.Count("GetPluginInfo"), before);
}

TEST(ClsPluginManager, AFileWhoseDrawingHungIsBlackAtOnceTheNextTime)
{
    const HostileSetting setting;
    CallLog calls;
    ProgramFolder program;
    program.AddPlugin("vhangdraw.spi");
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginCount(), 0);
    const QString file = WriteVtp(program, "p.vtp", 10, 10);
    int raised = -1;
    EXPECT_TRUE(Draw(manager, file, "", 100, 100, &raised).box.isNull());
    EXPECT_EQ(raised, int(ErrorKind::PluginFailed));
    EXPECT_EQ(calls.Count("GetPicture", file), 1);
    // Found by its kind or not found at all: the plug-in is not asked.
    EXPECT_EQ(manager.CheckFile(file), "");
    EXPECT_EQ(Draw(manager, file, "", 100, 100, &raised).code, 2);
    EXPECT_EQ(raised, -1);
    Draw(manager, file, "Velmora hanging picture", 100, 100, &raised);
    EXPECT_EQ(raised, int(ErrorKind::PluginFailed));
    EXPECT_EQ(calls.Count("IsSupported", file), 1);
    EXPECT_EQ(calls.Count("GetPicture", file), 1);
    // Other files are still its own.
    const QString other = WriteVtp(program, "q.vtp", 10, 10);
    EXPECT_EQ(manager.CheckFile(other), "Velmora hanging picture");
}

TEST(ClsPluginManager, APluginLeftOutOfTheScanIsSaidSo)
{
    ScopedEnvironment limit("VELMORA_SPI_TIMEOUT_MS", "2000");
    PluginWarnings warnings;
    ProgramFolder program;
    const QString slow = program.AddPlugin("vslow.spi");
    program.AddPlugin("vtest.spi");
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginCount(), 0);
    EXPECT_EQ(manager.PluginName(0), program.PluginFolder() + "/vtest.spi");
    EXPECT_TRUE(Said(warnings.Take(), {slow, "left out", "2000 ms"}));
}

// Each decoding thread loads the plug-ins again: a plug-in left out is told
// once, with why, whichever manager met it first.
TEST(ClsPluginManager, APluginLeftOutIsToldOnceWithWhy)
{
    PluginWarnings warnings;
    ProgramFolder program;
    const QString archive = program.AddPlugin("varchive.spi");
    const QString empty = program.AddPlugin("vnopair.spi");
    program.AddPlugin("vtest.spi");
    for (int i = 0; i < 3; ++i) {
        ClsPluginManager manager;
        manager.Initialize(program.PluginFolder());
        ASSERT_EQ(manager.PluginCount(), 0);
    }
    const QStringList told = warnings.Take();
    EXPECT_TRUE(Said(told, {archive, "left out", "not an import filter", "00AM"})) << told.join('\n').toStdString();
    EXPECT_TRUE(Said(told, {empty, "left out"})) << told.join('\n').toStdString();
    EXPECT_EQ(told.filter(archive).size(), 1) << told.join('\n').toStdString();
    EXPECT_EQ(told.filter("vtest.spi").size(), 0) << told.join('\n').toStdString();
}

TEST(ClsPluginManager, ManagersOnSeveralThreadsAtOnceEachGetTheirOwnPictures)
{
    ProgramFolder program;
    program.AddPlugin("vtest.spi", "a.spi");
    program.AddPlugin("vtwopair.spi", "b.spi");
    // The helpers start here: a helper ends with the thread that started it.
    ClsPluginManager first;
    first.Initialize(program.PluginFolder());
    ASSERT_EQ(first.PluginCount(), 1);
    std::vector<std::pair<QString, QColor>> files;
    for (int i = 0; i < 12; ++i) {
        const QColor colour(20 * i, 255 - 20 * i, 100);
        files.emplace_back(WriteVtp(program, QString("p%1.vtp").arg(i), 6, 6, colour), colour);
    }
    std::atomic<int> drawn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            ClsPluginManager manager;
            manager.Initialize(program.PluginFolder());
            EXPECT_EQ(manager.PluginCount(), 1);
            for (const auto& [file, colour] : files) {
                EXPECT_EQ(manager.CheckFile(file), "Velmora test picture");
                const Drawn d = Draw(manager, file, "");
                drawn += d.code == 0 && d.box == QRect(47, 47, 6, 6) && d.centre == colour;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(drawn.load(), 3 * 12);
}

// A picture in memory reaches the plug-in as bytes (flag 1), also one of
// tens of MiB through the helper's channel. A plug-in that refuses memory
// input gets the picture as a file in a private folder, which is gone when
// the call returns, also when the plug-in hangs on it; it is then not asked
// again about that picture, by its name.
TEST(ClsPluginManager, PicturesInMemoryReachThePluginOrComeAsFilesThatAreRemoved)
{
    const ScopedEnvironment helpers("VELMORA_SPI_INPROCESS", "0");
    ProgramFolder program;
    program.AddPlugin("vtest.spi");
    const TempTree temporary;
    const ScopedEnvironment tmpdir("TMPDIR", temporary.Path());
    const auto leftBehind = [&] { return QDir(temporary.Path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); };
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginCount(), 0);
    PluginWarnings log;
    const auto draw = [&](const QString& name, const QByteArray& bytes, int* raised = nullptr,
                          ClsPluginManager* with = nullptr) {
        QImage surface = BlackSurface(100, 100);
        const HDC dc = CreateImageDC(&surface);
        std::int32_t code = -100;
        const int kind = RaisedKind(
            [&] { code = (with ? *with : manager).DrawPictureBytes(name, bytes, dc, 100, 100, 0, 0, ""); });
        DeleteDC(dc);
        if (raised)
            *raised = kind;
        else
            EXPECT_EQ(kind, -1) << "raised";
        return Drawn{code, DrawnBox(surface), surface.pixelColor(50, 50)};
    };

    QFile vtp(WriteVtp(program, "p.vtp", 20, 10, Qt::blue));
    ASSERT_TRUE(vtp.open(QIODevice::ReadOnly));
    QByteArray big = vtp.readAll();
    big.append(QByteArray(40 << 20, 'x'));
    EXPECT_EQ(manager.CheckBytes("album.zip/p.vtp", big), "Velmora test picture");
    const Drawn fromMemory = draw("album.zip/p.vtp", big);
    EXPECT_EQ(fromMemory.code, 0);
    EXPECT_EQ(fromMemory.box, QRect(40, 45, 20, 10));
    EXPECT_EQ(fromMemory.centre, QColor(Qt::blue));
    EXPECT_EQ(log.Take(), QStringList()) << "a plug-in that reads memory gets no file";
    {
        const ScopedEnvironment inProcess("VELMORA_SPI_INPROCESS", "1");
        EXPECT_EQ(manager.CheckBytes("album.zip/p.vtp", big), "Velmora test picture");
        EXPECT_EQ(draw("album.zip/p.vtp", big).centre, QColor(Qt::blue)) << "in the program itself";
    }

    EXPECT_EQ(manager.CheckBytes("album.zip/f.vtp", "FILE"), "Velmora test picture");
    const Drawn fromFile = draw("album.zip/f.vtp", "FILE");
    EXPECT_EQ(fromFile.code, 0);
    EXPECT_EQ(fromFile.centre, QColor(Qt::green));
    EXPECT_EQ(leftBehind(), QStringList());
    const QStringList told = log.Take();
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].contains("refuses pictures in memory")) << told[0].toStdString();
    {
        // From now on it gets files straight away: with no place to write
        // one, even a picture it would read from memory is not drawn.
        const ScopedEnvironment nowhere("TMPDIR", temporary.Path() + "/missing");
        EXPECT_EQ(draw("album.zip/p.vtp", big).code, 6);
        EXPECT_EQ(log.Take().size(), 1) << "no temporary file";
    }

    int raised = -1;
    {
        const ScopedEnvironment limit("VELMORA_SPI_TIMEOUT_MS", "2000");
        draw("album.zip/h.vtp", "FILH", &raised);
    }
    EXPECT_EQ(raised, int(ErrorKind::PluginFailed));
    EXPECT_EQ(leftBehind(), QStringList()) << "after a hang";
    EXPECT_EQ(manager.CheckBytes("album.zip/h.vtp", "FILH"), "");
    EXPECT_EQ(manager.CheckBytes("album.zip/other.vtp", "FILH"), "Velmora test picture");
    // Refused memory costs nothing more than the file's round trip: a
    // broken picture is still broken.
    EXPECT_EQ(draw("album.zip/broken.vtp", "VTP1").code, 3);
    EXPECT_EQ(leftBehind(), QStringList());

    // A hang on the bytes themselves counts against the picture's name too.
    const CallLog calls;
    ProgramFolder hanging;
    hanging.AddPlugin("vhangdraw.spi");
    ClsPluginManager second;
    second.Initialize(hanging.PluginFolder());
    const ScopedEnvironment limit("VELMORA_SPI_TIMEOUT_MS", "2000");
    draw("album.zip/hang.vtp", "VTP1", &raised, &second);
    EXPECT_EQ(raised, int(ErrorKind::PluginFailed));
    EXPECT_EQ(draw("album.zip/hang.vtp", "VTP1", &raised, &second).code, 2) << "no plug-in reads it now";
    EXPECT_EQ(calls.Count("IsSupported"), 1);
    EXPECT_EQ(calls.Count("GetPicture"), 1);
}
