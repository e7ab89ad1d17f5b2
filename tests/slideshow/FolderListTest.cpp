#include "slideshow/FolderList.h"

#include "common/CodePage.h"
#include "common/RuntimeError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QSet>

#include <cstdlib>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QStringList Listed(const ClsFolderList& list)
{
    QStringList out;
    for (std::int32_t i = 0; i < list.ListCount(); ++i)
        out << list.FindDir(i);
    return out;
}

// The folders below dir in the file system's own order, each followed by
// everything below it: the walk's expected result for a tree without links.
void PreOrderByReaddir(const QString& dir, QStringList& out)
{
    DIR* d = opendir(ToCodePage(dir).constData());
    ASSERT_NE(d, nullptr) << dir.toStdString();
    QStringList children;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (stat((ToCodePage(dir).toStdString() + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            children << dir + FromCodePage(QByteArrayView(name.data(), qsizetype(name.size())));
    }
    closedir(d);
    for (const QString& child : children) {
        out << child;
        PreOrderByReaddir(child + "/", out);
    }
}

QStringList Expected(const QString& start, const QString& dir)
{
    QStringList out{start};
    PreOrderByReaddir(dir, out);
    return out;
}

bool Opens(const QString& path)
{
    DIR* d = opendir(ToCodePage(path).constData());
    if (d)
        closedir(d);
    return d != nullptr;
}

void Link(const QString& target, const QString& at)
{
    ASSERT_EQ(symlink(ToCodePage(target).constData(), ToCodePage(at).constData()), 0);
}

// Qt cannot remove names that are not UTF-8; rm can.
struct ClearOnExit {
    QString path;
    ~ClearOnExit() { std::system(("rm -rf -- '" + ToCodePage(path).toStdString() + "'/*").c_str()); }
};

} // namespace

TEST(FolderList, WorkedExampleInThePlatformsOrder)
{
    TempTree tree;
    tree.MakeDir("B/B1");
    tree.MakeDir("A");
    const QString start = tree.Path() + "/";
    ClsFolderList list;
    list.SearchDirs(start);

    // The platform decides whether B or A comes first; B1 follows B directly.
    const QStringList bFirst{start, start + "B", start + "B/B1", start + "A"};
    const QStringList aFirst{start, start + "A", start + "B", start + "B/B1"};
    QStringList top;
    PreOrderByReaddir(start, top);
    EXPECT_EQ(Listed(list), top.first() == start + "B" ? bFirst : aFirst);
    EXPECT_EQ(list.ListCount(), 4);
}

TEST(FolderList, TakesEveryFolderButDotsAndNoFiles)
{
    TempTree tree;
    for (const char* dir : {".hidden/inner", "...", "a b/c", "x.jpg", "deep/1/2/3", "deep/4"})
        tree.MakeDir(dir);
    for (const char* file : {"pic.jpg", "README", "deep/noext", "deep/1/.dotfile", "...x"})
        tree.WriteFile(file, "x");
    const QString start = tree.Path() + "/";
    ClsFolderList list;
    list.SearchDirs(start);

    const QStringList listed = Listed(list);
    EXPECT_EQ(listed, Expected(start, start));
    EXPECT_EQ(list.ListCount(), 12);
    EXPECT_TRUE(listed.contains(start + ".hidden/inner"));
    EXPECT_TRUE(listed.contains(start + "..."));
    EXPECT_TRUE(listed.contains(start + "x.jpg"));
    for (const QString& path : listed) {
        EXPECT_FALSE(path.endsWith("/.") || path.endsWith("/..")) << path.toStdString();
        EXPECT_TRUE(Opens(path)) << path.toStdString();
    }
}

TEST(FolderList, StartFolderKeepsItsFormChildrenUseOneSeparator)
{
    TempTree tree;
    tree.MakeDir("sub/inner");
    const QString root = tree.Path();
    const QStringList children{root + "/sub", root + "/sub/inner"};
    for (const QString& start : {root, root + "/", root + "   ", root + "/  "}) {
        ClsFolderList list;
        list.SearchDirs(start);
        EXPECT_EQ(Listed(list), QStringList{start} + children) << '"' << start.toStdString() << '"';
    }
}

TEST(FolderList, StartThatCannotBeSearchedListsOnlyItself)
{
    TempTree tree;
    const QString file = tree.WriteFile("file", "x");
    for (const QString& start : {tree.Path() + "/missing/", file, file + "/"}) {
        ClsFolderList list;
        list.SearchDirs(start);
        EXPECT_EQ(list.ListCount(), 1);
        EXPECT_EQ(list.FindDir(0), start);
    }
}

TEST(FolderList, BadIndexRaisesIndexOutOfRange)
{
    TempTree tree;
    tree.MakeDir("a");
    ClsFolderList list;
    EXPECT_EQ(list.ListCount(), 0);
    EXPECT_THROW(list.FindDir(0), RuntimeError);
    list.SearchDirs(tree.Path() + "/");
    ASSERT_EQ(list.ListCount(), 2);
    for (std::int32_t bad : {-1, list.ListCount(), INT32_MIN, INT32_MAX}) {
        try {
            list.FindDir(bad);
            ADD_FAILURE() << "no error for " << bad;
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::IndexOutOfRange);
        }
    }
    EXPECT_EQ(list.FindDir(1), tree.Path() + "/a");
}

TEST(FolderList, SearchingAgainStartsAFreshList)
{
    TempTree one, two;
    one.MakeDir("a/b");
    two.MakeDir("c");
    ClsFolderList list;
    list.SearchDirs(one.Path() + "/");
    list.SearchDirs(two.Path() + "/");
    EXPECT_EQ(Listed(list), (QStringList{two.Path() + "/", two.Path() + "/c"}));
}

TEST(FolderList, FollowsLinksToFoldersOutsideTheTree)
{
    TempTree tree, outside;
    outside.MakeDir("inner");
    outside.WriteFile("pic.jpg", "x");
    tree.MakeDir("real");
    Link(outside.Path(), tree.Path() + "/link");
    Link(outside.Path() + "/pic.jpg", tree.Path() + "/filelink");
    Link(tree.Path() + "/nowhere", tree.Path() + "/broken");
    const QString start = tree.Path() + "/";
    ClsFolderList list;
    list.SearchDirs(start);

    const QStringList listed = Listed(list);
    EXPECT_EQ(listed.size(), 4);
    EXPECT_TRUE(listed.contains(start + "real"));
    const qsizetype link = listed.indexOf(start + "link");
    ASSERT_GE(link, 1);
    EXPECT_EQ(listed.value(link + 1), start + "link/inner");
}

TEST(FolderList, LinkCyclesEndAndEachRealFolderAppearsOnce)
{
    TempTree tree;
    tree.MakeDir("x/deeper");
    tree.MakeDir("y");
    const QString root = tree.Path();
    Link("..", root + "/x/up");             // to its own parent, the start
    Link(".", root + "/x/self");            // to itself
    Link("../y", root + "/x/toy");          // x and y lead to each other
    Link("../x", root + "/y/tox");
    Link(root + "/x/deeper", root + "/alias");
    Link(root, root + "/x/deeper/top");     // absolute, back to the start
    const QString start = root + "/";
    ClsFolderList list;
    list.SearchDirs(start);

    const QStringList listed = Listed(list);
    ASSERT_EQ(listed.size(), 4) << listed.join(" | ").toStdString();
    QSet<ino_t> inodes;
    for (const QString& path : listed) {
        struct stat st;
        ASSERT_EQ(stat(ToCodePage(path).constData(), &st), 0) << path.toStdString();
        inodes.insert(st.st_ino);
    }
    EXPECT_EQ(inodes.size(), 4);
    for (const QString& path : listed)
        EXPECT_FALSE(path.contains("/up") || path.contains("/self") || path.contains("/top"))
            << path.toStdString();
}

TEST(FolderList, DeepTreeDoesNotOverflowTheStack)
{
    TempTree tree;
    const ClearOnExit clear{tree.Path()};
    const int depth = 2000;
    int at = open(ToCodePage(tree.Path()).constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(at, 0);
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(mkdirat(at, "d", 0755), 0);
        const int sub = openat(at, "d", O_RDONLY | O_DIRECTORY);
        close(at);
        at = sub;
        ASSERT_GE(at, 0);
    }
    close(at);

    ClsFolderList list;
    list.SearchDirs(tree.Path() + "/");
    ASSERT_EQ(list.ListCount(), depth + 1);
    QString expected = tree.Path() + "/";
    for (int i = 1; i <= depth; ++i) {
        expected += "d";
        ASSERT_EQ(list.FindDir(i), expected) << i;
        expected += "/";
    }
}

TEST(FolderList, NamesThatAreNotPlainTextOpenAgain)
{
    TempTree tree;
    const ClearOnExit clear{tree.Path()};
    const std::string root = ToCodePage(tree.Path()).toStdString();
    for (const std::string rel : {"new\nline", "new\nline/in", "bad\xff\xfe", "bad\xff\xfe/in",
                                  "\xe5\x86\x99\xe7\x9c\x9f", "tail ", "tail /in"})
        ASSERT_EQ(mkdir((root + "/" + rel).c_str(), 0755), 0) << rel;
    const QString start = tree.Path() + "/";
    ClsFolderList list;
    list.SearchDirs(start);

    const QStringList listed = Listed(list);
    EXPECT_EQ(listed, Expected(start, start));
    ASSERT_EQ(listed.size(), 8);
    EXPECT_TRUE(listed.contains(start + QString::fromUtf8("写真")));
    // A folder whose name ends in a blank is searched under its own name.
    EXPECT_TRUE(listed.contains(start + "tail /in"));
    for (const QString& path : listed)
        EXPECT_TRUE(Opens(path)) << path.toStdString();
    EXPECT_EQ(ToCodePage(listed.filter("bad").first()), QByteArray((root + "/bad\xff\xfe").c_str()));
}

TEST(FolderList, LongestNamesAreKeptWhole)
{
    TempTree tree;
    const QString longest(255, u'n');
    const QString longUtf8 = QString(85, QChar(0x5199)); // 255 bytes in UTF-8
    tree.MakeDir(longest + "/" + longUtf8);
    ClsFolderList list;
    list.SearchDirs(tree.Path() + "/");
    ASSERT_EQ(list.ListCount(), 3);
    EXPECT_EQ(list.FindDir(1), tree.Path() + "/" + longest);
    EXPECT_EQ(list.FindDir(2), tree.Path() + "/" + longest + "/" + longUtf8);
    EXPECT_TRUE(Opens(list.FindDir(2)));
}

// A folder that may not be read is listed by its parent but not entered.
// Root reads everything, so there the check runs as an unprivileged user.
TEST(FolderListDeathTest, UnreadableFolderIsListedButNotEntered)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempTree tree;
    tree.MakeDir("open/inner");
    tree.MakeDir("closed/hidden");
    ASSERT_EQ(chmod(ToCodePage(tree.Path()).constData(), 0755), 0);
    ASSERT_EQ(chmod(ToCodePage(tree.Path() + "/closed").constData(), 0), 0);
    const QString start = tree.Path() + "/";
    const auto check = [&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            std::exit(2);
        ClsFolderList list;
        list.SearchDirs(start);
        QStringList listed = Listed(list);
        listed.sort();
        const QStringList expected{start, start + "closed", start + "open", start + "open/inner"};
        std::exit(listed == expected ? 0 : 1);
    };
    EXPECT_EXIT(check(), testing::ExitedWithCode(0), "");
    chmod(ToCodePage(tree.Path() + "/closed").constData(), 0755);
}
