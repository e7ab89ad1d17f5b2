#include "slideshow/FolderList.h"
#include "slideshow/FolderWalk.h"
#include "slideshow/FileList.h"

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

QStringList Listed(ClsFolderList& list)
{
    EXPECT_TRUE(WaitFor([&] { return list.Complete(); }, 120000));
    QStringList out;
    for (std::int32_t i = 0; i < list.ListCount(); ++i)
        out << list.FindDir(i);
    return out;
}

// The walk lists each folder itself while listings are fast, and lists
// folders ahead on many threads once they are slow; both must give the same
// folders in the same order. Archives are marked with a "*" in front.
enum class Walker { OneAtATime, Parallel };

QStringList WalkAll(const QString& start, Walker walker, const FolderWalk::ArchiveTest& isArchive = {})
{
    using namespace std::chrono;
    FolderWalk walk(start, isArchive, 4, walker == Walker::Parallel ? microseconds(0) : duration_cast<microseconds>(hours(1)));
    EXPECT_TRUE(walk.WaitForEnd(FolderWalk::Clock::now() + minutes(2)));
    QStringList out;
    for (std::int32_t i = 0; i < walk.Count(); ++i)
        out << (walk.IsArchive(i) ? "*" : "") + walk.Path(i);
    EXPECT_THROW(walk.Path(walk.Count()), RuntimeError);
    return out;
}

class FolderWalks : public testing::TestWithParam<Walker> {};
INSTANTIATE_TEST_SUITE_P(Both, FolderWalks, testing::Values(Walker::OneAtATime, Walker::Parallel));

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

TEST_P(FolderWalks, TakesEveryFolderInPreOrderButDotsAndNoFiles)
{
    TempTree tree;
    for (const char* dir : {".hidden/inner", "...", "a b/c", "x.jpg", "deep/1/2/3", "deep/4"})
        tree.MakeDir(dir);
    for (const char* file : {"pic.jpg", "README", "deep/noext", "deep/1/.dotfile", "...x"})
        tree.WriteFile(file, "x");
    const QString start = tree.Path() + "/";
    // Each folder followed directly by everything below it, in the platform's order.
    const QStringList listed = WalkAll(start, GetParam());
    EXPECT_EQ(listed, Expected(start));
    EXPECT_EQ(listed.size(), 12);
    for (const char* rel : {".hidden/inner", "...", "x.jpg", "deep/1/2/3"})
        EXPECT_TRUE(listed.contains(start + rel)) << rel;
    for (const QString& path : listed)
        EXPECT_TRUE(Opens(path)) << path.toStdString();
}

TEST_P(FolderWalks, StartKeepsItsFormChildrenUseOneSeparatorAndBadStartsListOnlyThemselves)
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
    for (const auto& [start, below] : cases)
        EXPECT_EQ(WalkAll(start, GetParam()), QStringList{start} + below) << '"' << start.toStdString() << '"';
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
    // Archives found inside an archive follow it, also inside those.
    list.InsertArchives(0, {"x", "y"});
    list.InsertArchives(1, {"z"});
    list.InsertArchives(4, {"w"});
    EXPECT_EQ(Listed(list), (QStringList{two.Path() + "/", "x", "z", "y", two.Path() + "/c", "w"}));
    EXPECT_EQ(list.IsArchive(0), false);
    EXPECT_EQ(list.IsArchive(2), true);
    EXPECT_EQ(list.IsArchive(4), false);
    EXPECT_EQ(list.IsArchive(5), true);
    for (std::int32_t bad : {-1, list.ListCount(), INT32_MIN, INT32_MAX}) {
        try {
            list.FindDir(bad);
            ADD_FAILURE() << "no error for " << bad;
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::IndexOutOfRange);
        }
    }
}

TEST_P(FolderWalks, FollowsLinksOutOfTheTreeAndCyclesEndWithEachRealFolderOnce)
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

    // The start, x, x/deeper, y and the outside folder with its inner one.
    const QStringList listed = WalkAll(start, GetParam());
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

TEST_P(FolderWalks, DeepTreeDoesNotOverflowTheStack)
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

    const QStringList listed = WalkAll(tree.Path() + "/", GetParam());
    ASSERT_EQ(listed.size(), depth + 1);
    for (int i = 1; i <= depth; ++i)
        ASSERT_EQ(listed[i], tree.Path() + "/d" + QString("/d").repeated(i - 1)) << i;
}

TEST_P(FolderWalks, OddAndLongestNamesOpenAgain)
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

    const QStringList listed = WalkAll(start, GetParam());
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
class FolderWalksDeathTest : public FolderWalks {};
INSTANTIATE_TEST_SUITE_P(Both, FolderWalksDeathTest, testing::Values(Walker::OneAtATime, Walker::Parallel));

TEST_P(FolderWalksDeathTest, UnreadableFolderIsListedOnceNotEnteredAndLoggedOnceWithWhy)
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
        QStringList listed = WalkAll(start, GetParam());
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

// Archives stand among the folders where their names fall, in both walks;
// and a larger, uneven tree comes out of the background walk in exactly the
// order of the walk of one listing at a time.
TEST(FolderWalk, GivesTheOneAtATimeOrderOnALargeUnevenTreeWithArchives)
{
    TempTree tree;
    std::srand(7);
    QStringList dirs{QString()};
    for (int i = 0; i < 1500; ++i) {
        // Mostly below recent folders, so that the tree is deep in places
        // and wide in others.
        const QString parent = dirs[std::max<qsizetype>(0, dirs.size() - 1 - std::rand() % 40)];
        const QString dir = parent + (parent.isEmpty() ? "" : "/") + QString("d%1").arg(std::rand() % 97);
        if (!dirs.contains(dir)) {
            tree.MakeDir(dir);
            dirs << dir;
        }
        if (i % 7 == 0)
            tree.WriteFile(dir + QString("/b%1.zip").arg(i), "x");
        if (i % 5 == 0)
            tree.WriteFile(dir + QString("/pic%1.jpg").arg(i), "x");
    }
    Link(tree.Path() + "/" + dirs[5], tree.Path() + "/" + dirs[300] + "/again");
    const auto isZip = [](const QString& name) { return name.endsWith(".zip"); };
    const QString start = tree.Path() + "/";
    const QStringList one = WalkAll(start, Walker::OneAtATime, isZip);
    ASSERT_GT(one.size(), 1000);
    ASSERT_TRUE(one.contains("*" + start + "b0.zip") || one.filter("*").size() > 100);
    // Several runs: the listings finish in a different order each time.
    for (int run = 0; run < 3; ++run)
        ASSERT_EQ(WalkAll(start, Walker::Parallel, isZip), one) << "run " << run;
}

// The walk keeps the picture names of each folder from its own listing, in
// the file list's order, and hands them over once.
TEST_P(FolderWalks, KeepsEachFoldersPicturesAsTheFileListListsThem)
{
    TempTree tree;
    for (const char* file : {"b.JPG", "a.jpg", "notes.txt", "x/Z.jpg", "x/y/readme", "x/y/z/_1.jpg", "x/y/z/B.jpg"})
        tree.WriteFile(file, "x");
    FileListBox pictures;
    pictures.SetPattern("*.jpg");
    using namespace std::chrono;
    FolderWalk walk(tree.Path() + "/", {}, 4, GetParam() == Walker::Parallel ? microseconds(0) : microseconds(hours(1)),
                    [&](const QString& name) { return pictures.Matches(name); });
    ASSERT_TRUE(walk.WaitForEnd(FolderWalk::Clock::now() + minutes(2)));
    ASSERT_EQ(walk.Count(), 4);
    for (std::int32_t i = 0; i < walk.Count(); ++i) {
        const QStringList listed = pictures.ListFolder(walk.Path(i));
        EXPECT_EQ(walk.KeptPictures(i, false), listed) << "looking leaves them";
        EXPECT_EQ(walk.KeptPictures(i, true), listed);
        EXPECT_EQ(walk.KeptPictures(i, true), std::nullopt) << "handed over once";
    }
    EXPECT_EQ(pictures.ListFolder(walk.Path(0)), QStringList({"a.jpg", "b.JPG"}));
}

// Folders come out while the walk goes on, and a walk dropped in the middle
// ends without waiting for it.
TEST(FolderWalk, FoldersAreThereBeforeTheEndAndDroppingTheWalkStopsIt)
{
    TempTree tree;
    for (int i = 0; i < 300; ++i)
        tree.MakeDir(QString("a%1/b/c").arg(i, 3, 10, QChar('0')));
    const QString start = tree.Path() + "/";
    const auto later = FolderWalk::Clock::now() + std::chrono::minutes(2);
    {
        FolderWalk walk(start);
        ASSERT_TRUE(walk.WaitForIndex(3, later));
        EXPECT_EQ(walk.Path(0), start);
        EXPECT_EQ(walk.Path(1), start + "a000");
        EXPECT_EQ(walk.Path(3), start + "a000/b/c");
        EXPECT_FALSE(walk.WaitForIndex(901, later)); // there are 900 folders below
        EXPECT_TRUE(walk.Finished());
        EXPECT_EQ(walk.Count(), 901);
    }
    auto walk = std::make_unique<FolderWalk>(start);
    walk.reset(); // in the middle or at the end, whichever it is
}
