#include "platform/ProfileFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <random>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Get(const QString& file, const char* section, const char* key, const char* def = "DEF",
                std::uint32_t size = 513)
{
    std::string buf(size + 8, 'x');
    const std::uint32_t n = GetPrivateProfileStringA(section, key, def, buf.data(), size, file.toUtf8().constData());
    const std::string value(buf.c_str());
    EXPECT_EQ(n, value.size());
    return value;
}

bool Put(const QString& file, const char* section, const char* key, const char* value)
{
    return WritePrivateProfileStringA(section, key, value, file.toUtf8().constData()) != 0;
}

QByteArray Contents(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

QStringList Entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

const QByteArray kWindowsFile =
    "; Written by another program\r\n"
    "[Other]\r\n"
    "Time=99\r\n"
    "\r\n"
    "[Main]\r\n"
    "DirPath=C:\\Pictures\r\n"
    "; interval in seconds\r\n"
    "Time=5\r\n"
    "\r\n"
    "[Last]\r\n"
    "Key=Value\r\n";

} // namespace

TEST(ProfileRead, MissingFileSectionOrKeyGivesDefault)
{
    TempTree t;
    const QString file = t.Path() + "/a.ini";
    EXPECT_EQ(Get(file, "Main", "Time", "4"), "4");
    t.WriteFile("a.ini", "[Main]\nDirPath=/x\n[Other]\nTime=9\n");
    EXPECT_EQ(Get(file, "Main", "Time", "4"), "4");
    EXPECT_EQ(Get(file, "Missing", "DirPath", "d"), "d");
    EXPECT_EQ(Get(file, "Main", "Time", nullptr), "");
    EXPECT_EQ(Get(file, "Main", "DirPath"), "/x");
}

TEST(ProfileRead, NamesMatchCaseInsensitivelyAndBlanksAreDropped)
{
    TempTree t;
    const QString file = t.WriteFile("a.ini",
                                     "  [ mAIN ]  ; trailing text\n"
                                     "\tdirpath \t=  /home/a b  \n"
                                     "  TIME=7\n"
                                     "Quoted=\"x y\"\n"
                                     "Empty=\n"
                                     "Inline=5 ; not a comment\n");
    EXPECT_EQ(Get(file, "Main", "DirPath"), "/home/a b");
    EXPECT_EQ(Get(file, "main", "time"), "7");
    EXPECT_EQ(Get(file, "Main", " Time "), "7");
    EXPECT_EQ(Get(file, "Main", "Quoted"), "\"x y\""); // quotes are part of the value
    EXPECT_EQ(Get(file, "Main", "Empty"), "");
    EXPECT_EQ(Get(file, "Main", "Inline"), "5 ; not a comment");
}

TEST(ProfileRead, CommentsBareLinesAndDuplicates)
{
    TempTree t;
    const QString file = t.WriteFile("a.ini",
                                     "[Main]\n"
                                     ";Time=1\n"
                                     "Stretch\n"
                                     "[Broken\n"
                                     "Time=2\n"
                                     "Time=3\n"
                                     "[Main]\n"
                                     "DirPath=/second\n");
    EXPECT_EQ(Get(file, "Main", ";Time"), "DEF");
    EXPECT_EQ(Get(file, "Main", "Stretch"), "DEF");
    EXPECT_EQ(Get(file, "Main", "Time"), "2");         // first key wins
    EXPECT_EQ(Get(file, "Main", "DirPath"), "DEF");    // only the first section counts
}

TEST(ProfileRead, CrLfAndByteOrderMarkAreRead)
{
    TempTree t;
    const QString file = t.WriteFile("a.ini", "\xEF\xBB\xBF" + kWindowsFile);
    EXPECT_EQ(Get(file, "Main", "Time"), "5");
    EXPECT_EQ(Get(file, "Main", "DirPath"), "C:\\Pictures");
    EXPECT_EQ(Get(file, "Last", "Key"), "Value");
    const QString noBreak = t.WriteFile("b.ini", "[Main]\r\nTime=6");
    EXPECT_EQ(Get(noBreak, "Main", "Time"), "6");
}

TEST(ProfileRead, BufferCutsValueAndDefault)
{
    TempTree t;
    const QString file = t.WriteFile("a.ini", "[Main]\nDirPath=" + QByteArray(600, 'a') + "\n");
    EXPECT_EQ(Get(file, "Main", "DirPath"), std::string(512, 'a'));
    EXPECT_EQ(Get(file, "Main", "DirPath", "", 4), "aaa");
    EXPECT_EQ(Get(file, "Main", "Nope", "default", 5), "defa");
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(GetPrivateProfileStringA("Main", "DirPath", "", buf, 0, file.toUtf8().constData()), 0u);
    EXPECT_EQ(buf[0], 'x');
}

TEST(ProfileWrite, WindowsFileKeepsEverythingElse)
{
    TempTree t;
    const QString file = t.WriteFile("a.ini", kWindowsFile);
    ASSERT_TRUE(Put(file, "Main", "DirPath", "/home/u/Pictures"));
    ASSERT_TRUE(Put(file, "MAIN", "time", "12"));
    ASSERT_TRUE(Put(file, "Main", "Stretch", "1"));
    EXPECT_EQ(Contents(file), QByteArray("; Written by another program\r\n"
                                         "[Other]\r\n"
                                         "Time=99\r\n"
                                         "\r\n"
                                         "[Main]\r\n"
                                         "DirPath=/home/u/Pictures\r\n"
                                         "; interval in seconds\r\n"
                                         "Time=12\r\n"
                                         "Stretch=1\r\n"
                                         "\r\n"
                                         "[Last]\r\n"
                                         "Key=Value\r\n"));
    EXPECT_EQ(Entries(t.Path()), QStringList{"a.ini"}); // no temporary file left behind
}

TEST(ProfileWrite, LfFileKeepsLfAndKeySpelling)
{
    TempTree t;
    const QString file = t.WriteFile("a.ini", "[main]\n  time =  5  \nx=1");
    ASSERT_TRUE(Put(file, "Main", "Time", "7"));
    ASSERT_TRUE(Put(file, "Main", "DirPath", "/d"));
    ASSERT_TRUE(Put(file, "New", "K", ""));
    EXPECT_EQ(Contents(file), QByteArray("[main]\n  time =  7\nx=1\nDirPath=/d\n[New]\nK=\n"));
    EXPECT_EQ(Get(file, "New", "K"), "");
}

TEST(ProfileWrite, MissingFileIsCreatedWithTheSection)
{
    TempTree t;
    const QString file = t.Path() + "/new.ini";
    ASSERT_TRUE(Put(file, "Main", "DirPath", "/p"));
    ASSERT_TRUE(Put(file, "Main", "Time", "4"));
    EXPECT_EQ(Contents(file), QByteArray("[Main]\nDirPath=/p\nTime=4\n"));
    struct stat st {};
    ASSERT_EQ(stat(file.toUtf8().constData(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(ProfileWrite, ByteOrderMarkAndFileModeAreKept)
{
    TempTree t;
    const QString file = t.WriteFile("a.ini", "\xEF\xBB\xBF[Main]\r\nTime=3\r\n");
    ASSERT_EQ(chmod(file.toUtf8().constData(), 0640), 0);
    ASSERT_TRUE(Put(file, "Main", "Time", "8"));
    EXPECT_EQ(Contents(file), QByteArray("\xEF\xBB\xBF[Main]\r\nTime=8\r\n"));
    struct stat st {};
    ASSERT_EQ(stat(file.toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(ProfileWrite, RemovesKeyOrSection)
{
    TempTree t;
    const QString file = t.WriteFile("a.ini", "[A]\nx=1\ny=2\n[B]\nz=3\n[C]\n");
    ASSERT_TRUE(Put(file, "A", "x", nullptr));
    ASSERT_TRUE(Put(file, "b", nullptr, nullptr));
    ASSERT_TRUE(Put(file, "A", "missing", nullptr));
    EXPECT_EQ(Contents(file), QByteArray("[A]\ny=2\n[C]\n"));
}

TEST(ProfileWrite, UnstorableTextIsRefusedAndFileUntouched)
{
    TempTree t;
    const QByteArray before = "[Main]\nDirPath=/old\n";
    const QString file = t.WriteFile("a.ini", before);
    EXPECT_FALSE(Put(file, "Main", "DirPath", "/new\nTime=1"));
    EXPECT_FALSE(Put(file, "Main", "DirPath", "/new\r"));
    EXPECT_FALSE(Put(file, "Main", "Dir=Path", "x"));
    EXPECT_FALSE(Put(file, "Main", ";c", "x"));
    EXPECT_FALSE(Put(file, "Main", "", "x"));
    EXPECT_FALSE(Put(file, "Ma]in", "k", "x"));
    EXPECT_FALSE(Put(file, "Ma\nin", "k", "x"));
    EXPECT_EQ(Contents(file), before);
    EXPECT_EQ(Get(file, "Main", "DirPath"), "/old");
}

TEST(ProfileRobustness, BinaryGarbageIsReadAndKept)
{
    TempTree t;
    QByteArray garbage(4096, '\0');
    std::mt19937 rng(7);
    for (auto& c : garbage)
        c = char(rng());
    const QString file = t.WriteFile("a.ini", garbage);
    EXPECT_EQ(Get(file, "Main", "Time", "4"), "4");
    ASSERT_TRUE(Put(file, "Main", "Time", "9"));
    const QByteArray after = Contents(file);
    EXPECT_TRUE(after.startsWith(garbage));
    EXPECT_EQ(Get(file, "Main", "Time"), "9");
}

TEST(ProfileRobustness, HugeFile)
{
    TempTree t;
    QByteArray big(100 * 1024 * 1024, 'g');
    for (qsizetype i = 1000; i < big.size(); i += 1000)
        big[i] = '\n';
    big += "\n[Main]\nTime=7\n";
    const QString file = t.WriteFile("big.ini", big);
    EXPECT_EQ(Get(file, "Main", "Time"), "7");
    ASSERT_TRUE(Put(file, "Main", "Time", "8"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.size(), big.size());
    const QByteArray head = f.read(1 << 20);
    EXPECT_EQ(head, big.left(1 << 20));
    f.seek(f.size() - 16);
    EXPECT_EQ(f.readAll(), QByteArray("\n[Main]\nTime=8\n").right(16).prepend(big.at(big.size() - 17)));
}

TEST(ProfileRobustness, FolderInsteadOfFile)
{
    TempTree t;
    const QString dir = t.MakeDir("SlideShow.ini");
    EXPECT_EQ(Get(dir, "Main", "Time", "4"), "4");
    EXPECT_FALSE(Put(dir, "Main", "Time", "5"));
    EXPECT_TRUE(QFileInfo(dir).isDir());
    EXPECT_EQ(Entries(t.Path()), QStringList{"SlideShow.ini"});
}

TEST(ProfileRobustness, SymlinkIsWrittenThroughAndKept)
{
    TempTree t;
    const QString target = t.WriteFile("real/a.ini", "[Main]\nTime=3\n");
    const QString link = t.Path() + "/link.ini";
    ASSERT_EQ(symlink("real/a.ini", link.toUtf8().constData()), 0);
    EXPECT_EQ(Get(link, "Main", "Time"), "3");
    ASSERT_TRUE(Put(link, "Main", "Time", "6"));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(Contents(target), QByteArray("[Main]\nTime=6\n"));

    // A dangling link: its target is created, the link stays.
    const QString dangling = t.Path() + "/dangling.ini";
    ASSERT_EQ(symlink("real/created.ini", dangling.toUtf8().constData()), 0);
    ASSERT_TRUE(Put(dangling, "Main", "Time", "2"));
    EXPECT_TRUE(QFileInfo(dangling).isSymLink());
    EXPECT_EQ(Contents(t.Path() + "/real/created.ini"), QByteArray("[Main]\nTime=2\n"));

    // A loop of links is refused.
    const QString loop = t.Path() + "/loop.ini";
    ASSERT_EQ(symlink("loop.ini", loop.toUtf8().constData()), 0);
    EXPECT_EQ(Get(loop, "Main", "Time", "4"), "4");
    EXPECT_FALSE(Put(loop, "Main", "Time", "5"));
}

TEST(ProfileRobustness, FolderThatIsAFileFailsWithoutTrace)
{
    TempTree t;
    const QString notADir = t.WriteFile("plain", "data");
    EXPECT_FALSE(Put(notADir + "/SlideShow.ini", "Main", "Time", "5"));
    EXPECT_EQ(Contents(notADir), QByteArray("data"));
    EXPECT_EQ(Get(notADir + "/SlideShow.ini", "Main", "Time", "4"), "4");
}

TEST(ProfileRobustness, FailedWriteLeavesOldFileIntact)
{
    // A file-size limit makes the temporary file's write fail half-way, as a
    // full disk would; this stops root as well as anyone.
    TempTree t;
    const QByteArray before = "[Main]\nDirPath=/old\nTime=5\n";
    const QString file = t.WriteFile("a.ini", before);
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = Put(file, "Main", "DirPath", std::string(200, 'n').c_str());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(Contents(file), before);
    EXPECT_EQ(Entries(t.Path()), QStringList{"a.ini"});
}

TEST(ProfileRobustness, ReadOnlyFileAndFolderAreLeftAlone)
{
    TempTree t;
    const QByteArray before = "[Main]\nTime=5\n";
    const QString file = t.WriteFile("ro/a.ini", before);
    ASSERT_EQ(chmod(file.toUtf8().constData(), 0444), 0);
    EXPECT_FALSE(Put(file, "Main", "Time", "6"));
    EXPECT_EQ(Contents(file), before);
    EXPECT_EQ(Entries(t.Path() + "/ro"), QStringList{"a.ini"});
    ASSERT_EQ(chmod(file.toUtf8().constData(), 0644), 0);
    if (geteuid() == 0)
        return; // root may write into any folder
    ASSERT_EQ(chmod((t.Path() + "/ro").toUtf8().constData(), 0555), 0);
    EXPECT_FALSE(Put(file, "Main", "Time", "6"));
    EXPECT_EQ(Contents(file), before);
    chmod((t.Path() + "/ro").toUtf8().constData(), 0755);
}
