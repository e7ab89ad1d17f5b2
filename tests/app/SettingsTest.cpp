#include "app/Settings.h"
#include "common/AppPaths.h"
#include "common/CodePage.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace Settings;

TEST(Settings, WithoutAFileDefaultsApplyAndClosingCreatesMain)
{
    ProgramFolder program;
    EXPECT_EQ(SettingsFilePath(), program.Path() + "/SlideShow.ini");
    EXPECT_EQ(ReadDirPath(), AppFolder());
    EXPECT_EQ(ReadTime(), "4");
    EXPECT_FALSE(ReadStretch());

    WriteDirPath(program.Path() + "/Pictures");
    WriteTime("7");
    EXPECT_EQ(program.ReadSettings(), QByteArray("[Main]\nDirPath=" + program.Path().toUtf8() + "/Pictures\nTime=7\n"));
    EXPECT_EQ(ReadDirPath(), program.Path() + "/Pictures");
    EXPECT_EQ(TimeValueNumber(ReadTime()), 7);
}

TEST(Settings, TimeValueRule)
{
    for (const char* bad : {"0", "51", "-3", "word", "", "1e1x", "4294967297"})
        EXPECT_EQ(TimeValueNumber(bad), 4) << bad;
    EXPECT_EQ(TimeValueNumber("50"), 50);
    EXPECT_EQ(TimeValueNumber("1"), 1);
    EXPECT_EQ(TimeValueNumber("  7 "), 7);
    EXPECT_EQ(TimeValueNumber("2.5"), 2);
    EXPECT_EQ(TimeValueNumber("3.5"), 4);
    EXPECT_EQ(TimeValueNumber("50.4"), 50);
    EXPECT_EQ(TimeValueNumber("50.5"), 50); // halves go to the even neighbour
    EXPECT_EQ(TimeValueNumber("0.5"), 4);
}

TEST(Settings, EmptiedIntervalIsStoredEmptyAndReadAsFour)
{
    ProgramFolder program;
    program.WriteSettings("[Main]\nTime=9\n");
    WriteTime("");
    EXPECT_EQ(program.ReadSettings(), QByteArray("[Main]\nTime=\n"));
    EXPECT_EQ(ReadTime(), "");
    EXPECT_EQ(TimeValueNumber(ReadTime()), 4);
}

TEST(Settings, StretchLeadingNumberRule)
{
    ProgramFolder program;
    const auto stretchWith = [&](const QByteArray& value) {
        program.WriteSettings("[Main]\nStretch=" + value + "\n");
        return ReadStretch();
    };
    for (const char* on : {"1", "-1", "0.5", "2abc", "&H10", "1e999", " 1 2"})
        EXPECT_TRUE(stretchWith(on)) << on;
    for (const char* off : {"0", "0.0", "", "word", "&H0", "-0"})
        EXPECT_FALSE(stretchWith(off)) << off;

    // The program never writes the key.
    program.WriteSettings("[Main]\nDirPath=/x\n");
    WriteDirPath("/y");
    WriteTime("5");
    EXPECT_FALSE(program.ReadSettings().contains("Stretch"));
    EXPECT_FALSE(ReadStretch());
}

TEST(Settings, WindowsFileKeepsItsOtherContentsAndLineEnding)
{
    ProgramFolder program;
    program.WriteSettings("; by hand\r\n[Other]\r\nTime=1\r\n[main]\r\nSTRETCH=1\r\ntime = 12 \r\n");
    EXPECT_EQ(ReadTime(), "12");
    EXPECT_TRUE(ReadStretch());
    WriteDirPath("/home/u/写真");
    WriteTime("3");
    EXPECT_EQ(program.ReadSettings(),
              QByteArray("; by hand\r\n[Other]\r\nTime=1\r\n[main]\r\nSTRETCH=1\r\ntime = 3\r\nDirPath=/home/u/写真\r\n"));
    EXPECT_EQ(ReadDirPath(), "/home/u/写真");
}

TEST(Settings, ValuesAreCutAt512BytesAndAtNul)
{
    ProgramFolder program;
    program.WriteSettings("[Main]\nDirPath=/" + QByteArray(700, 'a') + "\nTime=5\0" "9\n");
    EXPECT_EQ(ReadDirPath(), "/" + QString(511, 'a'));
    EXPECT_EQ(ReadTime(), "5");
}

TEST(Settings, FolderNamesThatAreNotUtf8OrHoldALineBreak)
{
    ProgramFolder program;
    const QString odd = program.Path() + "/" + FromCodePage("caf\xE9");
    WriteDirPath(odd);
    EXPECT_TRUE(program.ReadSettings().contains("/caf\xE9\n"));
    EXPECT_EQ(ReadDirPath(), odd);

    // A name with a line break cannot be stored in one line: the old value stays.
    WriteDirPath(program.Path() + "/two\nlines");
    EXPECT_EQ(ReadDirPath(), odd);
}
