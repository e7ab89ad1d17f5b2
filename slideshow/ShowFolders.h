#pragma once
// The folders of a show on disk: the folder list of the walk and the file
// list File1, whose pattern says which files are pictures. A folder's
// pictures come from the walk's own listing on the first visit soon after
// it, else from a listing on a thread (FolderFiles), never the window's.
//
// With archives shown, an archive file is a folder too: the walk notes it
// without opening it, and it is listed (on a thread of its own, through
// the shelf) when the ring or the look-ahead first reaches it. Its pictures
// are its files that File1's pattern takes, by inner path; the archives
// inside it become folders that follow it. An archive the built-in reader
// cannot list goes to the archive plug-ins, whose patterns name archives too.
#include <functional>
#include <memory>

#include <QHash>
#include <QSet>

#include "archives/ArchiveNames.h"
#include "archives/ArchiveShelf.h"
#include "pluginhost/ClsArchivePluginManager.h"
#include "slideshow/FileList.h"
#include "slideshow/FolderFiles.h"
#include "slideshow/FolderList.h"
#include "slideshow/PictureRing.h"

class ShowFolders : public FolderSource {
public:
    // Archives inside archives are folders down to this depth (an archive
    // file is depth 0); deeper ones are left out.
    static constexpr int kMaxArchiveDepth = 3;

    // Off by default: archives are ordinary files, which no pattern takes.
    // plugins, when given, reads what the built-in reader cannot.
    void SetShowArchives(bool on, std::shared_ptr<const ClsArchivePluginManager> plugins = {});
    bool ShowArchives() const { return mShelf != nullptr; }
    // Waits until done() holds or timeoutMs has passed; false when the wait
    // was cut short (the window is closing). By default it sleeps between looks.
    using Waiter = std::function<bool(const std::function<bool()>& done, int timeoutMs)>;
    void SetWaiter(Waiter wait) { mWait = std::move(wait); }
    // Called on a listing thread when a folder the look-ahead asked for has
    // been listed: the look-ahead can look further.
    void SetOnListed(std::function<void()> onListed) { mFiles.SetOnListed(std::move(onListed)); }
    // The archives reached so far; null when archives are not shown.
    std::shared_ptr<const ArchiveShelf> Shelf() const { return mShelf; }

    void SearchDirs(const QString& DirPath);
    std::int32_t ListCount() const override { return FolderList.ListCount(); }
    QString FindDir(std::int32_t Index) const override { return FolderList.FindDir(Index); }
    QStringList Files(std::int32_t Index, bool wait) override;
    bool More(std::int32_t count, bool wait) override;
    std::int32_t InsertedCount() const override { return FolderList.InsertedCount(); }
    bool IsArchive(std::int32_t Index) const override { return FolderList.IsArchive(Index); }

    ClsFolderList FolderList;
    FileListBox File1;

private:
    QStringList ArchiveFiles(std::int32_t Index, bool wait);
    QStringList FolderPictures(std::int32_t Index, bool wait);
    // File1's pattern as the walk and the listing threads use it: a copy of
    // File1, made anew when its pattern changes.
    std::shared_ptr<const FileListBox> Pattern();
    // Waits in the window's way until done() holds: for up to timeoutMs, or
    // as long as it takes (-1). Raises WaitCutShort when the window closes.
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs) const;

    ArchiveNames mArchiveNames;
    std::shared_ptr<ArchiveShelf> mShelf;
    Waiter mWait;
    // The folders' listings, and the pattern they are made with.
    FolderFiles mFiles;
    std::shared_ptr<const FileListBox> mPattern;
    QString mWalkPattern; // the one the walk keeps picture names by
    // Archives inside archives not listed yet: where each one is.
    struct Nested {
        std::shared_ptr<const ArchiveContents> holder;
        int entry = -1;
    };
    QHash<QString, Nested> mNested;
    // The pictures of each archive listed, once its nested archives are in
    // the folder list.
    QHash<QString, QStringList> mArchivePictures;
    // Archives whose listing a step has waited for in vain.
    QSet<QString> mPassedOver;
};
