#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QScrollBar>
#include <QTest>

#include "app/Form1.h"
#include "app/frmVersion.h"
#include "pluginhost/ClsPluginManager.h"
#include "pluginhost/PluginTestSupport.h"
#include "support/TestSupport.h"

TEST(AboutBox, ListsEachPluginByFileNameAndAboutTextScannedAnewAtEachOpening)
{
    ProgramFolder program;
    for (const bool folder : {true, false}) { // an empty Plugin folder, then none
        if (!folder)
            QDir(program.PluginFolder()).removeRecursively();
        EXPECT_EQ(frmVersion(nullptr).List1->count(), 0) << folder;
    }
    program.MakeDir("Plugin");
    program.AddPlugin("ifheif.spi");
    program.AddPlugin("ifqtimg.spi");
    program.WriteFile("Plugin/readme.txt", "not a plug-in");
    QMainWindow owner;
    owner.setWindowIcon(QIcon(QPixmap(32, 32)));
    frmVersion about(&owner);
    EXPECT_EQ(about.windowTitle(), QStringLiteral("バージョン情報"));
    EXPECT_EQ(about.Label1->text(), QStringLiteral("Velmora\u3000Ver1.10"));
    EXPECT_DOUBLE_EQ(about.Label1->font().pointSizeF(), 21.75);
    EXPECT_EQ(about.windowIcon().cacheKey(), owner.windowIcon().cacheKey());

    // The manager's order, which is the folder's own.
    ClsPluginManager manager;
    manager.Initialize(program.PluginFolder());
    ASSERT_EQ(manager.PluginCount(), 1);
    QStringList expected;
    for (int i = 0; i <= 1; ++i) {
        const QString name = manager.PluginName(i).section(u'/', -1);
        EXPECT_TRUE(name == "ifheif.spi" || name == "ifqtimg.spi");
        EXPECT_FALSE(manager.AboutPlugin(i).isEmpty());
        expected.append(name + " : " + manager.AboutPlugin(i));
    }
    ASSERT_EQ(about.List1->count(), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(about.List1->item(i)->text(), expected.value(i));
}

// Named with the wine that runs them unless that is Debian's (here found
// through its wrapper /usr/bin/wine on PATH, as on a Debian system).
TEST(AboutBox, ListsWindowsPluginsLikeTheOthersNamingAnyWineButDebians)
{
    SKIP_WITHOUT_WINDOWS_PLUGINS(true);
    ProgramFolder program;
    program.AddPlugin("wtest.sph");
    TempTree tree;
    for (const QString loader : {"wine", "wine64"})
        WrapWine(tree, "opt/wine-stable/bin/" + loader, loader);
    for (const bool debians : {true, false}) {
        const ScopedEnvironment wine("VELMORA_WINE", debians ? QString() : tree.Path() + "/opt/wine-stable");
        frmVersion about(nullptr);
        ASSERT_EQ(about.List1->count(), 1);
        EXPECT_EQ(about.List1->item(0)->text(),
                  QString::fromUtf8("wtest.sph : Velmora テスト用フィルタ") +
                      (debians ? QString() : " (wine: " + tree.Path() + "/opt/wine-stable)"));
    }
}

TEST(AboutBox, ListsTheUsersPluginsAfterTheProgramsOwn)
{
    ProgramFolder program;
    TempTree user;
    ScopedEnvironment xdg("XDG_DATA_HOME", user.Path());
    program.AddPlugin("ifqtimg.spi");
    QFile::copy(program.AddPlugin("ifheif.spi", "mine.spi"), user.MakeDir("velmora/Plugin") + "/mine.spi");
    QFile::remove(program.PluginFolder() + "/mine.spi");
    frmVersion about(nullptr);
    ASSERT_EQ(about.List1->count(), 2);
    EXPECT_TRUE(about.List1->item(0)->text().startsWith("ifqtimg.spi : "));
    EXPECT_TRUE(about.List1->item(1)->text().startsWith("mine.spi : "));
}

TEST(AboutBox, ListsArchivePluginsAfterTheImportFiltersWhenArchivesAreShown)
{
    ProgramFolder program;
    program.AddPlugin("axtest.spi", "ax0.spi");
    program.AddPlugin("ifqtimg.spi");
    for (const bool archives : {false, true}) {
        frmVersion about(nullptr, archives);
        ASSERT_EQ(about.List1->count(), archives ? 2 : 1);
        EXPECT_TRUE(about.List1->item(0)->text().startsWith("ifqtimg.spi : "));
        if (archives) {
            EXPECT_EQ(about.List1->item(1)->text(), "ax0.spi : Velmora test archive");
        }
    }
}

// Long about texts wrap inside the list, which keeps off the window's edges,
// and neither fixed-size window offers to maximize.
TEST(AboutBox, LongTextsWrapWithinTheWindowAndNoWindowMaximizes)
{
    ProgramFolder program;
    program.AddPlugin("ifheif.spi");
    program.AddPlugin("ifqtimg.spi");
    frmVersion about(nullptr);
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    EXPECT_GT(about.Label1->x(), 0);
    EXPECT_GT(about.List1->x(), 0);
    EXPECT_LT(about.List1->geometry().right(), about.width() - 1);
    for (int i = 0; i < about.List1->count(); ++i) {
        const QRect line = about.List1->visualItemRect(about.List1->item(i));
        EXPECT_LE(line.right(), about.List1->viewport()->width()) << about.List1->item(i)->text().toStdString();
    }
    EXPECT_FALSE(about.List1->horizontalScrollBar()->isVisible());
    EXPECT_FALSE(about.windowFlags() & Qt::WindowMaximizeButtonHint);
    Form1 window;
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
}
