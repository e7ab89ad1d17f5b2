#pragma once
// The folders of a show on disk: the folder list of the walk and the file
// list File1, which lists the pictures of one folder by the show's pattern.
#include "slideshow/FileList.h"
#include "slideshow/FolderList.h"
#include "slideshow/PictureRing.h"

class ShowFolders : public FolderSource {
public:
    void SearchDirs(const QString& DirPath) { FolderList.SearchDirs(DirPath); }
    std::int32_t ListCount() const override { return FolderList.ListCount(); }
    QString FindDir(std::int32_t Index) const override { return FolderList.FindDir(Index); }
    QStringList Files(const QString& folder) override
    {
        File1.SetPath(folder);
        return File1.Names();
    }

    ClsFolderList FolderList;
    FileListBox File1;
};
