#include "slideshow/FolderList.h"

#include "common/CodePage.h"
#include "common/RuntimeError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <QSet>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

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

// The folders below dir in name order (upper-cased, ties by bytes), each
// followed by everything below it: the walk's expected result for a tree
// without links.
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
    std::sort(children.begin(), children.end(), [](const QString& a, const QString& b) {
        return a.toUpper() != b.toUpper() ? a.toUpper() < b.toUpper() : ToCodePage(a) < ToCodePage(b);
    });
    for (const QString& child : children) {
        out << child;
        PreOrderByReaddir(child + "/", out);
    }
}

QStringList Expected(const QString& start)
{
    QStringList out{start};
    PreOrderByReaddir(start, out);
    return out;
}

bool Opens(const QString& path)
{
    DIR* d = opendir(ToCodePage(path).constData());
    return d && closedir(d) == 0;
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

TEST(FolderList, TakesEveryFolderInPreOrderButDotsAndNoFiles)
{
    TempTree tree;
    for (const char* dir : {".hidden/inner", "...", "a b/c", "x.jpg", "deep/1/2/3", "deep/4"})
        tree.MakeDir(dir);
    for (const char* file : {"pic.jpg", "README", "deep/noext", "deep/1/.dotfile", "...x"})
        tree.WriteFile(file, "x");
    const QString start = tree.Path() + "/";
    ClsFolderList list;
    list.SearchDirs(start);
    // Each folder followed directly by everything below it, in the platform's order.
    const QStringList listed = Listed(list);
    EXPECT_EQ(listed, Expected(start));
    EXPECT_EQ(list.ListCount(), 12);
    for (const char* rel : {".hidden/inner", "...", "x.jpg", "deep/1/2/3"})
        EXPECT_TRUE(listed.contains(start + rel)) << rel;
    for (const QString& path : listed)
        EXPECT_TRUE(Opens(path)) << path.toStdString();
}

TEST(FolderList, StartKeepsItsFormChildrenUseOneSeparatorAndBadStartsListOnlyThemselves)
{
    TempTree tree;
    tree.MakeDir("sub/inner");
    tree.MakeDir("blank /inner");
    const QString root = tree.Path();
    const QString file = tree.WriteFile("file", "x");
    const QStringList children{root + "/blank ", root + "/blank /inner", root + "/sub", root + "/sub/inner"};
    // A trailing blank is part of a folder's name: "root   " is another folder.
    const std::pair<QString, QStringList> cases[] = {
        {root, children}, {root + "/", children}, {root + "/blank ", {root + "/blank /inner"}},
        {root + "   ", {}}, {root + "/  ", {}}, {root + "/missing/", {}}, {file, {}}, {file + "/", {}}};
    for (const auto& [start, below] : cases) {
        ClsFolderList list;
        list.SearchDirs(start);
        EXPECT_EQ(Listed(list), QStringList{start} + below) << '"' << start.toStdString() << '"';
    }
}

TEST(FolderList, BadIndexRaisesAndSearchingAgainStartsAFreshList)
{
    TempTree one, two;
    one.MakeDir("a/b");
    two.MakeDir("c");
    ClsFolderList list;
    EXPECT_EQ(list.ListCount(), 0);
    EXPECT_THROW(list.FindDir(0), RuntimeError);
    list.SearchDirs(one.Path() + "/");
    list.SearchDirs(two.Path() + "/");
    ASSERT_EQ(Listed(list), (QStringList{two.Path() + "/", two.Path() + "/c"}));
    for (std::int32_t bad : {-1, list.ListCount(), INT32_MIN, INT32_MAX}) {
        try {
            list.FindDir(bad);
            ADD_FAILURE() << "no error for " << bad;
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::IndexOutOfRange);
        }
    }
}

TEST(FolderList, FollowsLinksOutOfTheTreeAndCyclesEndWithEachRealFolderOnce)
{
    TempTree tree, outside;
    outside.MakeDir("inner");
    outside.WriteFile("pic.jpg", "x");
    tree.MakeDir("x/deeper");
    tree.MakeDir("y");
    const QString root = tree.Path();
    Link(outside.Path(), root + "/link");
    Link(outside.Path() + "/pic.jpg", root + "/filelink");
    Link(root + "/nowhere", root + "/broken");
    Link("..", root + "/x/up");             // to its own parent, the start
    Link(".", root + "/x/self");            // to itself
    Link("../y", root + "/x/toy");          // x and y lead to each other
    Link("../x", root + "/y/tox");
    Link(root + "/x/deeper", root + "/alias");
    Link(root, root + "/x/deeper/top");     // absolute, back to the start
    const QString start = root + "/";
    ClsFolderList list;
    list.SearchDirs(start);

    // The start, x, x/deeper, y and the outside folder with its inner one.
    const QStringList listed = Listed(list);
    ASSERT_EQ(listed.size(), 6) << listed.join(" | ").toStdString();
    const qsizetype link = listed.indexOf(start + "link");
    ASSERT_GE(link, 1);
    EXPECT_EQ(listed.value(link + 1), start + "link/inner");
    QSet<ino_t> inodes;
    for (const QString& path : listed) {
        struct stat st;
        ASSERT_EQ(stat(ToCodePage(path).constData(), &st), 0) << path.toStdString();
        inodes.insert(st.st_ino);
        EXPECT_FALSE(path.contains("/up") || path.contains("/self") || path.contains("/top"))
            << path.toStdString();
    }
    EXPECT_EQ(inodes.size(), 6);
}

TEST(FolderList, DeepTreeDoesNotOverflowTheStack)
{
    TempTree tree;
    const ClearOnExit clear{tree.Path()};
    const int depth = 2000;
    int at = open(ToCodePage(tree.Path()).constData(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth; ++i) {
        ASSERT_GE(at, 0);
        ASSERT_EQ(mkdirat(at, "d", 0755), 0);
        const int sub = openat(at, "d", O_RDONLY | O_DIRECTORY);
        close(std::exchange(at, sub));
    }
    close(at);

    ClsFolderList list;
    list.SearchDirs(tree.Path() + "/");
    ASSERT_EQ(list.ListCount(), depth + 1);
    for (int i = 1; i <= depth; ++i)
        ASSERT_EQ(list.FindDir(i), tree.Path() + "/d" + QString("/d").repeated(i - 1)) << i;
}

TEST(FolderList, OddAndLongestNamesOpenAgain)
{
    TempTree tree;
    const ClearOnExit clear{tree.Path()};
    const std::string root = ToCodePage(tree.Path()).toStdString();
    const QString longest(255, u'n'), longUtf8(85, QChar(0x5199)); // 255 bytes each
    for (const std::string rel : {"new\nline", "new\nline/in", "bad\xff\xfe", "bad\xff\xfe/in",
                                  "\xe5\x86\x99\xe7\x9c\x9f", "tail ", "tail /in"})
        ASSERT_EQ(mkdir((root + "/" + rel).c_str(), 0755), 0) << rel;
    tree.MakeDir(longest + "/" + longUtf8);
    const QString start = tree.Path() + "/";
    ClsFolderList list;
    list.SearchDirs(start);

    const QStringList listed = Listed(list);
    EXPECT_EQ(listed, Expected(start));
    ASSERT_EQ(listed.size(), 10);
    EXPECT_TRUE(listed.contains(start + QString::fromUtf8("写真")));
    EXPECT_TRUE(listed.contains(start + longest + "/" + longUtf8)); // kept whole
    // A folder whose name ends in a blank is searched under its own name.
    EXPECT_TRUE(listed.contains(start + "tail /in"));
    for (const QString& path : listed)
        EXPECT_TRUE(Opens(path)) << path.toStdString();
    EXPECT_EQ(ToCodePage(listed.filter("bad").first()), QByteArray((root + "/bad\xff\xfe").c_str()));
}

// A folder that may not be read is listed by its parent but not entered,
// and told once, with why, however many ways lead to it. Root reads
// everything, so there the check runs as an unprivileged user.
TEST(FolderListDeathTest, UnreadableFolderIsListedOnceNotEnteredAndLoggedOnceWithWhy)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempTree tree;
    tree.MakeDir("open/inner");
    tree.MakeDir("closed/hidden");
    // A second way to the same unreadable folder does not list it again.
    ASSERT_EQ(symlink("../closed", ToCodePage(tree.Path() + "/open/via-link").constData()), 0);
    ASSERT_EQ(chmod(ToCodePage(tree.Path()).constData(), 0755), 0);
    ASSERT_EQ(chmod(ToCodePage(tree.Path() + "/closed").constData(), 0), 0);
    const QString start = tree.Path() + "/";
    const auto check = [&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            std::exit(2);
        LogLines log;
        ClsFolderList list;
        list.SearchDirs(start);
        QStringList listed = Listed(list);
        listed.sort();
        const QStringList expected{start, start + "closed", start + "open", start + "open/inner"};
        if (listed != expected)
            std::exit(1);
        const QStringList told = log.Take(QStringLiteral("velmora.walk"));
        std::fprintf(stderr, "%s\n", qPrintable(told.join('\n')));
        std::exit(told.size() == 1 && Said(told, {start + "closed", "cannot be read", "Permission denied"}) ? 0 : 3);
    };
    EXPECT_EXIT(check(), testing::ExitedWithCode(0), "");
    chmod(ToCodePage(tree.Path() + "/closed").constData(), 0755);
}
