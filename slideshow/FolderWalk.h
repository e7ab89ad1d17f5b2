#pragma once
// The walk of a folder tree in the background: the start folder and every
// folder below it, in pre-order (the order ClsFolderList::SearchDirs gives),
// growing at its end while the walk goes on. Several folders are listed at
// once ahead of the walk's cursor, so that on a file system that answers
// slowly (a network share) the walk costs about one request per level, not
// one per folder, and the first folders are there long before the walk ends.
//
// Threads: the walk owns one thread that puts the folders in order and lists
// them while listings are fast, and, once a listing has taken kSlowListing or
// longer, kListingThreads more that list ahead, all mostly waiting on the file
// system; they sit beside the decoding threads. Destroying the walk stops it
// at once: a listing stuck in the file system (a stalled mount) is let go and
// ends on its own.
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <QStringList>

class FolderWalk {
public:
    static constexpr int kListingThreads = 12;

    // Files whose name this takes are archives, listed as folders where the
    // name order puts them among the subfolders.
    using ArchiveTest = std::function<bool(const QString& fileName)>;
    // Files whose name this takes are pictures: the walk keeps their names
    // from its own listing of a folder, for the show's first visit there.
    using PictureTest = std::function<bool(const QString& fileName)>;
    // The names kept, at most this many bytes of them at once, each for so
    // long after its folder was listed (a later visit lists it anew).
    static constexpr std::size_t kKeptNameBytes = 4 << 20;
    static constexpr std::chrono::seconds kKeptFor{5};
    using Clock = std::chrono::steady_clock;

    // A listing that takes longer than this starts the listing ahead; on a
    // fast disk, listing ahead would only cost time.
    static constexpr std::chrono::microseconds kSlowListing{1000};

    // Starts the walk of DirPath, which becomes folder 0 exactly as given.
    // isArchive and isPicture are called on the walk's own thread.
    explicit FolderWalk(const QString& DirPath, ArchiveTest isArchive = {},
                        int listingThreads = kListingThreads,
                        std::chrono::microseconds slowListing = kSlowListing, PictureTest isPicture = {});
    ~FolderWalk();
    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // What is known so far; any thread may ask. The count only grows, and
    // folder i never changes once it is there.
    std::int32_t Count() const;
    bool Finished() const;
    // Folder Index (0 <= Index < Count()); outside raises IndexOutOfRange.
    QString Path(std::int32_t Index) const;
    bool IsArchive(std::int32_t Index) const;

    // Wait until Count() > index or the walk has finished (true when
    // Count() > index), or until the deadline.
    bool WaitForIndex(std::int32_t index, Clock::time_point deadline) const;
    // Wait until the walk has finished; false at the deadline.
    bool WaitForEnd(Clock::time_point deadline) const;

    // The picture names the walk found in folder Index, when it kept them
    // and listed the folder less than kKeptFor ago. take marks the show's
    // visit: they are handed over, and none are kept after it (the visit
    // lists the folder itself).
    std::optional<QStringList> KeptPictures(std::int32_t Index, bool take);

    // Memory the folder table takes, in bytes.
    std::size_t TableBytes() const;

private:
    struct State;
    std::shared_ptr<State> mState;
};
