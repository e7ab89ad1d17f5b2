#include <gtest/gtest.h>

#include <QTimer>

#include "plugins/ClsPluginManager.h"
#include "PluginTestSupport.h"

namespace {

struct Drawn {
    std::int32_t code;
    QRect box;
};

Drawn Draw(ClsPluginManager& manager, const QString& file, const QString& kind, int w = 100, int h = 100)
{
    QImage surface = BlackSurface(w, h);
    const HDC dc = CreateImageDC(&surface);
    const std::int32_t code = manager.DrawPictureFile(file, dc, h, w, 0, 0, kind);
    DeleteDC(dc);
    return {code, DrawnBox(surface)};
}

} // namespace

TEST(ClsPluginManager, MissingOrEmptyFolderHasNoPlugin)
{
    ProgramFolder program;
    for (const QString& folder : {program.PluginFolder(), program.Path() + "/nowhere"}) {
        ClsPluginManager manager;
        EXPECT_EQ(manager.Initialize(folder), 0);
        EXPECT_EQ(manager.PluginCount(), -1);
        EXPECT_EQ(manager.SupportExtension(), "");
        const QString file = WriteVtp(program, "a.vtp", 4, 4);
        EXPECT_EQ(manager.CheckFile(file), "");
        EXPECT_TRUE(Draw(manager, file, "").box.isNull());
        EXPECT_EQ(manager.PluginName(0), "");
        EXPECT_EQ(manager.AboutPlugin(0), "");
    }
}

TEST(ClsPluginManager, ScanKeepsOnlyImportFiltersWithPairs)
{
    ProgramFolder program;
    program.AddPlugin("varchive.spi");
    program.AddPlugin("vlower.spi");
    program.AddPlugin("vnopair.spi");
    program.AddPlugin("vtest.spi", "VTEST.SPI"); // the pattern ignores case
    program.AddPlugin("vtwopair.spi", "two.Spi");
    program.AddPlugin("vtest.spi", "ignored.dll");
    program.MakeDir("Plugin/folder.spi");
    program.WriteFile("Plugin/text.spi", "not a shared object");

    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder() + "/"); // with or without the separator
    ASSERT_EQ(manager.PluginCount(), 1);
    QStringList names{manager.PluginName(0), manager.PluginName(1)};
    const int two = names.indexOf(program.PluginFolder() + "/two.Spi");
    ASSERT_NE(two, -1) << names.join(", ").toStdString();
    EXPECT_EQ(names[1 - two], program.PluginFolder() + "/VTEST.SPI");
    EXPECT_EQ(manager.APIVersion(two), "00IN");
    EXPECT_EQ(manager.AboutPlugin(two), "Velmora two-pair filter");
    for (const int bad : {2, 5, -1}) {
        EXPECT_EQ(manager.PluginName(bad), "");
        EXPECT_EQ(manager.APIVersion(bad), "");
        EXPECT_EQ(manager.AboutPlugin(bad), "");
    }
    // Every pattern of every plug-in, each followed by ";", in list and pair order.
    EXPECT_EQ(manager.SupportExtension(),
              two == 0 ? "*.vtp;*.vt2;*.vt3;*.vtp;" : "*.vtp;*.vtp;*.vt2;*.vt3;");
}

TEST(ClsPluginManager, ScanRunsTheEventLoopPerEntry)
{
    ProgramFolder program;
    program.AddPlugin("vtest.spi");
    program.WriteFile("Plugin/readme.txt", "x");
    int fired = 0;
    QTimer::singleShot(0, [&] { ++fired; });
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    EXPECT_EQ(fired, 1);
}

TEST(ClsPluginManager, CheckFileUsesTheAnswerMinusOne)
{
    ProgramFolder program;
    program.AddPlugin("vtwopair.spi");
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginCount(), 0);
    EXPECT_EQ(manager.CheckFile(WriteVtp(program, "a.vtp", 4, 4, Qt::red, '1')), "Velmora test picture");
    EXPECT_EQ(manager.CheckFile(WriteVtp(program, "b.vtp", 4, 4, Qt::red, '2')), "Velmora second picture");
    // An answer beyond the description list names the first description.
    EXPECT_EQ(manager.CheckFile(WriteVtp(program, "c.vtp", 4, 4, Qt::red, '9')), "Velmora test picture");
    EXPECT_EQ(manager.CheckFile(WriteVtp(program, "d.vtp", 4, 4, Qt::red, '0')), "");
}

TEST(ClsPluginManager, DrawingPluginIsChosenByExactDescription)
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
    Drawn d = Draw(manager, refused, "Velmora test picture");
    EXPECT_EQ(d.code, 0);
    EXPECT_EQ(d.box, QRect(45, 45, 10, 10));
    d = Draw(manager, refused, "VELMORA TEST PICTURE");
    EXPECT_EQ(d.box, QRect(45, 45, 10, 10));
    // Letter case counts; the empty kind of a refused file matches nothing.
    EXPECT_TRUE(Draw(manager, refused, "velmora test picture").box.isNull());
    EXPECT_TRUE(Draw(manager, refused, "").box.isNull());
}

TEST(ClsPluginManager, EmptyKindFindsTheAcceptingPluginAndStretchIsPassedOn)
{
    ProgramFolder program;
    program.AddPlugin("vtest.spi");
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    EXPECT_FALSE(manager.Stretch());
    const QString file = WriteVtp(program, "a.vtp", 10, 5, Qt::blue);
    EXPECT_EQ(Draw(manager, file, "").box, QRect(45, 47, 10, 5));
    manager.SetStretch(true);
    EXPECT_TRUE(manager.Stretch());
    EXPECT_EQ(Draw(manager, file, "", 108, 100).box, QRect(4, 50 - 25, 100, 50));
}

TEST(ClsPluginManager, HostilePluginDrawsNothing)
{
    ProgramFolder program;
    program.AddPlugin("vhostile.spi");
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    const QString file = program.WriteFile("x.bad", "BAD2");
    EXPECT_EQ(manager.CheckFile(file), "Hostile picture");
    const Drawn d = Draw(manager, file, "");
    EXPECT_EQ(d.code, 3);
    EXPECT_TRUE(d.box.isNull());
}
