#include "app/Settings.h"
#include "common/AppPaths.h"
#include "common/CodePage.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Settings;

TEST(Settings, WithoutAFileDefaultsApplyAndWritingCreatesMain)
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
    EXPECT_EQ(ReadTime(), "7");
    // An emptied interval is stored empty and read back as it is.
    WriteTime("");
    EXPECT_TRUE(program.ReadSettings().endsWith("\nTime=\n"));
    EXPECT_EQ(ReadTime(), "");
}

TEST(Settings, TimeValueRule)
{
    const std::pair<const char*, int> cases[] = {
        {"0", 4}, {"51", 4}, {"-3", 4}, {"word", 4}, {"", 4}, {"1e1x", 4}, {"4294967297", 4}, {"0.5", 4},
        {"50", 50}, {"1", 1}, {"  7 ", 7}, {"2.5", 2}, {"3.5", 4}, {"50.4", 50},
        {"50.5", 50}, // halves go to the even neighbour
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(TimeValueNumber(text), want) << '"' << text << '"';
}

TEST(Settings, StretchLeadingNumberRuleAndTheProgramNeverWritesIt)
{
    ProgramFolder program;
    const std::pair<const char*, bool> cases[] = {
        {"1", true}, {"-1", true}, {"0.5", true}, {"2abc", true}, {"&H10", true}, {"1e999", true}, {" 1 2", true},
        {"0", false}, {"0.0", false}, {"", false}, {"word", false}, {"&H0", false}, {"-0", false}};
    for (const auto& [value, on] : cases) {
        program.WriteSettings(QByteArray("[Main]\nStretch=") + value + "\n");
        EXPECT_EQ(ReadStretch(), on) << '"' << value << '"';
    }
    program.WriteSettings("[Main]\nDirPath=/x\n");
    WriteDirPath("/y");
    WriteTime("5");
    EXPECT_FALSE(program.ReadSettings().contains("Stretch"));
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

TEST(Settings, ValuesAreCutAt512BytesAndAtNulAndOddFolderNames)
{
    ProgramFolder program;
    program.WriteSettings("[Main]\nDirPath=/" + QByteArray(700, 'a') + "\nTime=5\0" "9\n");
    EXPECT_EQ(ReadDirPath(), "/" + QString(511, 'a'));
    EXPECT_EQ(ReadTime(), "5");

    // A name that is not UTF-8 is stored as its bytes.
    const QString odd = program.Path() + "/" + FromCodePage("caf\xE9");
    WriteDirPath(odd);
    EXPECT_TRUE(program.ReadSettings().contains("/caf\xE9\n"));
    EXPECT_EQ(ReadDirPath(), odd);
    // A name with a line break cannot be stored in one line: the old value stays.
    WriteDirPath(program.Path() + "/two\nlines");
    EXPECT_EQ(ReadDirPath(), odd);
}

TEST(Settings, AProgramFolderTheUserCannotWriteKeepsSettingsInTheUsersConfigFolder)
{
    ProgramFolder program;
    TempTree home;
    const QString config = home.MakeDir("config");
    ScopedEnvironment xdg("XDG_CONFIG_HOME", config);
    const QString file = config + "/velmora/SlideShow.ini";
    // As an installed program run by a user: root would write anywhere, so
    // a root test process drops to "nobody" in a child.
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(program.Path().toUtf8().constData(), 0555), 0);
    if (root) {
        ASSERT_EQ(::chmod(home.Path().toUtf8().constData(), 0755), 0);
        ASSERT_EQ(::chown(config.toUtf8().constData(), 65534, 65534), 0);
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(10);
        if (SettingsFilePath() != file)
            ::_exit(11);
        WriteTime("7");
        WriteDirPath("/srv/photos");
        ::_exit(ReadTime() == "7" && ReadDirPath() == "/srv/photos" ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(program.Path().toUtf8().constData(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no unprivileged user; 11: wrong path; 12: values lost";
    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), QByteArray("[Main]\nTime=7\nDirPath=/srv/photos\n"));
    EXPECT_FALSE(QFile::exists(program.Path() + "/SlideShow.ini"));
}
