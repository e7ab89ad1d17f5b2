#pragma once
// What a shuffled show knows of its pictures: every folder of the ring
// listed in turn, its pictures handed to the shuffled order, while the show
// runs. Feed never waits: a folder still being listed (or a walk that has
// not reached the next folder) ends the turn, and the next turn goes on
// from there. The listings ahead of the turn's folder are started at once,
// so a slow file system answers several at a time.
//
// No threads of its own: the folder source lists on its threads, and the
// window calls Feed from its event loop.
#include <chrono>
#include <cstdint>

#include <QSet>
#include <QString>
#include <QStringList>

#include "slideshow/PictureRing.h"
#include "slideshow/ShuffleOrder.h"

class ShuffleFeed {
public:
    // Folders whose listing is started ahead of the one being taken.
    static constexpr int kListedAhead = 12;

    ShuffleFeed(FolderSource& folders, std::uint64_t seed) : mFolders(folders), mOrder(seed) {}

    // The pictures of the folder at index are known already (the show's
    // first folder): they join the order, and the listing goes on after it.
    void StartAfter(std::int32_t index, const QStringList& paths);
    // Takes what the folders have ready, for at most about budget; true
    // once every folder of the finished walk has been taken.
    bool Feed(std::chrono::milliseconds budget);
    bool Complete() const { return mOrder.Complete(); }

    ShuffleOrder& Order() { return mOrder; }
    const ShuffleOrder& Order() const { return mOrder; }
    // The archive that a picture lies in (its path as a folder of the ring),
    // or "" for a picture in a folder on disk.
    QString ArchiveOf(const QString& picturePath) const;

private:
    // Starts the listings of the folders after the cursor.
    void ListAhead();
    // The cursor's folder is taken: its pictures join the order.
    void Take(const QStringList& names);

    FolderSource& mFolders;
    ShuffleOrder mOrder;
    std::int32_t mCursor = 0;      // the next folder to take
    std::int32_t mAheadFrom = 0;   // folders before this one have their listing started
    QSet<QString> mArchives;       // the archives taken, as folder paths
};
