#pragma once
// The archives a show has reached, each known by its folder path: an archive
// file's own path, or for an archive inside another the holder's folder path,
// "/" and its inner path. A picture inside an archive is that folder path,
// "/" and the picture's inner path.
//
// Each listing runs on a thread the shelf starts and owns, so that an
// archive that lists slowly (a large compressed tar) or not at all (a
// stalled mount) never holds up the caller, which polls Find; a listing is
// never repeated. The shelf is shared by the show's thread and the decoding
// threads: one lock guards the table. Finished threads are joined; one still
// stuck when the shelf goes is let go, and its result is dropped.
//
// An archive the built-in reader cannot list goes to the shelf's other
// reader, when it has one (the archive plug-ins), on the same thread.
#include "archives/ArchiveIndex.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class ArchiveShelf {
public:
    using Opened = ArchiveContents::Opened;

    // An archive the built-in reader refused: in the file path, or (bytes
    // not null) the bytes of an archive inside another, named by path.
    // Nothing when the other reader does not take it either.
    struct Refused {
        QString path;
        const QByteArray* bytes = nullptr;
        int depth = 0;
    };
    using OtherReader = std::function<std::optional<Opened>(const Refused&)>;

    explicit ArchiveShelf(std::shared_ptr<EntryCache> cache = EntryCache::Shared(), OtherReader other = {});
    ~ArchiveShelf();
    ArchiveShelf(const ArchiveShelf&) = delete;
    ArchiveShelf& operator=(const ArchiveShelf&) = delete;

    // Starts listing the archive in the file folderPath (nothing when it was
    // started before).
    void BeginFile(const QString& folderPath);
    // Starts listing entry of the archive holder, an archive inside it whose
    // folder path is folderPath; maxBytes bounds its size.
    void BeginNested(const QString& folderPath, std::shared_ptr<const ArchiveContents> holder, int entry,
                     qint64 maxBytes);
    // The listing of folderPath: nothing while it runs (or was never begun),
    // else the index or why the archive could not be listed.
    std::optional<Opened> Find(const QString& folderPath) const;

    // The entry a picture path names, in the innermost archive whose folder
    // path starts it; nothing for a path outside every listed archive.
    struct Located {
        std::shared_ptr<const ArchiveContents> archive;
        int entry = -1;
    };
    std::optional<Located> Locate(const QString& picturePath) const;

private:
    struct Listed {
        Opened opened;
        QHash<QString, int> byPath; // inner path to entry
    };
    struct Table {
        mutable std::mutex mutex;
        QHash<QString, std::optional<Listed>> archives; // empty while listing
    };
    using Lister = std::function<Opened()>;
    void Begin(const QString& folderPath, Lister list);
    // Joins the listing threads that have finished.
    void JoinFinished();

    struct ListingThread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::shared_ptr<EntryCache> mCache;
    OtherReader mOther;
    std::shared_ptr<Table> mTable;
    std::vector<ListingThread> mThreads; // touched only by the thread that begins listings
};
