// The ring of pictures over folders kept in memory: every step, forward and
// back, across every turn, and the look-ahead's prediction of it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "slideshow/PictureRing.h"

namespace {

// Folders by index; a folder's files can change between steps, as on disk.
class MemoryFolders : public FolderSource {
public:
    explicit MemoryFolders(std::vector<std::pair<QString, QStringList>> folders) : mFolders(std::move(folders)) {}
    std::int32_t ListCount() const override { return std::int32_t(mFolders.size()); }
    QString FindDir(std::int32_t Index) const override { return mFolders.at(std::size_t(Index)).first; }
    QStringList Files(std::int32_t Index, bool) override { return mFolders.at(std::size_t(Index)).second; }
    void Empty(std::size_t index) { mFolders.at(index).second.clear(); }

private:
    std::vector<std::pair<QString, QStringList>> mFolders;
};

// Folders 0 (no picture), A (3), A/B (none), A/B/C (2), in walk order.
MemoryFolders Tree()
{
    return MemoryFolders({{"/s", {}}, {"/s/A", {"a1", "a2", "a3"}}, {"/s/A/B", {}}, {"/s/A/B/C", {"c1", "c2"}}});
}

std::string Name(const QString& path) { return path.section(u'/', -2).toStdString(); }

// The same folders, found one at a time by a walk that goes on while the
// ring steps: each wait for the walk finds one more folder.
class GrowingFolders : public MemoryFolders {
public:
    using MemoryFolders::MemoryFolders;
    std::int32_t ListCount() const override { return mFound; }
    bool More(std::int32_t count, bool wait) override
    {
        const std::int32_t all = MemoryFolders::ListCount();
        if (count < mFound || mFound == all)
            return count < mFound;
        if (!wait)
            throw NotListedYet{};
        ++waits;
        mFound = std::min(all, count + 1);
        return true;
    }
    int waits = 0;

private:
    std::int32_t mFound = 1;
};

// One move as the window makes it: Next steps forward, Previous back.
QString Move(PictureRing& ring, int direction)
{
    return ring.Step(direction < 0 ? Direction::Back : Direction::Forward);
}

} // namespace

TEST(PictureRing, StepsForwardAndBackOverEmptyFoldersAndWrapAtBothEnds)
{
    MemoryFolders folders = Tree();
    PictureRing ring(folders);
    ASSERT_TRUE(ring.Start());
    EXPECT_EQ(ring.FirstFolder(), 1);
    EXPECT_EQ(Name(ring.CurrentPath()), "A/a1");
    // Back over the start wraps to the last folder (never into folder 0,
    // which lies before the first folder with pictures); forward from the
    // last folder passes folder 0 and comes back to A.
    const std::pair<int, const char*> moves[] = {
        {-1, "C/c2"}, {-1, "C/c1"}, {-1, "A/a3"}, {1, "C/c1"}, {1, "C/c2"}, {1, "A/a1"},
        {1, "A/a2"}, {-1, "A/a1"}, {1, "A/a2"}, {1, "A/a3"}, {1, "C/c1"}};
    for (const auto& [direction, want] : moves) {
        const std::string before = Name(ring.CurrentPath());
        EXPECT_EQ(Name(Move(ring, direction)), want) << "from " << before << " by " << direction;
        EXPECT_EQ(Name(ring.CurrentPath()), want);
    }
    EXPECT_EQ(ring.FolderIndex(), 3);
    EXPECT_EQ(ring.FileIndex(), 0);
}

TEST(PictureRing, RingsOfOneFolder)
{
    struct Case {
        const char* what;
        std::vector<std::pair<QString, QStringList>> folders;
        std::vector<std::pair<int, const char*>> moves;
    };
    const Case cases[] = {
        {"one folder both ways", {{"/x", {"p1", "p2"}}},
         {{1, "x/p2"}, {1, "x/p1"}, {-1, "x/p2"}, {-1, "x/p1"}}},
        {"Previous on the second picture", {{"/x", {"p1", "p2", "p3"}}}, {{1, "x/p2"}, {-1, "x/p1"}}},
        {"one picture", {{"/x", {"only"}}}, {{1, "x/only"}, {-1, "x/only"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryFolders folders(c.folders);
        PictureRing ring(folders);
        ASSERT_TRUE(ring.Start());
        for (const auto& [direction, want] : c.moves)
            EXPECT_EQ(Move(ring, direction).section(u'/', -2).toStdString(),
                      QString(want).section(u'/', -2).toStdString());
    }
}

TEST(PictureRing, BackwardWrapIsBoundedByTheFirstFolderWithPictures)
{
    // Folder 0 gains a picture after the start: a step back from the first
    // folder of the show must still go to the last folder, not to folder 0.
    MemoryFolders folders({{"/s", {}}, {"/s/A", {"a1"}}, {"/s/B", {"b1"}}});
    PictureRing ring(folders);
    ASSERT_TRUE(ring.Start());
    folders = MemoryFolders({{"/s", {"s1"}}, {"/s/A", {"a1"}}, {"/s/B", {"b1"}}});
    EXPECT_EQ(Name(Move(ring, -1)), "B/b1");
    EXPECT_EQ(Name(Move(ring, 1)), "s/s1") << "forward wraps to folder 0";
}

TEST(PictureRing, LookingAheadNamesTheStepsInOrderAndChangesNothing)
{
    MemoryFolders folders = Tree();
    PictureRing ring(folders);
    ASSERT_TRUE(ring.Start());
    for (const int direction : {1, -1}) {
        for (int i = 0; i < 10; ++i) {
            const QString next = ring.Peek(direction);
            const QStringList predicted = ring.PeekAhead(direction, 4);
            ASSERT_EQ(predicted.size(), 4);
            EXPECT_EQ(predicted.front(), next);
            PictureRing walker = ring;
            for (const QString& path : predicted)
                EXPECT_EQ(Move(walker, direction), path) << "across folders and wraps";
            EXPECT_EQ(Move(ring, direction), next) << "peeking moved the ring";
        }
    }
}

TEST(PictureRing, NoPicturesAnywhereAndPicturesRemovedDuringTheShow)
{
    MemoryFolders none({{"/s", {}}, {"/s/A", {}}});
    EXPECT_FALSE(PictureRing(none).Start());

    MemoryFolders folders = Tree();
    PictureRing ring(folders);
    ASSERT_TRUE(ring.Start());
    folders.Empty(3);
    EXPECT_EQ(Name(Move(ring, 1)), "A/a2");
    EXPECT_EQ(Name(Move(ring, 1)), "A/a3");
    EXPECT_EQ(Name(Move(ring, 1)), "A/a1") << "over the emptied C and round";
    folders.Empty(1);
    // The current folder's listing was taken when the ring came to it.
    EXPECT_EQ(Name(Move(ring, 1)), "A/a2");
    EXPECT_EQ(Name(Move(ring, 1)), "A/a3");
    EXPECT_THROW(Move(ring, 1), NoPicturesLeft);

    // The look-ahead gives up after a few folders without pictures.
    std::vector<std::pair<QString, QStringList>> many{{"/m", {"first"}}};
    for (int i = 0; i < 20; ++i)
        many.push_back({QString("/m/%1").arg(i), {}});
    many.push_back({"/m/last", {"l1"}});
    MemoryFolders far(many);
    PictureRing farRing(far);
    ASSERT_TRUE(farRing.Start());
    EXPECT_EQ(farRing.Peek(1), QString()) << "beyond the look-ahead's reach";
    EXPECT_EQ(farRing.Peek(-1), "/m/last/l1");
    EXPECT_EQ(Move(farRing, 1), "/m/last/l1") << "the step itself goes all the way";
}

// A walk that finds folders at the end while one is being listed: the
// ring must not take them for folders found inside the one listed.
TEST(PictureRing, TheWalkGrowingDuringAListingMovesNothing)
{
    class GrowsWhileListing : public MemoryFolders {
    public:
        using MemoryFolders::MemoryFolders;
        std::int32_t ListCount() const override { return mFound; }
        std::int32_t InsertedCount() const override { return 0; }
        QStringList Files(std::int32_t Index, bool wait) override
        {
            mFound = std::min(MemoryFolders::ListCount(), mFound + 1);
            return MemoryFolders::Files(Index, wait);
        }
        bool More(std::int32_t count, bool) override
        {
            mFound = std::max(mFound, std::min(MemoryFolders::ListCount(), count + 1));
            return count < mFound;
        }

    private:
        std::int32_t mFound = 1;
    };
    std::vector<std::pair<QString, QStringList>> tree{{"/g", {"0"}}, {"/g/a", {"1"}}, {"/g/b", {"2"}}, {"/g/c", {"3"}}};
    for (int i = 4; i < 30; ++i)
        tree.push_back({QStringLiteral("/g/%1").arg(i), {QString::number(i)}});
    GrowsWhileListing folders(tree);
    PictureRing ring(folders);
    ASSERT_TRUE(ring.Start());
    const std::pair<int, const char*> moves[] = {{1, "a/1"}, {1, "b/2"},  {1, "c/3"},  {-1, "b/2"},
                                                 {1, "c/3"}, {-1, "b/2"}, {-1, "a/1"}, {-1, "g/0"}};
    for (const auto& [direction, want] : moves)
        EXPECT_EQ(Name(Move(ring, direction)), want) << "by " << direction;
}

TEST(PictureRing, PathsKeepTheFoldersExactNames)
{
    MemoryFolders folders({{"/p/x ", {"a.bmp"}}, {"/p/x", {"b.bmp"}}, {"/p/y/", {"c.bmp"}}});
    PictureRing ring(folders);
    ASSERT_TRUE(ring.Start());
    EXPECT_EQ(ring.CurrentPath(), "/p/x /a.bmp");
    EXPECT_EQ(ring.Step(Direction::Forward), "/p/x/b.bmp");
    EXPECT_EQ(ring.Step(Direction::Forward), "/p/y/c.bmp");
}

namespace {

// Folders of which some hold folders seen only once they are listed (as
// archives inside an archive are), and may still be listing when a look
// that would not wait reaches them.
struct Found {
    QString path;
    QStringList files;
    std::vector<Found> inside;
    bool listing = false;
    int slow = 0; // listings that give nothing yet, even waited for
};

class FoundWhenListed : public FolderSource {
public:
    explicit FoundWhenListed(std::vector<Found> folders) : mFolders(std::move(folders)) {}
    std::int32_t ListCount() const override { return std::int32_t(mFolders.size()); }
    QString FindDir(std::int32_t Index) const override { return mFolders.at(std::size_t(Index)).path; }
    QStringList Files(std::int32_t Index, bool wait) override
    {
        Found& folder = mFolders.at(std::size_t(Index));
        if (folder.listing && !wait)
            throw NotListedYet{};
        folder.listing = false;
        if (folder.slow > 0 && folder.slow--)
            return {};
        std::vector<Found> inside = std::move(folder.inside);
        QStringList files = folder.files;
        mFolders.insert(mFolders.begin() + Index + 1, inside.begin(), inside.end());
        return files;
    }
    // Every folder in the order of the walk, as if all were seen at once.
    static void Flatten(const std::vector<Found>& folders, std::vector<std::pair<QString, QStringList>>& out)
    {
        for (const Found& f : folders) {
            out.push_back({f.path, f.files});
            Flatten(f.inside, out);
        }
    }

private:
    std::vector<Found> mFolders;
};

std::vector<Found> ArchiveTree()
{
    return {{"/s", {}, {}},
            {"/s/A", {"a1"}, {}},
            {"/s/B.zip",
             {"b1", "b2"},
             {{"/s/B.zip/x.zip", {"x1"}, {{"/s/B.zip/x.zip/y.zip", {"y1"}, {}, true}}},
              {"/s/B.zip/e.zip", {}, {}},
              {"/s/B.zip/z.zip", {"z1"}, {}, true}},
             true},
            {"/s/C", {"c1"}, {}},
            {"/s/D.zip", {}, {{"/s/D.zip/d.zip", {"d1"}, {}}}},
            {"/s/E.zip", {}, {}, true}};
}

} // namespace

TEST(PictureRing, FoldersFoundWhenListedTakeTheirPlaceInTheOrderWhicheverWayTheRingComes)
{
    std::vector<std::pair<QString, QStringList>> all;
    FoundWhenListed::Flatten(ArchiveTree(), all);
    // Both ways from the start, then a mixed walk with looks ahead between
    // the steps: the ring must not tell the folders found late from those
    // known from the start.
    std::vector<std::vector<int>> walks = {std::vector<int>(20, 1), std::vector<int>(20, -1)};
    std::vector<int> mixed;
    for (unsigned seed = 7, i = 0; i < 60; ++i) {
        seed = seed * 1103515245u + 12345u;
        mixed.push_back((seed >> 16) % 3 == 0 ? -1 : 1);
    }
    walks.push_back(mixed);
    for (const std::vector<int>& walk : walks) {
        FoundWhenListed lazy(ArchiveTree());
        MemoryFolders known(all);
        PictureRing ring(lazy), reference(known);
        ASSERT_TRUE(ring.Start());
        ASSERT_TRUE(reference.Start());
        for (std::size_t i = 0; i < walk.size(); ++i) {
            const QStringList looked = ring.PeekAhead(walk[i], 4);
            const QString want = Move(reference, walk[i]);
            ASSERT_EQ(Move(ring, walk[i]), want) << "move " << i << " by " << walk[i];
            EXPECT_EQ(ring.CurrentPath(), want);
            EXPECT_EQ(ring.FirstFolder(), reference.FirstFolder());
            if (!looked.isEmpty() && walk[i] == walk[std::min(i + 1, walk.size() - 1)]) {
                EXPECT_EQ(looked.front(), want) << "the look ahead named another picture";
            }
        }
        EXPECT_EQ(ring.FolderIndex(), reference.FolderIndex());
        EXPECT_EQ(lazy.ListCount(), std::int32_t(all.size()));
    }
    // The first steps of each way, spelled out.
    FoundWhenListed lazy(ArchiveTree());
    PictureRing ring(lazy);
    ASSERT_TRUE(ring.Start());
    QStringList back;
    for (int i = 0; i < 8; ++i)
        back << QString::fromStdString(Name(Move(ring, -1)));
    EXPECT_EQ(back.join(' '), "d.zip/d1 C/c1 z.zip/z1 y.zip/y1 x.zip/x1 B.zip/b2 B.zip/b1 A/a1");

    // An archive before the first folder with pictures whose listing came
    // late: the first folder stays the one the show started in.
    FoundWhenListed late({{"/s", {}, {}},
                          {"/s/0.tgz", {"t1"}, {{"/s/0.tgz/n.zip", {}, {}}}, false, 1},
                          {"/s/A", {"a1", "a2"}, {}}});
    PictureRing lateRing(late);
    ASSERT_TRUE(lateRing.Start());
    EXPECT_EQ(Name(Move(lateRing, 1)), "A/a2");
    EXPECT_EQ(Name(Move(lateRing, 1)), "0.tgz/t1") << "forward from the last folder passes the ones before";
    EXPECT_EQ(Name(Move(lateRing, 1)), "A/a1");
    EXPECT_EQ(lateRing.FirstFolder(), 3);
    EXPECT_EQ(Name(Move(lateRing, -1)), "A/a2") << "back from the first folder wraps to the last";
}

// While the walk goes on, the ring is the ring of the folders found so far:
// a step past the last one found waits for the next, a step back from the
// first picture waits for the whole walk, and every step lands where it
// would with every folder known from the start. Looking ahead never waits.
TEST(PictureRing, AGrowingFolderListGivesTheSameRingAndWaitsOnlyAtItsEnd)
{
    const std::vector<std::pair<QString, QStringList>> all = {
        {"/s", {}}, {"/s/A", {"a1", "a2"}}, {"/s/A/B", {}}, {"/s/A/B/C", {"c1"}}, {"/s/D", {}}, {"/s/E", {"e1"}}};
    const std::vector<std::vector<int>> walks = {
        {1, 1, 1, 1, 1, 1, 1, -1, -1}, {-1, -1, 1, 1, 1}, {1, -1, -1, -1, -1, -1, 1}};
    for (const std::vector<int>& walk : walks) {
        GrowingFolders growing(all);
        MemoryFolders known(all);
        PictureRing ring(growing), reference(known);
        ASSERT_TRUE(ring.Start());
        ASSERT_TRUE(reference.Start());
        EXPECT_EQ(growing.ListCount(), 2) << "the first picture needs the walk only as far as A";
        for (std::size_t i = 0; i < walk.size(); ++i) {
            const int waitsBefore = growing.waits;
            const QStringList looked = ring.PeekAhead(walk[i], 3);
            EXPECT_EQ(growing.waits, waitsBefore) << "looking ahead waited for the walk";
            ASSERT_EQ(Move(ring, walk[i]), Move(reference, walk[i])) << "move " << i << " by " << walk[i];
            EXPECT_EQ(ring.FirstFolder(), reference.FirstFolder());
        }
        if (walk.front() < 0) {
            EXPECT_EQ(growing.ListCount(), std::int32_t(all.size())) << "back from the first picture found all";
        }
    }
    // The first picture of a tree whose first folders hold none is found as
    // far as the walk has to go, not further.
    GrowingFolders growing({{"/s", {}}, {"/s/A", {}}, {"/s/B", {"b1"}}, {"/s/C", {"c1"}}});
    PictureRing ring(growing);
    ASSERT_TRUE(ring.Start());
    EXPECT_EQ(Name(ring.CurrentPath()), "B/b1");
    EXPECT_EQ(growing.ListCount(), 3);
    GrowingFolders none({{"/s", {}}, {"/s/A", {}}});
    PictureRing empty(none);
    EXPECT_FALSE(empty.Start());
}
