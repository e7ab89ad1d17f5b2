#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QDir>
#include <QMainWindow>

#include "app/frmVersion.h"
#include "plugins/ClsPluginManager.h"
#include "support/TestSupport.h"

namespace {

QStringList Lines(const frmVersion& about)
{
    QStringList lines;
    for (int i = 0; i < about.List1->count(); ++i)
        lines.append(about.List1->item(i)->text());
    return lines;
}

} // namespace

TEST(AboutBox, ListsEachPluginByFileNameAndAboutText)
{
    ProgramFolder program;
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
        expected.append(name + " : " + manager.AboutPlugin(i));
    }
    EXPECT_EQ(Lines(about), expected);
    EXPECT_FALSE(manager.AboutPlugin(0).isEmpty());
}

TEST(AboutBox, EmptyWithoutPluginsAndScannedAnewAtEachOpening)
{
    ProgramFolder program;
    {
        frmVersion about(nullptr);
        EXPECT_EQ(about.List1->count(), 0);
    }
    QDir(program.PluginFolder()).removeRecursively();
    {
        frmVersion about(nullptr);
        EXPECT_EQ(about.List1->count(), 0);
    }
    program.MakeDir("Plugin");
    program.AddPlugin("ifqtimg.spi");
    frmVersion about(nullptr);
    ASSERT_EQ(about.List1->count(), 1);
    EXPECT_TRUE(about.List1->item(0)->text().startsWith("ifqtimg.spi : "));
}
