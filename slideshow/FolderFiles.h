#pragma once
// The picture names of the show's folders on disk, each folder listed on a
// thread of its own: a folder that answers slowly or never (a stalled
// network share) never holds the window, which waits for a listing with its
// events going on. A step lists its folder anew; the look-ahead lists the
// folders ahead, so that their pictures can be decoded before the step.
//
// Threads: started as listings need them, up to kMaxListings (and one more
// for a step when all are stuck in the file system), mostly waiting on the
// file system beside the decoding threads. When this object goes, idle ones
// end and one stuck in a listing is let go and ends on its own.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <QHash>
#include <QString>
#include <QStringList>

class FolderFiles {
public:
    static constexpr int kMaxListings = 16;
    // A listing serves the look-ahead this long after it was made.
    static constexpr std::chrono::milliseconds kFreshFor{5000};

    // Lists one folder; runs on the listing threads, so it must own all it
    // uses.
    using Lister = std::function<QStringList(const QString& path)>;

    // One folder's listing, shared by whoever waits for it.
    class Listing {
    public:
        bool Done() const;
        // Waits up to timeout; true when done.
        bool WaitFor(std::chrono::milliseconds timeout) const;
        // The names, once done.
        QStringList Names() const;

    private:
        friend class FolderFiles;
        struct State;
        std::shared_ptr<State> mState;
    };

    FolderFiles();
    ~FolderFiles();
    FolderFiles(const FolderFiles&) = delete;
    FolderFiles& operator=(const FolderFiles&) = delete;

    // How folders are listed from now on; what was listed before is dropped.
    void SetLister(Lister list);
    // Called on a listing thread whenever a listing started by Ahead is
    // done, while this object lives.
    void SetOnListed(std::function<void()> onListed);

    // A new listing of path, for a step.
    Listing ForStep(const QString& path);
    // The listing of path for the look-ahead: a fresh one done or under
    // way, else a new one while fewer than kMaxListings are under way.
    std::optional<Listing> Ahead(const QString& path);
    void Clear();

private:
    struct Shared;
    Listing Start(const QString& path, bool ahead);

    std::shared_ptr<Shared> mShared;
    Lister mList;
    QHash<QString, Listing> mListings;
};
