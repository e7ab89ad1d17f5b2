#include <QFile>

#include "platform/LocalMemory.h"
#include "pluginhost/ClsPlugin.h"
#include "PluginTestSupport.h"

namespace {

// A program folder holding one test filter, bound to a fresh ClsPlugin.
struct OnePlugin {
    explicit OnePlugin(const QString& builtName) : path(program.AddPlugin(builtName)), result(plugin.Initialize(path)) {}
    ProgramFolder program;
    QString path;
    ClsPlugin plugin;
    std::int32_t result;
};

struct Drawing {
    std::int32_t code = -100;
    int raised = -1; // RaisedKind
    QImage surface;
    QRect box;
};

// Draws into the area of w x h at "at" on a surface of that area's extent or
// of the given size; the caller's stretch mode must come back.
Drawing Draw(const ClsPlugin& plugin, const QString& file, int w, int h, bool stretch, QPoint at = {}, QSize size = {})
{
    Drawing d;
    d.surface = size.isEmpty() ? BlackSurface(at.x() + w, at.y() + h) : BlackSurface(size.width(), size.height());
    const HDC dc = CreateImageDC(&d.surface);
    SetStretchBltMode(dc, HALFTONE);
    d.raised = RaisedKind([&] { d.code = plugin.DrawPictureFile(file, dc, h, w, at.y(), at.x(), stretch); });
    EXPECT_EQ(GetStretchBltMode(dc), HALFTONE);
    DeleteDC(dc);
    d.box = DrawnBox(d.surface);
    return d;
}

} // namespace

TEST(ClsPlugin, InitializeReadsVersionAboutAndPairsWithOneUnclearedBuffer)
{
    const struct {
        const char* name;
        int result; // 1: any positive answer
        const char *version, *about, *type0; // type0 null: no pair, lists raise
    } rows[] = {
        {"vtwopair.spi", 1, "00IN", "Velmora two-pair filter", "Velmora test picture"},
        {"varchive.spi", -1, "00AM", "", nullptr}, // the version ends the reading
        {"vlower.spi", -1, "00in", "", nullptr},   // letter case counts
        {"vnoexport.spi", 1, "IN", "Velmora filter without GetPicture", "Velmora no-export"},
        {"vnopair.spi", 0, "00IN", "Velmora empty filter", nullptr},
        {"vnodesc.spi", 1, "", "", "*.vtx"}, // the pattern stays in the buffer
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        OnePlugin one(row.name);
        EXPECT_EQ(row.result == 1 ? std::min(one.result, 1) : one.result, row.result);
        EXPECT_EQ(one.plugin.PluginName(), one.path);
        EXPECT_EQ(one.plugin.APIVersion(), row.version);
        EXPECT_EQ(one.plugin.AboutPlugin(), row.about);
        if (row.type0) {
            EXPECT_EQ(one.plugin.FileType(0), row.type0);
            continue;
        }
        EXPECT_EQ(RaisedKind([&] { (void)one.plugin.SupportedNum(); }), int(ErrorKind::IndexOutOfRange));
        EXPECT_EQ(RaisedKind([&] { (void)one.plugin.Extension(0); }), int(ErrorKind::IndexOutOfRange));
        EXPECT_EQ(RaisedKind([&] { (void)one.plugin.FileType(0); }), int(ErrorKind::IndexOutOfRange));
    }
    OnePlugin two("vtwopair.spi");
    EXPECT_EQ(two.plugin.SupportedNum(), 1);
    EXPECT_EQ(two.plugin.Extension(1), "*.vt2;*.vt3");
    EXPECT_EQ(two.plugin.FileType(1), "Velmora second picture");
    // Indices outside the list give its first element.
    EXPECT_EQ(two.plugin.Extension(5), "*.vtp");
    EXPECT_EQ(two.plugin.Extension(-1), "*.vtp");
    EXPECT_EQ(two.plugin.FileType(2), "Velmora test picture");
}

TEST(ClsPlugin, WhatAPluginTellsOfItselfIsBoundedInCountSizeAndTime)
{
    ScopedEnvironment limit("VELMORA_SPI_TIMEOUT_MS", "2000");
    PluginWarnings warnings;
    {
        // An endless pair list: the first 256 pairs are kept, and one
        // question more tells that the rest are ignored.
        CallLog calls;
        OnePlugin endless("vendless.spi");
        EXPECT_GE(endless.result, 1);
        EXPECT_EQ(endless.plugin.SupportedNum(), 255);
        EXPECT_EQ(endless.plugin.Extension(255), "*.e255");
        EXPECT_EQ(endless.plugin.FileType(255), "Endless picture 255");
        EXPECT_EQ(calls.Count("GetPluginInfo"), 2 + 2 * 256 + 1);
        EXPECT_TRUE(Said(warnings.Take(), {endless.path, "256"}));
    }
    {
        // Texts of 1 MB that fill the buffer without a NUL: each is cut.
        OnePlugin big("vbigtext.spi");
        EXPECT_GE(big.result, 1);
        ASSERT_EQ(big.plugin.SupportedNum(), 1);
        const QString texts[] = {big.plugin.AboutPlugin(), big.plugin.Extension(0), big.plugin.FileType(0),
                                 big.plugin.Extension(1), big.plugin.FileType(1)};
        for (int i = 0; i < 5; ++i) {
            EXPECT_LE(texts[i].toUtf8().size(), 1024) << i;
            EXPECT_TRUE(texts[i].startsWith(QString(200, QChar(u'b' + i)))) << i;
        }
    }
    {
        // 100 pairs at 100 ms an answer: the load ends with the call limit
        // of 2 s, and the plug-in with it. Each answer takes at least 100 ms,
        // so at most 21 questions fit in 2 s; the whole list is 203.
        CallLog calls;
        ProgramFolder program;
        ClsPlugin slow;
        const QString path = program.AddPlugin("vslow.spi");
        EXPECT_EQ(RaisedKind([&] { slow.Initialize(path); }), int(ErrorKind::PluginFailed));
        EXPECT_GE(calls.Count("GetPluginInfo"), 1);
        EXPECT_LE(calls.Count("GetPluginInfo"), 21);
    }
}

TEST(ClsPlugin, CheckFileGivesTheAnswerUnchanged)
{
    OnePlugin one("vtest.spi");
    const ProgramFolder& p = one.program;
    const std::pair<QString, int> rows[] = {
        {WriteVtp(p, "a.vtp", 4, 4, Qt::red, '1'), 1}, {WriteVtp(p, "b.vtp", 4, 4, Qt::red, '7'), 7},
        {p.WriteFile("c.vtp", "PNG not VTP"), 0},       {p.WriteFile("short.vtp", "V"), 0},
        {p.Path() + "/missing.vtp", 0},                 {p.MakeDir("folder.vtp"), 0},
    };
    for (const auto& [file, answer] : rows)
        EXPECT_EQ(one.plugin.CheckFile(file), answer) << file.toStdString();
}

TEST(ClsPlugin, DrawingFitsThePictureKeepsItsColoursAndFreesEveryBlock)
{
    OnePlugin one("vtest.spi");
    const struct {
        int w, h, depth, areaW, areaH;
        bool stretch;
        QPoint at;
        QRect box;
    } rows[] = {
        // Stretched: the longer side is fitted, small pictures grow.
        {100, 50, 24, 808, 600, true, {}, {4, 100, 800, 400}},
        {1000, 900, 24, 1024, 768, true, {}, {4, 0, 1016, 768}}, // 1016 x 914 at y -73
        {600, 800, 24, 1024, 768, true, {}, {228, 5, 568, 758}},
        {3, 3, 24, 100, 100, true, {}, {5, 5, 90, 90}}, // square: the height side
        // Unstretched: only ever reduced.
        {300, 200, 24, 808, 600, false, {}, {254, 200, 300, 200}},
        {1000, 700, 24, 808, 600, false, {}, {4, 20, 800, 560}},
        {1024, 768, 24, 1024, 768, false, {}, {7, 5, 1010, 758}},
        {1023, 767, 24, 1024, 768, false, {}, {0, 0, 1023, 767}},
        {1024, 767, 24, 1024, 768, false, {}, {4, 3, 1016, 761}}, // exactly as wide: the width step
        {1100, 100, 24, 1024, 768, false, {}, {4, 338, 1016, 92}}, // only the width step
        {10, 20, 8, 100, 100, false, {30, 50}, {75, 90, 10, 20}},  // at the area's corner
    };
    const QColor colour(10, 200, 30);
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.w << "x" << r.h << " in " << r.areaW << "x" << r.areaH);
        const QString file = WriteVtp(one.program, "p.vtp", r.w, r.h, colour, '1', r.depth);
        const Drawing d = Draw(one.plugin, file, r.areaW, r.areaH, r.stretch, r.at);
        EXPECT_EQ(d.code, 0);
        EXPECT_EQ(d.box, r.box);
        EXPECT_EQ(d.surface.pixelColor(r.box.center()), colour);
    }
    // A rectangle wholly outside the surface is clipped away, not refused.
    const Drawing outside = Draw(one.plugin, WriteVtp(one.program, "p.vtp", 10, 10), 100, 100, false, {5000, 0}, {100, 100});
    EXPECT_EQ(outside.code, 0);
    EXPECT_TRUE(outside.box.isNull());
    // The filter's own codes for broken data, passed on unchanged.
    EXPECT_EQ(Draw(one.plugin, WriteVtp(one.program, "p.vtp", 0, 5), 100, 100, false).code, 3);
    EXPECT_EQ(Draw(one.plugin, one.program.WriteFile("x.vtp", "not a picture"), 100, 100, false).code, 2);
    // Fit arithmetic that overflows raises; hostile blocks are refused. Every block is freed.
    const std::size_t before = LiveBlocks();
    const QString file = WriteVtp(one.program, "p.vtp", 4, 8);
    EXPECT_EQ(Draw(one.plugin, file, 100, INT32_MIN + 5, true, {}, {16, 16}).raised, int(ErrorKind::Overflow));
    EXPECT_EQ(Draw(one.plugin, file, 100, 1 << 30, true, {}, {16, 16}).raised, int(ErrorKind::Overflow));
    EXPECT_EQ(Draw(one.plugin, file, INT32_MIN, 100, false, {}, {16, 16}).raised, int(ErrorKind::Overflow));
    for (const char which : {'1', '2', '3', '4', '5'}) {
        const Drawing d = Draw(one.plugin, one.program.WriteFile("h.bad", QByteArray("BAD") + which), 64, 64, true);
        EXPECT_EQ(d.code, 3) << which;
        EXPECT_TRUE(d.box.isNull()) << which;
    }
    EXPECT_EQ(LiveBlocks(), before);
}

TEST(ClsPlugin, MissingExportAndFilesThatAreNoPluginRaise)
{
    OnePlugin one("vnoexport.spi");
    EXPECT_NE(Draw(one.plugin, WriteVtp(one.program, "p.vtn", 4, 4), 8, 8, false).raised, -1);
    ClsPlugin text, missing;
    EXPECT_NE(RaisedKind([&] { text.Initialize(one.program.WriteFile("Plugin/text.spi", "not a shared object")); }), -1);
    EXPECT_NE(RaisedKind([&] { missing.Initialize(one.program.Path() + "/Plugin/missing.spi"); }), -1);
}

// The bridge is opened once per process, so these run in a fresh one.
TEST(ClsPluginDeathTest, MissingOrWrongBridgeLibraryRaises)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto kindWithBridge = [](const QString& bridge) {
        ProgramFolder program;
        QFile::remove(program.Path() + "/libLoadPlugin.so");
        if (!bridge.isEmpty())
            QFile::copy(bridge, program.Path() + "/libLoadPlugin.so");
        ClsPlugin plugin;
        return RaisedKind([&] { plugin.Initialize(program.AddPlugin("vtest.spi")); });
    };
    EXPECT_EXIT(std::exit(kindWithBridge({})), testing::ExitedWithCode(int(ErrorKind::LibraryNotFound)), "");
    EXPECT_EXIT(std::exit(kindWithBridge(TestPluginDir() + "/nobridge.so")),
                testing::ExitedWithCode(int(ErrorKind::EntryPointNotFound)), "");
}
