// Archive plug-ins ("00AM") through their manager and the bridge's archive
// helpers, with the test extractor in its well-behaved and hostile builds.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "archives/ArchiveContents.h"
#include "common/AppPaths.h"
#include "pluginhost/ClsArchivePluginManager.h"
#include "pluginhost/ClsPluginManager.h"
#include "pluginrunner/SpiArchive.h"
#include "support/TestSupport.h"
#include "Var1Archive.h"
#include "PluginTestSupport.h"

namespace {

using Kind = codec::ErrorKind;

// The files of the archives below, stored out of name order, with a folder
// in the path ("\" as DOS archivers write it) and an entry that is a folder.
const QByteArray kFirst = Var1({{"d.bmp", "dddd"}, {"b\\c.bmp", "cc"}, {"b\\", ""}, {"a.bmp", "a"}});
const QByteArray kSecond = Var1({{"x.bmp", "second"}});

std::shared_ptr<const ArchiveContents> Listed(const ClsArchivePluginManager& manager, const QString& path,
                                              const QByteArray* bytes = nullptr, int depth = 0)
{
    const std::optional<ArchiveContents::Opened> opened = manager.Open(path, bytes, depth);
    if (!opened) {
        ADD_FAILURE() << "no plug-in took " << path.toStdString();
        return {};
    }
    if (!*opened) {
        ADD_FAILURE() << path.toStdString() << ": " << opened->error().Describe();
        return {};
    }
    return **opened;
}

QStringList Paths(const ArchiveContents& archive)
{
    QStringList paths;
    for (const ArchiveEntry& e : archive.Entries())
        paths << e.path;
    return paths;
}

QByteArray ReadPath(const ArchiveContents& archive, const QString& path, Kind* failed = nullptr)
{
    const QStringList paths = Paths(archive);
    const int entry = int(paths.indexOf(path));
    const codec::Result<QByteArray> bytes = archive.Read(entry, 1 << 20);
    if (failed)
        *failed = bytes ? Kind::Stopped : bytes.error().kind;
    else if (!bytes)
        ADD_FAILURE() << path.toStdString() << ": " << bytes.error().Describe();
    return bytes ? *bytes : QByteArray();
}

struct Loaded {
    ProgramFolder program;
    ClsArchivePluginManager manager;
    explicit Loaded(const QStringList& plugins)
    {
        for (const QString& plugin : plugins)
            program.AddPlugin(plugin);
        manager.Initialize(program.PluginFolder());
    }
};

} // namespace

TEST(ArchivePlugins, EachManagerKeepsItsOwnKind)
{
    ProgramFolder program;
    // The archive plug-in comes first in the folder.
    program.AddPlugin("axtest.spi", "ax1.spi");
    program.AddPlugin("vtest.spi", "if2.spi");
    ClsPluginManager filters;
    filters.Initialize(program.PluginFolder());
    EXPECT_EQ(filters.PluginCount(), 0);
    EXPECT_TRUE(filters.PluginName(0).endsWith("/if2.spi")) << filters.PluginName(0).toStdString();
    EXPECT_FALSE(filters.SupportExtension().contains("var"));

    ClsArchivePluginManager archives;
    archives.Initialize(program.PluginFolder());
    ASSERT_EQ(archives.PluginCount(), 0);
    EXPECT_TRUE(archives.PluginName(0).endsWith("/ax1.spi"));
    EXPECT_EQ(archives.APIVersion(0), "00AM");
    EXPECT_EQ(archives.AboutPlugin(0), "Velmora test archive");
    EXPECT_EQ(archives.SupportExtension(), "*.var;");
    EXPECT_EQ(archives.PluginName(1), "");
}

TEST(ArchivePlugins, ListAndReadInNameOrderAcrossArchivesAndFromMemory)
{
    // The file-only build remembers only the archive it listed last, as
    // real extractors do; the other one also reads memory.
    for (const char* plugin : {"axtest.spi", "axfileonly.spi"}) {
        SCOPED_TRACE(plugin);
        Loaded loaded({plugin});
        const QString first = loaded.program.WriteFile("first.var", kFirst);
        const QString second = loaded.program.WriteFile("second.VAR", kSecond);
        // Its pattern and its IsSupported both decide.
        const QString named = loaded.program.WriteFile("first.zip", kFirst);
        const QString other = loaded.program.WriteFile("other.var", "VAR2");
        EXPECT_FALSE(loaded.manager.Open(named, nullptr, 0));
        EXPECT_FALSE(loaded.manager.Open(other, nullptr, 0));

        const auto a = Listed(loaded.manager, first);
        const auto b = Listed(loaded.manager, second);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(Paths(*a), QStringList({"a.bmp", "b/c.bmp", "d.bmp"}));
        EXPECT_TRUE(a->Complete());
        // The second archive was listed last: the first is listed again
        // before each read from it.
        EXPECT_EQ(ReadPath(*a, "b/c.bmp"), "cc");
        EXPECT_EQ(ReadPath(*b, "x.bmp"), "second");
        EXPECT_EQ(ReadPath(*a, "d.bmp"), "dddd");
        EXPECT_EQ(ReadPath(*a, "a.bmp"), "a");

        // An archive inside another reaches the plug-in as a private copy,
        // which goes with its listing.
        const QByteArray nested = Var1({{"in.var", kSecond}});
        const auto inner = Listed(loaded.manager, first + "/in.var", &kSecond, 1);
        ASSERT_TRUE(inner);
        EXPECT_EQ(inner->Depth(), 1);
        EXPECT_EQ(ReadPath(*inner, "x.bmp"), "second");
        EXPECT_EQ(ReadPath(*a, "a.bmp"), "a");
    }
}

// Plug-ins put folders in path, in filename or in both, with "\\" or "/",
// and may leave sizes unknown (0).
TEST(ArchivePlugins, ListingsInEveryFormPluginsWrite)
{
    const auto entry = [](std::string path, std::string filename, std::uint64_t size, std::uint64_t position) {
        SpiArchive::Entry e;
        e.method = "x";
        e.path = std::move(path);
        e.filename = std::move(filename);
        e.filesize = size;
        e.position = position;
        return e;
    };
    SpiProtocol::Writer out;
    SpiArchive::Put(out,
                    {entry("", "z\\b.bmp", 5, 10), entry("c/", "d.bmp", 0, 20), entry("e", "f.bmp", 7, 30),
                     entry("g\\", "", 0, 40), entry("", "h/", 0, 50), entry("\\\\i\\.\\", "j.bmp", 1, 60),
                     entry("", "", 0, 70)},
                    false);
    ClsArchivePlugin::Listing listing;
    ASSERT_TRUE(ClsArchivePlugin::ReadListing(QByteArray::fromStdString(out.Data()), listing));
    EXPECT_FALSE(listing.complete);
    QStringList paths;
    std::vector<std::uint64_t> positions;
    for (const ArchiveEntry& file : listing.files) {
        paths << file.path;
        positions.push_back(listing.positions[std::size_t(file.header)]);
    }
    EXPECT_EQ(paths, QStringList({"c/d.bmp", "e/f.bmp", "i/j.bmp", "z/b.bmp"}));
    EXPECT_EQ(positions, (std::vector<std::uint64_t>{20, 30, 60, 10}));
    EXPECT_EQ(listing.files[0].size, -1); // unknown until it is read
    EXPECT_EQ(listing.files[1].size, 7);
    EXPECT_FALSE(ClsArchivePlugin::ReadListing(QByteArray::fromStdString(out.Data()).chopped(1), listing));
}

TEST(ArchivePlugins, ChangedArchivesAndTooLargeFilesAreRefused)
{
    Loaded loaded({"axtest.spi"});
    const QString path = loaded.program.WriteFile("a.var", kFirst);
    const auto archive = Listed(loaded.manager, path);
    ASSERT_TRUE(archive);
    const int entry = int(Paths(*archive).indexOf("d.bmp"));
    // Refused by its declared size, before the plug-in is asked.
    EXPECT_EQ(archive->Read(entry, 3).error().kind, Kind::TooLarge);
    EXPECT_EQ(archive->Read(99, 1 << 20).error().kind, Kind::ReadFailed);
    loaded.program.WriteFile("a.var", kSecond + "more");
    EXPECT_EQ(archive->Read(entry, 1 << 20).error().kind, Kind::ReadFailed);
}

TEST(ArchivePlugins, CrashesHangsAndLiesCostOnlyThatArchiveOrFile)
{
    const ScopedEnvironment limit("VELMORA_SPI_TIMEOUT_MS", "2000");
    {
        Loaded crashing({"axcrash.spi"});
        const QString path = crashing.program.WriteFile("a.var", kFirst);
        EXPECT_FALSE(crashing.manager.Open(path, nullptr, 0));
        EXPECT_FALSE(crashing.manager.Open(path, nullptr, 0)); // its helper came back, and crashed again
    }
    {
        Loaded hanging({"axhang.spi"});
        const QString path = hanging.program.WriteFile("a.var", kFirst);
        const auto archive = Listed(hanging.manager, path);
        ASSERT_TRUE(archive);
        Kind failed = Kind::Stopped;
        ReadPath(*archive, "a.bmp", &failed);
        EXPECT_EQ(failed, Kind::ReadFailed);
        const codec::Result<QByteArray> again = archive->Read(0, 1 << 20);
        ASSERT_FALSE(again);
        EXPECT_NE(again.error().message.find("hung"), std::string::npos) << again.error().message;
    }
    {
        // Sizes of 1 TiB, positions past the end, no ending entry and code 8
        // with the listing: what is listed is used, nothing is read.
        Loaded lying({"axliar.spi"});
        const QString path = lying.program.WriteFile("a.var", kFirst);
        const auto archive = Listed(lying.manager, path);
        ASSERT_TRUE(archive);
        EXPECT_EQ(Paths(*archive), QStringList({"a.bmp", "b/c.bmp", "d.bmp"}));
        EXPECT_FALSE(archive->Complete());
        EXPECT_EQ(archive->Read(0, 1 << 20).error().kind, Kind::TooLarge);
    }
}

TEST(ArchivePlugins, PluginsWriteOnlyIntoTheirScratchFolder)
{
    const QString root = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + "/velmora/scratch";
    const QStringList escapes = {"/tmp/velmora-escaped.txt", root + "/../escaped.txt"};
    for (const QString& escaped : escapes)
        QFile::remove(escaped);
    // One that can only write files gets its file through the scratch folder.
    Loaded writer({"axwriter.spi"});
    const QString path = writer.program.WriteFile("a.var", kFirst);
    const auto written = Listed(writer.manager, path);
    ASSERT_TRUE(written);
    EXPECT_EQ(ReadPath(*written, "b/c.bmp"), "cc");

    // One that writes where it likes, under names that climb out, whether
    // it was asked for memory or given the folder.
    Loaded climber({"axclimber.spi"});
    const auto archive = Listed(climber.manager, climber.program.WriteFile("a.var", kFirst));
    ASSERT_TRUE(archive);
    // What it wrote inside its folder may even be taken: it is the file.
    Kind failed = Kind::Stopped;
    ReadPath(*archive, "a.bmp", &failed);
    for (const QString& escaped : escapes)
        EXPECT_FALSE(QFileInfo::exists(escaped)) << escaped.toStdString();
    // Only the helpers' folders, each emptied after its call.
    for (QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
         it.hasNext();)
        EXPECT_TRUE(it.nextFileInfo().isDir()) << it.filePath().toStdString();
}

// The Windows builds of the test extractor under wine: 32-bit (*.spi) and
// 64-bit (*.sph), both reading files only and only the archive listed last.
TEST(WindowsArchivePlugins, ListAndReadInBothWidths)
{
    // One program folder: the bridge finds the Windows helpers beside itself.
    ProgramFolder program;
    for (const bool sixtyFour : {false, true}) {
        SCOPED_TRACE(sixtyFour ? "64-bit" : "32-bit");
        SKIP_WITHOUT_WINDOWS_PLUGINS(sixtyFour);
        const QString name = sixtyFour ? "axtest.sph" : "axtest.spi";
        const QString folder = program.MakeDir(name + ".d");
        QFile::copy(TestPluginDir() + "/windows/" + name, folder + "/" + name);
        ClsArchivePluginManager manager;
        manager.Initialize(folder);
        ASSERT_EQ(manager.PluginCount(), 0);
        EXPECT_EQ(manager.APIVersion(0), "00AM");
        const auto a = Listed(manager, program.WriteFile("first.var", kFirst));
        const auto b = Listed(manager, program.WriteFile("second.var", kSecond));
        ASSERT_TRUE(a && b);
        EXPECT_EQ(Paths(*a), QStringList({"a.bmp", "b/c.bmp", "d.bmp"}));
        EXPECT_EQ(ReadPath(*a, "b/c.bmp"), "cc");
        EXPECT_EQ(ReadPath(*b, "x.bmp"), "second");
        EXPECT_EQ(ReadPath(*a, "d.bmp"), "dddd");
    }
}

// Under wine the helper cannot confine the wine server; the plug-in's own
// file functions (the C runtime's and kernel32's) refuse writes outside
// the scratch folder instead, whether relative, unix-style, into drive C or
// into the home folder, by a move or a copy, and through a link.
TEST(WindowsArchivePlugins, WritesStayInTheScratchFolder)
{
    SKIP_WITHOUT_WINDOWS_PLUGINS(false);
    const TempTree home;
    const ScopedEnvironment homeVariable("HOME", home.Path());
    const QString drive = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + "/velmora/wine/drive_c";
    const QStringList escapes = {"/tmp/velmora-escaped.txt", drive + "/escaped.txt", drive + "/tmp/velmora-escaped.txt",
                                 drive + "/velmora-escaped.txt", drive + "/velmora-copied.txt",
                                 drive + "/velmora-moved.txt", home.Path() + "/velmora-escaped.txt"};
    for (const QString& escaped : escapes)
        QFile::remove(escaped);
    // One that writes only into the folder it is given, through a temporary
    // file as many extractors do, still can.
    Loaded writer({TestPluginDir() + "/windows/axwriter.spi"});
    const auto written = Listed(writer.manager, writer.program.WriteFile("a.var", kFirst));
    ASSERT_TRUE(written);
    EXPECT_EQ(ReadPath(*written, "d.bmp"), "dddd");

    Loaded climber({TestPluginDir() + "/windows/axclimber.spi"});
    const QString target = home.WriteFile("target.txt", "kept");
    const auto archive = Listed(climber.manager, climber.program.WriteFile("a.var", kFirst));
    ASSERT_TRUE(archive);
    Kind failed = Kind::Stopped;
    ReadPath(*archive, "a.bmp", &failed);
    for (const QString& escaped : escapes)
        EXPECT_FALSE(QFileInfo::exists(escaped)) << escaped.toStdString();
    QFile kept(target);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "kept") << "written through a link";
}

// Names outside every code page of plug-ins: through the UTF-16 functions
// of a plug-in that has them (fileInfoW records) the archive and its
// entries' names arrive whole; the narrow plug-in still opens such an
// archive, by its short name.
TEST(WindowsArchivePlugins, NamesOutsideTheCodePage)
{
    ProgramFolder program;
    const QString korean = QString::fromUtf8("한국어😀");
    const QString path = program.WriteFile(korean + "/" + korean + ".var",
                                           Var1({{(korean + "\\" + korean + ".bmp").toUtf8(), "wide"}, {"a.bmp", "a"}}));
    for (const bool sixtyFour : {false, true}) {
        SCOPED_TRACE(sixtyFour ? "64-bit" : "32-bit");
        SKIP_WITHOUT_WINDOWS_PLUGINS(sixtyFour);
        for (const QString plugin : {"axwide", "axtest"}) {
            SCOPED_TRACE(plugin.toStdString());
            const QString name = plugin + (sixtyFour ? ".sph" : ".spi");
            const QString folder = program.MakeDir(name + ".d");
            QFile::copy(TestPluginDir() + "/windows/" + name, folder + "/" + name);
            ClsArchivePluginManager manager;
            manager.Initialize(folder);
            const auto archive = Listed(manager, path);
            ASSERT_TRUE(archive);
            EXPECT_EQ(ReadPath(*archive, "a.bmp"), "a");
            if (plugin == "axwide") {
                EXPECT_EQ(Paths(*archive), QStringList({"a.bmp", korean + "/" + korean + ".bmp"}));
                EXPECT_EQ(ReadPath(*archive, korean + "/" + korean + ".bmp"), "wide");
            }
        }
    }
}
