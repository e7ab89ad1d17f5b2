#include "platform/ProfileFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <csignal>
#include <random>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Get(const QString& file, const char* section, const char* key, const char* def = "DEF",
                std::uint32_t size = 513)
{
    std::string buf(size + 8, 'x');
    const std::uint32_t n = GetPrivateProfileStringA(section, key, def, buf.data(), size, file.toUtf8().constData());
    EXPECT_EQ(n, std::string(buf.c_str()).size());
    return buf.c_str();
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

const QByteArray kWindowsFile = "; Written by another program\r\n[Other]\r\nTime=99\r\n\r\n"
                                "[Main]\r\nDirPath=C:\\Pictures\r\n; interval in seconds\r\nTime=5\r\n\r\n"
                                "[Last]\r\nKey=Value\r\n";

} // namespace

TEST(ProfileRead, NamesBlanksCommentsDuplicatesAndLineEnds)
{
    TempTree t;
    const QString a = t.WriteFile("a.ini", "  [ mAIN ]  ; trailing text\n"
                                           "\tdirpath \t=  /home/a b  \n  TIME=7\nQuoted=\"x y\"\nEmpty=\n"
                                           "Inline=5 ; not a comment\n;Comment=1\nStretch\n[Broken\nDup=2\nDup=3\n"
                                           "[Other]\nOnly=9\n[Main]\nSecond=/s\n");
    const QString win = t.WriteFile("win.ini", "\xEF\xBB\xBF" + kWindowsFile);
    const QString noBreak = t.WriteFile("b.ini", "[Main]\r\nTime=6");
    const QString missing = t.Path() + "/missing.ini";
    const struct { const QString& file; const char* section; const char* key; const char* want; } rows[] = {
        {a, "Main", "DirPath", "/home/a b"}, {a, "main", "time", "7"}, {a, "Main", " Time ", "7"},
        {a, "Main", "Quoted", "\"x y\""} /* quotes are part of the value */, {a, "Main", "Empty", ""},
        {a, "Main", "Inline", "5 ; not a comment"}, {a, "Main", ";Comment", "DEF"}, {a, "Main", "Stretch", "DEF"},
        {a, "Main", "Dup", "2"} /* first key wins */, {a, "Main", "Second", "DEF"} /* only the first section */,
        {a, "Main", "Only", "DEF"}, {a, "Missing", "DirPath", "DEF"}, {a, "Other", "Only", "9"},
        {win, "Main", "Time", "5"}, {win, "Main", "DirPath", "C:\\Pictures"}, {win, "Last", "Key", "Value"},
        {noBreak, "Main", "Time", "6"}, {missing, "Main", "Time", "DEF"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Get(r.file, r.section, r.key), r.want) << r.file.toStdString() << " " << r.section << "/" << r.key;
    EXPECT_EQ(Get(a, "Main", "Nope", nullptr), "");

    const QString longValue = t.WriteFile("c.ini", "[Main]\nDirPath=" + QByteArray(600, 'a') + "\n");
    EXPECT_EQ(Get(longValue, "Main", "DirPath"), std::string(512, 'a'));
    EXPECT_EQ(Get(longValue, "Main", "DirPath", "", 4), "aaa");
    EXPECT_EQ(Get(longValue, "Main", "Nope", "default", 5), "defa");
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(GetPrivateProfileStringA("Main", "DirPath", "", buf, 0, longValue.toUtf8().constData()), 0u);
    EXPECT_EQ(buf[0], 'x');
}

TEST(ProfileWrite, KeepsOtherLinesLineEndsSpellingAndFileMode)
{
    QByteArray windowsAfter = kWindowsFile;
    windowsAfter.replace("C:\\Pictures", "/home/u/Pictures").replace("Time=5\r\n", "Time=12\r\nStretch=1\r\n");
    const mode_t mask = umask(0);
    umask(mask);
    const struct {
        const char* before; // nullptr: no file yet
        std::vector<std::array<const char*, 3>> puts;
        QByteArray after;
    } rows[] = {
        {kWindowsFile.constData(), {{"Main", "DirPath", "/home/u/Pictures"}, {"MAIN", "time", "12"}, {"Main", "Stretch", "1"}},
         windowsAfter},
        {"[main]\n  time =  5  \nx=1", {{"Main", "Time", "7"}, {"Main", "DirPath", "/d"}, {"New", "K", ""}},
         "[main]\n  time =  7\nx=1\nDirPath=/d\n[New]\nK=\n"},
        {"\xEF\xBB\xBF[Main]\r\nTime=3\r\n", {{"Main", "Time", "8"}}, "\xEF\xBB\xBF[Main]\r\nTime=8\r\n"},
        {"[A]\nx=1\ny=2\n[B]\nz=3\n[C]\n", {{"A", "x", nullptr}, {"b", nullptr, nullptr}, {"A", "missing", nullptr}},
         "[A]\ny=2\n[C]\n"},
        {nullptr, {{"Main", "DirPath", "/p"}, {"Main", "Time", "4"}}, "[Main]\nDirPath=/p\nTime=4\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.after.toStdString());
        TempTree t;
        const QString file = r.before ? t.WriteFile("a.ini", r.before) : t.Path() + "/a.ini";
        if (r.before) {
            ASSERT_EQ(chmod(file.toUtf8().constData(), 0640), 0);
        }
        for (const auto& [section, key, value] : r.puts)
            ASSERT_TRUE(Put(file, section, key, value)) << section;
        EXPECT_EQ(Contents(file), r.after);
        EXPECT_EQ(Entries(t.Path()), QStringList{"a.ini"}); // no temporary file left behind
        struct stat st {};
        ASSERT_EQ(stat(file.toUtf8().constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, r.before ? 0640u : 0666u & ~mask);
    }
}

TEST(ProfileWrite, RefusedWritesLeaveEverythingAsItWas)
{
    TempTree t;
    const QByteArray before = "[Main]\nDirPath=/old\n";
    const QString file = t.WriteFile("a.ini", before), ro = t.WriteFile("ro/a.ini", before);
    const QString dir = t.MakeDir("SlideShow.ini"), plain = t.WriteFile("plain", "data");
    const QString loop = t.Path() + "/loop.ini";
    ASSERT_EQ(symlink("loop.ini", loop.toUtf8().constData()), 0);
    ASSERT_EQ(chmod(ro.toUtf8().constData(), 0444), 0);
    const struct { const QString& file; const char* section; const char* key; const char* value; } rows[] = {
        {file, "Main", "DirPath", "/new\nTime=1"}, {file, "Main", "DirPath", "/new\r"}, {file, "Main", "Dir=Path", "x"},
        {file, "Main", ";c", "x"}, {file, "Main", "", "x"}, {file, "Ma]in", "k", "x"}, {file, "Ma\nin", "k", "x"},
        {dir, "Main", "Time", "5"}, {plain + "/SlideShow.ini", "Main", "Time", "5"}, {loop, "Main", "Time", "5"},
        {ro, "Main", "Time", "6"},
    };
    for (const auto& r : rows) {
        EXPECT_FALSE(Put(r.file, r.section, r.key, r.value)) << r.file.toStdString() << " " << r.key;
        EXPECT_EQ(Get(r.file, "Main", "Time"), "DEF") << r.file.toStdString();
    }
    ASSERT_EQ(chmod(ro.toUtf8().constData(), 0644), 0);
    if (geteuid() != 0) { // root may write into any folder
        ASSERT_EQ(chmod((t.Path() + "/ro").toUtf8().constData(), 0555), 0);
        EXPECT_FALSE(Put(ro, "Main", "Time", "6"));
        chmod((t.Path() + "/ro").toUtf8().constData(), 0755);
    }
    EXPECT_EQ(Contents(file), before);
    EXPECT_EQ(Contents(ro), before);
    EXPECT_EQ(Contents(plain), "data");
    EXPECT_TRUE(QFileInfo(dir).isDir());
    const QStringList entries{"a.ini", "loop.ini", "plain", "ro", "SlideShow.ini"};
    EXPECT_EQ(Entries(t.Path()), entries);
    EXPECT_EQ(Entries(t.Path() + "/ro"), QStringList{"a.ini"});

    // A file-size limit makes the temporary file's write fail half-way, as a
    // full disk would; this stops root as well as anyone.
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
    EXPECT_EQ(Entries(t.Path()), entries);
}

TEST(ProfileRobustness, GarbageHugeFilesAndSymlinks)
{
    TempTree t;
    QByteArray garbage(4096, '\0');
    std::mt19937 rng(7);
    for (auto& c : garbage)
        c = char(rng());
    const QString file = t.WriteFile("a.ini", garbage);
    EXPECT_EQ(Get(file, "Main", "Time"), "DEF");
    ASSERT_TRUE(Put(file, "Main", "Time", "9"));
    EXPECT_TRUE(Contents(file).startsWith(garbage));
    EXPECT_EQ(Get(file, "Main", "Time"), "9");

    QByteArray big(100 * 1024 * 1024, 'g');
    for (qsizetype i = 1000; i < big.size(); i += 1000)
        big[i] = '\n';
    big += "\n[Main]\nTime=7\n";
    const QString bigFile = t.WriteFile("big.ini", big);
    EXPECT_EQ(Get(bigFile, "Main", "Time"), "7");
    ASSERT_TRUE(Put(bigFile, "Main", "Time", "8"));
    big[big.size() - 2] = '8';
    EXPECT_TRUE(Contents(bigFile) == big); // not EXPECT_EQ: no 100 MB failure message

    // Links are written through and stay links; a dangling link's target is created.
    const QString target = t.WriteFile("real/a.ini", "[Main]\nTime=3\n");
    const QString link = t.Path() + "/link.ini", dangling = t.Path() + "/dangling.ini";
    ASSERT_EQ(symlink("real/a.ini", link.toUtf8().constData()), 0);
    ASSERT_EQ(symlink("real/created.ini", dangling.toUtf8().constData()), 0);
    EXPECT_EQ(Get(link, "Main", "Time"), "3");
    ASSERT_TRUE(Put(link, "Main", "Time", "6"));
    ASSERT_TRUE(Put(dangling, "Main", "Time", "2"));
    EXPECT_EQ(Contents(target), QByteArray("[Main]\nTime=6\n"));
    EXPECT_EQ(Contents(t.Path() + "/real/created.ini"), QByteArray("[Main]\nTime=2\n"));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(QFileInfo(dangling).isSymLink());
}
