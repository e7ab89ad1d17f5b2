// The shuffled order's feed over folders kept in memory that list slowly,
// find archives inside archives when listed, and grow while a walk runs.
#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

#include <QSet>

#include "slideshow/ShuffleFeed.h"

namespace {

struct Folder {
    QString path;
    QStringList files = {};
    std::vector<Folder> inside = {}; // found when it is listed (archives in an archive)
    bool archive = false;
    int busy = 0;       // asks answered "not listed yet" before the listing is done
    bool broken = false; // listing it fails
};

class LazyFolders : public FolderSource {
public:
    LazyFolders(std::vector<Folder> folders, std::int32_t walked)
        : mFolders(std::move(folders)), mWalked(walked)
    {
    }
    std::int32_t ListCount() const override { return mWalked + mInserted; }
    QString FindDir(std::int32_t Index) const override { return At(Index).path; }
    bool IsArchive(std::int32_t Index) const override { return At(Index).archive; }
    std::int32_t InsertedCount() const override { return mInserted; }
    bool More(std::int32_t count, bool wait) override
    {
        if (wait)
            ++waits;
        if (count < ListCount() || WalkDone())
            return count < ListCount();
        throw NotListedYet{};
    }
    QStringList Files(std::int32_t Index, bool wait) override
    {
        if (wait)
            ++waits;
        Folder& folder = At(Index);
        ++asks[folder.path];
        if (folder.busy > 0 && folder.busy--)
            throw NotListedYet{};
        if (folder.broken)
            throw std::runtime_error("unreadable");
        const std::vector<Folder> inside = std::exchange(folder.inside, {});
        const QStringList files = folder.files;
        mFolders.insert(mFolders.begin() + Index + 1, inside.begin(), inside.end());
        mInserted += std::int32_t(inside.size());
        return files;
    }
    // The walk finds one more folder.
    void Walk() { mWalked = std::min<std::int32_t>(mWalked + 1, std::int32_t(mFolders.size()) - mInserted); }
    bool WalkDone() const { return mWalked + mInserted == std::int32_t(mFolders.size()); }

    int waits = 0;
    QHash<QString, int> asks;

private:
    Folder& At(std::int32_t i) { return mFolders.at(std::size_t(i)); }
    const Folder& At(std::int32_t i) const { return mFolders.at(std::size_t(i)); }
    std::vector<Folder> mFolders;
    std::int32_t mWalked;
    std::int32_t mInserted = 0;
};

QStringList Everything(const ShuffleFeed& feed)
{
    // One round of a copy of the order.
    ShuffleOrder order = feed.Order();
    QStringList all;
    for (int i = 0; i < order.Known(); ++i)
        all << order.Forward().value_or(QString());
    return all;
}

} // namespace

// Every picture of every folder joins the order once, whether its folder
// was slow to list, found late by the walk, or found inside an archive; the
// feed never waits, and starts the listings ahead of the folder it takes.
TEST(ShuffleFeed, TakesEveryFolderWithoutWaitingAsListingsAndTheWalkComeIn)
{
    std::vector<Folder> tree{
        {"/s", {"a.jpg", "b.jpg"}},
        {"/s/slow", {"c.jpg"}, {}, false, 50},
        {"/s/x.zip", {"in/d.jpg"}, {{"/s/x.zip/y.zip", {"e.jpg"}, {{"/s/x.zip/y.zip/z.zip", {"f.jpg"}, {}, true}}, true}}, true},
        {"/s/bad", {"never.jpg"}, {}, false, 0, true},
        {"/s/empty", {}},
    };
    for (int i = 0; i < 20; ++i)
        tree.push_back({QStringLiteral("/s/f%1").arg(i), {QStringLiteral("p%1.jpg").arg(i)}, {}, false, i % 3});
    LazyFolders folders(tree, 3);
    ShuffleFeed feed(folders, 42);
    feed.StartAfter(0, {"/s/a.jpg", "/s/b.jpg"});

    EXPECT_FALSE(feed.Feed(std::chrono::milliseconds(500))) << "the slow folder is not listed yet";
    EXPECT_EQ(folders.asks.value("/s/x.zip"), 1) << "the folder after it was started meanwhile";
    for (int i = 0; i < 1000 && !feed.Feed(std::chrono::milliseconds(500)); ++i) {
        if (i % 7 == 0)
            folders.Walk();
        EXPECT_FALSE(feed.Complete() && !folders.WalkDone());
    }
    ASSERT_TRUE(feed.Complete());
    EXPECT_EQ(folders.waits, 0);

    QStringList want{"/s/a.jpg", "/s/b.jpg", "/s/slow/c.jpg", "/s/x.zip/in/d.jpg", "/s/x.zip/y.zip/e.jpg",
                     "/s/x.zip/y.zip/z.zip/f.jpg"};
    for (int i = 0; i < 20; ++i)
        want << QStringLiteral("/s/f%1/p%1.jpg").arg(i);
    const QStringList all = Everything(feed);
    EXPECT_EQ(QSet<QString>(all.begin(), all.end()), QSet<QString>(want.begin(), want.end()));
    EXPECT_EQ(all.size(), want.size());

    EXPECT_EQ(feed.ArchiveOf("/s/x.zip/in/d.jpg"), "/s/x.zip");
    EXPECT_EQ(feed.ArchiveOf("/s/x.zip/y.zip/z.zip/f.jpg"), "/s/x.zip/y.zip/z.zip") << "the innermost";
    EXPECT_EQ(feed.ArchiveOf("/s/f1/p1.jpg"), "");
    EXPECT_EQ(feed.ArchiveOf("/s/x.zipper/a.jpg"), "");
}

// A tree with no more pictures than the first folder's: complete at once,
// and the order goes round them.
TEST(ShuffleFeed, CompleteWhenTheWalkHasEndedAndEveryFolderIsTaken)
{
    LazyFolders folders({{"/t", {"1.png"}}, {"/t/u", {}}}, 2);
    ShuffleFeed feed(folders, 1);
    feed.StartAfter(0, {"/t/1.png"});
    EXPECT_TRUE(feed.Feed(std::chrono::milliseconds(100)));
    EXPECT_EQ(*feed.Order().Forward(), "/t/1.png");
    EXPECT_EQ(*feed.Order().Forward(), "/t/1.png");
}
