#include "slideshow/ShuffleFeed.h"

#include <algorithm>

#include "common/PathText.h"
#include "slideshow/WalkLog.h"

void ShuffleFeed::StartAfter(std::int32_t index, const QStringList& paths)
{
    mOrder.Add(paths);
    mCursor = index + 1;
    mAheadFrom = std::max(mAheadFrom, mCursor);
}

void ShuffleFeed::ListAhead()
{
    const std::int32_t end = std::min(mFolders.ListCount(), mCursor + 1 + kListedAhead);
    for (mAheadFrom = std::max(mAheadFrom, mCursor + 1); mAheadFrom < end; ++mAheadFrom) {
        try {
            // Asking without waiting starts the listing; its answer is taken
            // when the cursor gets there. (An archive found listed puts the
            // archives inside it behind it, which are started next.)
            mFolders.Files(mAheadFrom, false);
        } catch (const NotListedYet&) {
        } catch (const std::exception& e) {
            // Taking the folder says what is wrong with it.
            qCDebug(lcWalk) << "listing ahead for the shuffled order stopped:" << e.what();
            return;
        }
    }
}

void ShuffleFeed::Take(const QStringList& names)
{
    const QString folder = mFolders.FindDir(mCursor);
    if (mFolders.IsArchive(mCursor))
        mArchives.insert(folder.endsWith(u'/') ? folder.chopped(1) : folder);
    QStringList paths;
    paths.reserve(names.size());
    for (const QString& name : names)
        paths << JoinPath(folder, name);
    mOrder.Add(paths);
    ++mCursor;
}

bool ShuffleFeed::Feed(std::chrono::milliseconds budget)
{
    if (mOrder.Complete())
        return true;
    const auto end = std::chrono::steady_clock::now() + budget;
    while (std::chrono::steady_clock::now() < end) {
        try {
            if (mCursor >= mFolders.ListCount() && !mFolders.More(mCursor, false)) {
                mOrder.SetComplete();
                return true;
            }
            ListAhead();
            const std::int32_t inserted = mFolders.InsertedCount();
            Take(mFolders.Files(mCursor, false));
            // Archives found inside the one taken come next, not yet started.
            if (mFolders.InsertedCount() != inserted)
                mAheadFrom = mCursor;
        } catch (const NotListedYet&) {
            return false;
        } catch (const std::exception& e) {
            // A folder that cannot be listed has no pictures to shuffle.
            qCWarning(lcWalk).noquote() << "shuffled order: folder" << mCursor << "left out:" << e.what();
            ++mCursor;
        }
    }
    return false;
}

QString ShuffleFeed::ArchiveOf(const QString& picturePath) const
{
    if (mArchives.isEmpty())
        return {};
    // The innermost archive: archives inside archives are folders of their own.
    for (qsizetype slash = picturePath.lastIndexOf(u'/'); slash > 0; slash = picturePath.lastIndexOf(u'/', slash - 1))
        if (const QString folder = picturePath.left(slash); mArchives.contains(folder))
            return folder;
    return {};
}
