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
    QStringList Files(const QString& folder) override
    {
        for (const auto& [name, files] : mFolders)
            if (name == folder)
                return files;
        return {};
    }
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

TEST(PictureRing, PathsKeepTheFoldersExactNames)
{
    MemoryFolders folders({{"/p/x ", {"a.bmp"}}, {"/p/x", {"b.bmp"}}, {"/p/y/", {"c.bmp"}}});
    PictureRing ring(folders);
    ASSERT_TRUE(ring.Start());
    EXPECT_EQ(ring.CurrentPath(), "/p/x /a.bmp");
    EXPECT_EQ(ring.Step(Direction::Forward), "/p/x/b.bmp");
    EXPECT_EQ(ring.Step(Direction::Forward), "/p/y/c.bmp");
}
