#include "slideshow/FolderList.h"

#include "common/CheckedMath.h"
#include "common/RuntimeError.h"
#include "slideshow/WalkLog.h"

#include <string>

// Only messages turned on by rules are printed.
Q_LOGGING_CATEGORY(lcWalk, "velmora.walk", QtCriticalMsg)

void ClsFolderList::SearchDirs(const QString& DirPath)
{
    mInserted.clear();
    mInsertedCount = 0;
    mWalk.reset();
    mWalk = std::make_unique<FolderWalk>(DirPath, mIsArchive, FolderWalk::kListingThreads, FolderWalk::kSlowListing,
                                         mIsPicture);
}

ClsFolderList::Place ClsFolderList::Locate(std::int32_t Index) const
{
    std::int32_t before = 0; // inserted archives before the place
    for (const auto& [after, run] : mInserted) {
        if (Index <= after + before)
            break;
        if (Index <= after + before + std::int32_t(run.size()))
            return {after, &run, Index - after - before - 1};
        before += std::int32_t(run.size());
    }
    return {Index - before};
}

QString ClsFolderList::FindDir(std::int32_t Index) const
{
    if (Index < 0 || Index >= ListCount())
        throw RuntimeError(ErrorKind::IndexOutOfRange,
                           "folder index " + std::to_string(Index) + " is out of range");
    const Place place = Locate(Index);
    return place.run ? place.run->at(place.inRun) : mWalk->Path(place.walkIndex);
}

std::int32_t ClsFolderList::ListCount() const
{
    return mWalk ? mWalk->Count() + mInsertedCount : 0;
}

bool ClsFolderList::Complete() const { return !mWalk || mWalk->Finished(); }

std::optional<QStringList> ClsFolderList::KeptPictures(std::int32_t Index, bool take)
{
    if (Index < 0 || Index >= ListCount())
        return std::nullopt;
    const Place place = Locate(Index);
    return place.run ? std::nullopt : mWalk->KeptPictures(place.walkIndex, take);
}

bool ClsFolderList::IsArchive(std::int32_t Index) const
{
    if (Index < 0 || Index >= ListCount())
        return false;
    const Place place = Locate(Index);
    return place.run || mWalk->IsArchive(place.walkIndex);
}

void ClsFolderList::InsertArchives(std::int32_t Index, const QStringList& paths)
{
    FindDir(Index); // raises for an Index outside the list
    if (paths.isEmpty())
        return;
    CheckedAdd(ListCount() - 1, std::int32_t(paths.size()));
    const Place place = Locate(Index);
    // The run after the walk's folder: the one Index is in, or a new one.
    QStringList& run = mInserted[place.walkIndex];
    if (place.run) {
        for (qsizetype i = 0; i < paths.size(); ++i)
            run.insert(place.inRun + 1 + i, paths[i]);
    } else {
        run = paths + run;
    }
    mInsertedCount += std::int32_t(paths.size());
}
