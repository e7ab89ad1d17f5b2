#pragma once
// The slide show's table of folders: the start folder and every folder below
// it, in the pre-order of the walk, read by index. The walk runs in the
// background (FolderWalk): the table grows at its end while the show runs,
// and is the whole tree once Complete() says so.
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "slideshow/FolderWalk.h"

class ClsFolderList {
public:
    // Files whose name this takes are archives, which the walk lists as
    // folders (unopened) where the name order puts them among the
    // subfolders. None when it is empty, as by default. Set before SearchDirs.
    using ArchiveTest = FolderWalk::ArchiveTest;
    void SetArchiveTest(ArchiveTest isArchive) { mIsArchive = std::move(isArchive); }
    // Files whose name this takes are pictures, whose names the walk keeps
    // for a while (KeptPictures). Set before SearchDirs.
    void SetPictureTest(FolderWalk::PictureTest isPicture) { mIsPicture = std::move(isPicture); }

    // Element 0 becomes DirPath exactly as given; every folder below it
    // follows as the walk finds it. A list searched before is dropped.
    void SearchDirs(const QString& DirPath);
    // FolderList(Index); an Index outside 0..ListCount()-1 raises IndexOutOfRange.
    QString FindDir(std::int32_t Index) const;
    // The number of folders known so far (0 before SearchDirs has run).
    std::int32_t ListCount() const;
    // Whether the walk has found every folder.
    bool Complete() const;
    // The picture names the walk found in the folder at Index, when it has
    // them still (FolderWalk::KeptPictures).
    std::optional<QStringList> KeptPictures(std::int32_t Index, bool take);
    // Whether the folder at Index is an archive.
    bool IsArchive(std::int32_t Index) const;
    // Archives found inside the archive at Index, which follow it in order.
    void InsertArchives(std::int32_t Index, const QStringList& paths);
    // How many archives have been inserted so far.
    std::int32_t InsertedCount() const { return mInsertedCount; }

private:
    // Where an index of the list points: a folder of the walk, or one of the
    // archives inserted after it.
    struct Place {
        std::int32_t walkIndex;
        const QStringList* run = nullptr; // the inserted archives it is one of
        qsizetype inRun = -1;
    };
    Place Locate(std::int32_t Index) const;

    std::unique_ptr<FolderWalk> mWalk;
    ArchiveTest mIsArchive;
    FolderWalk::PictureTest mIsPicture;
    // Archives inserted after a folder of the walk, by that folder's index.
    std::map<std::int32_t, QStringList> mInserted;
    std::int32_t mInsertedCount = 0;
};
