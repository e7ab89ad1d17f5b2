#pragma once
// The slide show's table of folders: the start folder and every folder below
// it, in the pre-order of the walk, read by index afterwards.
#include <QString>
#include <QStringList>

#include <cstdint>
#include <unordered_set>
#include <sys/types.h>

class ClsFolderList {
public:
    // Element 0 becomes DirPath exactly as given; every folder below it follows.
    void SearchDirs(const QString& DirPath);
    // FolderList(Index); an Index outside 0..ListCount()-1 raises IndexOutOfRange.
    QString FindDir(std::int32_t Index) const;
    // The number of folders (0 before SearchDirs has run).
    std::int32_t ListCount() const;

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
    // Folders met in the walk, so that links never lead into one twice.
    std::unordered_set<FolderId, FolderIdHash> mVisited;
};
