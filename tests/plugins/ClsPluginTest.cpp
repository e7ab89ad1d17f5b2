#include <gtest/gtest.h>

#include <dlfcn.h>

#include <QFile>

#include "common/RuntimeError.h"
#include "platform/LocalMemory.h"
#include "plugins/ClsPlugin.h"
#include "plugins/PluginBridge.h"
#include "PluginTestSupport.h"

namespace {

// A program folder holding one test filter, bound to a fresh ClsPlugin.
struct OnePlugin {
    explicit OnePlugin(const QString& builtName)
    {
        path = program.AddPlugin(builtName);
        result = plugin.Initialize(path);
    }
    ProgramFolder program;
    QString path;
    ClsPlugin plugin;
    std::int32_t result = 0;
};

struct Drawing {
    std::int32_t code;
    QRect box;
};

Drawing Draw(const ClsPlugin& plugin, const QString& file, int areaWidth, int areaHeight, bool stretch,
             int top = 0, int left = 0)
{
    QImage surface = BlackSurface(areaWidth, areaHeight);
    const HDC dc = CreateImageDC(&surface);
    SetStretchBltMode(dc, HALFTONE);
    std::int32_t code = 0;
    try {
        code = plugin.DrawPictureFile(file, dc, areaHeight, areaWidth, top, left, stretch);
    } catch (...) {
        EXPECT_EQ(GetStretchBltMode(dc), HALFTONE);
        DeleteDC(dc);
        throw;
    }
    EXPECT_EQ(GetStretchBltMode(dc), HALFTONE); // the caller's mode is put back
    DeleteDC(dc);
    return {code, DrawnBox(surface)};
}

// The bridge's count of local-memory blocks alive in this process; the
// plug-in's blocks reach the host there, wherever the plug-in runs. The host
// opens the bridge globally, so its functions are found by name.
std::size_t (*LiveBlocks())()
{
    return reinterpret_cast<std::size_t (*)()>(dlsym(RTLD_DEFAULT, "LoadPluginLiveBlocks"));
}

} // namespace

TEST(ClsPlugin, ReadsVersionAboutAndPairs)
{
    OnePlugin one("vtwopair.spi");
    EXPECT_GE(one.result, 1);
    EXPECT_EQ(one.plugin.PluginName(), one.path);
    EXPECT_EQ(one.plugin.APIVersion(), "00IN");
    EXPECT_EQ(one.plugin.AboutPlugin(), "Velmora two-pair filter");
    EXPECT_EQ(one.plugin.SupportedNum(), 1);
    EXPECT_EQ(one.plugin.Extension(0), "*.vtp");
    EXPECT_EQ(one.plugin.Extension(1), "*.vt2;*.vt3");
    EXPECT_EQ(one.plugin.FileType(1), "Velmora second picture");
    // Indices outside the list give its first element.
    EXPECT_EQ(one.plugin.Extension(5), "*.vtp");
    EXPECT_EQ(one.plugin.Extension(-1), "*.vtp");
    EXPECT_EQ(one.plugin.FileType(2), "Velmora test picture");
}

TEST(ClsPlugin, VersionTestIsCaseSensitiveAndEndsTheReading)
{
    OnePlugin archive("varchive.spi");
    EXPECT_EQ(archive.result, -1);
    EXPECT_EQ(archive.plugin.APIVersion(), "00AM");
    EXPECT_EQ(archive.plugin.AboutPlugin(), ""); // not read after a failed version
    EXPECT_THROW(archive.plugin.SupportedNum(), RuntimeError);

    OnePlugin lower("vlower.spi");
    EXPECT_EQ(lower.result, -1);

    OnePlugin exact("vnoexport.spi"); // version text exactly "IN"
    EXPECT_GE(exact.result, 1);
}

TEST(ClsPlugin, NoPairGivesZeroAndEmptyListsRaise)
{
    OnePlugin one("vnopair.spi");
    EXPECT_EQ(one.result, 0);
    EXPECT_EQ(one.plugin.AboutPlugin(), "Velmora empty filter");
    for (const auto& read : {+[](const ClsPlugin& p) { (void)p.SupportedNum(); },
                             +[](const ClsPlugin& p) { (void)p.Extension(0); },
                             +[](const ClsPlugin& p) { (void)p.FileType(0); }}) {
        try {
            read(one.plugin);
            ADD_FAILURE() << "no error raised";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::IndexOutOfRange);
        }
    }
}

TEST(ClsPlugin, BufferIsNeverClearedBetweenQueries)
{
    // Version and about text are not given; the description query writes
    // nothing, so the pattern stays in the buffer and becomes the description.
    OnePlugin one("vnodesc.spi");
    EXPECT_GE(one.result, 1);
    EXPECT_EQ(one.plugin.APIVersion(), "");
    EXPECT_EQ(one.plugin.AboutPlugin(), "");
    EXPECT_EQ(one.plugin.FileType(0), "*.vtx");
}

TEST(ClsPlugin, CheckFileGivesTheAnswerUnchanged)
{
    OnePlugin one("vtest.spi");
    EXPECT_EQ(one.plugin.CheckFile(WriteVtp(one.program, "a.vtp", 4, 4, Qt::red, '1')), 1);
    EXPECT_EQ(one.plugin.CheckFile(WriteVtp(one.program, "b.vtp", 4, 4, Qt::red, '7')), 7);
    EXPECT_EQ(one.plugin.CheckFile(one.program.WriteFile("c.vtp", "PNG not VTP")), 0);
    EXPECT_EQ(one.plugin.CheckFile(one.program.WriteFile("short.vtp", "V")), 0);
    EXPECT_EQ(one.plugin.CheckFile(one.program.Path() + "/missing.vtp"), 0);
    EXPECT_EQ(one.plugin.CheckFile(one.program.MakeDir("folder.vtp")), 0);
}

TEST(ClsPlugin, FitStretchedFollowsThePictureShape)
{
    OnePlugin one("vtest.spi");
    const auto fit = [&](int w, int h, int areaW, int areaH) {
        return Draw(one.plugin, WriteVtp(one.program, "p.vtp", w, h), areaW, areaH, true);
    };
    Drawing d = fit(100, 50, 808, 600);
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(d.box, QRect(4, 100, 800, 400));
    d = fit(1000, 900, 1024, 768); // 1016 x 914 at y -73: beyond the area's top and bottom
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(d.box, QRect(4, 0, 1016, 768));
    d = fit(600, 800, 1024, 768);
    EXPECT_EQ(d.box, QRect(228, 5, 568, 758));
    d = fit(3, 3, 100, 100); // square: the height side is fitted, small pictures grow
    EXPECT_EQ(d.box, QRect(5, 5, 90, 90));
}

TEST(ClsPlugin, FitUnstretchedOnlyReduces)
{
    OnePlugin one("vtest.spi");
    const auto fit = [&](int w, int h, int areaW, int areaH) {
        return Draw(one.plugin, WriteVtp(one.program, "p.vtp", w, h), areaW, areaH, false).box;
    };
    EXPECT_EQ(fit(300, 200, 808, 600), QRect(254, 200, 300, 200));
    EXPECT_EQ(fit(1000, 700, 808, 600), QRect(4, 20, 800, 560));
    EXPECT_EQ(fit(1024, 768, 1024, 768), QRect(7, 5, 1010, 758));
    EXPECT_EQ(fit(1023, 767, 1024, 768), QRect(0, 0, 1023, 767));
    EXPECT_EQ(fit(1100, 100, 1024, 768), QRect(4, 338, 1016, 92)); // only the width step
}

TEST(ClsPlugin, DrawsAtTheGivenCornerWithExactColours)
{
    OnePlugin one("vtest.spi");
    const QString file = WriteVtp(one.program, "p.vtp", 10, 20, QColor(10, 200, 30), '1', 8);
    QImage surface = BlackSurface(200, 200);
    const HDC dc = CreateImageDC(&surface);
    EXPECT_EQ(one.plugin.DrawPictureFile(file, dc, 100, 100, 50, 30, false), 0);
    DeleteDC(dc);
    EXPECT_EQ(DrawnBox(surface), QRect(30 + 45, 50 + 40, 10, 20));
    EXPECT_EQ(surface.pixel(80, 100), qRgb(10, 200, 30));
}

TEST(ClsPlugin, DecoderCodesAndEmptyDrawings)
{
    OnePlugin one("vtest.spi");
    // The filter's own code for broken data, passed on unchanged.
    EXPECT_EQ(Draw(one.plugin, WriteVtp(one.program, "p.vtp", 0, 5), 100, 100, false).code, 3);
    EXPECT_EQ(Draw(one.plugin, one.program.WriteFile("x.vtp", "not a picture"), 100, 100, false).code, 2);
    // A rectangle wholly outside the surface is clipped away, not refused.
    const Drawing outside =
        Draw(one.plugin, WriteVtp(one.program, "p.vtp", 10, 10), 100, 100, false, 0, 5000);
    EXPECT_EQ(outside.code, 0);
    EXPECT_TRUE(outside.box.isNull());
}

TEST(ClsPlugin, FitArithmeticErrorsReachTheCallerAndBlocksAreFreed)
{
    OnePlugin one("vtest.spi");
    const QString file = WriteVtp(one.program, "p.vtp", 4, 8);
    QImage surface = BlackSurface(16, 16);
    const HDC dc = CreateImageDC(&surface);
    const auto kindOf = [&](std::int32_t height, std::int32_t width, bool stretch) {
        try {
            one.plugin.DrawPictureFile(file, dc, height, width, 0, 0, stretch);
        } catch (const RuntimeError& e) {
            return e.Kind();
        }
        return ErrorKind::PluginFailed; // stands for "nothing raised"
    };
    const auto liveBlocks = LiveBlocks();
    ASSERT_NE(liveBlocks, nullptr);
    const std::size_t before = liveBlocks();
    EXPECT_EQ(kindOf(INT32_MIN + 5, 100, true), ErrorKind::Overflow);      // Heigth - 10
    EXPECT_EQ(kindOf(1 << 30, 100, true), ErrorKind::Overflow);             // W x (Heigth - 10)
    EXPECT_EQ(kindOf(100, INT32_MIN, false), ErrorKind::Overflow);         // Width - dW
    EXPECT_EQ(liveBlocks(), before); // every decoded block was freed
    DeleteDC(dc);
}

TEST(ClsPlugin, HostileBlocksAreRefusedAndFreed)
{
    OnePlugin one("vhostile.spi");
    ASSERT_GE(one.result, 1);
    const auto liveBlocks = LiveBlocks();
    ASSERT_NE(liveBlocks, nullptr);
    for (const char which : {'1', '2', '3', '4', '5'}) {
        const QString file = one.program.WriteFile("h.bad", QByteArray("BAD") + which);
        const std::size_t before = liveBlocks();
        const Drawing d = Draw(one.plugin, file, 64, 64, true);
        EXPECT_EQ(d.code, 3) << which;
        EXPECT_TRUE(d.box.isNull()) << which;
        EXPECT_EQ(liveBlocks(), before) << which; // both blocks freed
    }
}

TEST(ClsPlugin, MissingExportAndFilesThatAreNoPluginRaise)
{
    OnePlugin one("vnoexport.spi");
    const QString file = WriteVtp(one.program, "p.vtn", 4, 4);
    QImage surface = BlackSurface(8, 8);
    const HDC dc = CreateImageDC(&surface);
    EXPECT_THROW(one.plugin.DrawPictureFile(file, dc, 8, 8, 0, 0, false), RuntimeError);
    DeleteDC(dc);

    ClsPlugin text;
    EXPECT_THROW(text.Initialize(one.program.WriteFile("Plugin/text.spi", "not a shared object")), RuntimeError);
    ClsPlugin missing;
    EXPECT_THROW(missing.Initialize(one.program.Path() + "/Plugin/missing.spi"), RuntimeError);
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
        try {
            plugin.Initialize(program.AddPlugin("vtest.spi"));
        } catch (const RuntimeError& e) {
            return int(e.Kind());
        }
        return -1;
    };
    EXPECT_EXIT(std::exit(kindWithBridge(QString())), testing::ExitedWithCode(int(ErrorKind::LibraryNotFound)), "");
    EXPECT_EXIT(std::exit(kindWithBridge(TestPluginDir() + "/nobridge.so")),
                testing::ExitedWithCode(int(ErrorKind::EntryPointNotFound)), "");
}
