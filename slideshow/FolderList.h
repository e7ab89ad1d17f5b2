#pragma once
// The slide show's table of folders: the start folder and every folder below
// it, in the pre-order of the walk, read by index afterwards.
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <unordered_set>
#include <vector>
#include <sys/types.h>

class ClsFolderList {
public:
    // Files whose name this takes are archives, which the walk lists as
    // folders (unopened) where the name order puts them among the
    // subfolders. None when it is empty, as by default.
    using ArchiveTest = std::function<bool(const QString& fileName)>;
    void SetArchiveTest(ArchiveTest isArchive) { mIsArchive = std::move(isArchive); }

    // Element 0 becomes DirPath exactly as given; every folder below it follows.
    void SearchDirs(const QString& DirPath);
    // FolderList(Index); an Index outside 0..ListCount()-1 raises IndexOutOfRange.
    QString FindDir(std::int32_t Index) const;
    // The number of folders (0 before SearchDirs has run).
    std::int32_t ListCount() const;
    // Whether the folder at Index is an archive.
    bool IsArchive(std::int32_t Index) const;
    // Archives found inside the archive at Index, which follow it in order.
    void InsertArchives(std::int32_t Index, const QStringList& paths);

private:
    struct FolderId {
        dev_t device;
        ino_t inode;
        bool operator==(const FolderId&) const = default;
    };
    struct FolderIdHash {
        std::size_t operator()(const FolderId& id) const noexcept
        {
            return std::hash<ino_t>()(id.inode) * 31u + std::hash<dev_t>()(id.device);
        }
    };

    // Appends every folder below DirPath, depth first.
    void CollectSubDirs(const QString& DirPath);

    // Its last index is mFolderMax, ListCount() - 1.
    QStringList FolderList;
    std::vector<bool> mIsArchiveAt; // beside FolderList
    ArchiveTest mIsArchive;
    // Folders met in the walk, so that links never lead into one twice.
    std::unordered_set<FolderId, FolderIdHash> mVisited;
};
