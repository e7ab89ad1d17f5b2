#pragma once
// The show's place in the ring of all pictures of all folders, apart from
// any window: the current folder's listing, mFolderIndex, mFileIndex and
// mFirstFolder, and the one step that both the advance step takes and the
// look-ahead predicts.
#include <cstdint>
#include <functional>

#include <QString>
#include <QStringList>

// The folders of a show as the ring sees them: how many, each one's path,
// and the names of the picture files in one, sorted as the file list sorts
// them. The program's folders are on disk (ShowFolders); tests keep them in
// memory.
//
// Listing a folder may find folders inside it that the walk could not see
// (archives inside an archive): the source inserts them right after it, and
// the ring's indexes beyond it move up. A folder whose listing is still
// under way raises NotListedYet when the caller would not wait for it.
//
// The list may still grow at its end while the walk goes on: More says
// whether it grows past a count, waiting for the walk when wait is set, and
// raising NotListedYet without wait while the walk has not ended. A wait cut
// short raises WaitCutShort.
class FolderSource {
public:
    virtual ~FolderSource() = default;
    virtual std::int32_t ListCount() const = 0;
    virtual QString FindDir(std::int32_t Index) const = 0;
    virtual QStringList Files(std::int32_t Index, bool wait) = 0;
    virtual bool More(std::int32_t count, bool wait)
    {
        (void)wait;
        return ListCount() > count;
    }
    // How many folders listings have inserted so far, which tells them from
    // the walk's own growth during a listing. By default the list grows only
    // by insertions.
    virtual std::int32_t InsertedCount() const { return ListCount(); }
    // Whether the folder at Index is an archive.
    virtual bool IsArchive(std::int32_t Index) const
    {
        (void)Index;
        return false;
    }
};

struct NotListedYet {};

// A wait for the walk or a listing was cut short: the window is closing.
struct WaitCutShort {};

// Every folder of the ring was found without pictures: the show cannot go on.
struct NoPicturesLeft {};

// Which way a step goes through the ring.
enum class Direction { Forward, Back };

class PictureRing {
public:
    explicit PictureRing(FolderSource& folders) : mFolders(folders) {}

    // Goes to the first picture of the first folder, in list order, that
    // holds pictures; false when there is none.
    bool Start();
    // The same, then the picture fileName of the first folder when it is
    // one of its pictures (the show starts at a picture it was given).
    bool StartAt(const QString& fileName);
    // One step of the ring: the next file, else the next folder that holds
    // pictures, wrapping at both ends; a step back lowers the file index by
    // 2 first and then steps the same way. The path of the picture it
    // arrives at. Raises NoPicturesLeft when every folder has been found
    // empty in a row.
    QString Step(Direction direction);
    // The picture a step in direction (+1 next, -1 back) would show now, or
    // "" when it lies beyond a few folders without pictures; the ring stays.
    QString Peek(std::int32_t direction);
    // The pictures of the next steps in direction, nearest first (fewer when
    // the look gives up, as Peek does, or meets a folder still being listed).
    QStringList PeekAhead(std::int32_t direction, int steps);

    QString CurrentPath() const;
    // The paths of the current folder's pictures.
    QStringList FolderPaths() const;
    std::int32_t FolderIndex() const { return mFolderIndex; }
    std::int32_t FileIndex() const { return mFileIndex; }
    std::int32_t FirstFolder() const { return mFirstFolder; }

private:
    // What a step moves: the position and the listing of its folder.
    struct Position {
        std::int32_t folderIndex = 0;
        std::int32_t fileIndex = 0;
        QStringList files;
    };
    using Lister = std::function<QStringList(std::int32_t folderIndex, std::int32_t* found)>;
    // Whether there is a folder at index (the list may still be growing).
    using Exists = std::function<bool(std::int32_t index)>;

    // The step itself, on a position: what Step moves the ring by and what
    // the look-ahead predicts with.
    QString Move(Position& at, Direction direction, const Lister& list, const Exists& exists) const;
    // Lists a folder; folders found inside it move the ring's indexes
    // beyond it up, and *found (when given) says how many there were.
    QStringList Files(std::int32_t folderIndex, bool wait, std::int32_t* found = nullptr);

    FolderSource& mFolders;
    // The listing of folder mFolderIndex, taken when the ring moved there.
    QStringList mFiles;
    std::int32_t mFolderIndex = 0;
    std::int32_t mFileIndex = 0;
    std::int32_t mFirstFolder = 0;
};
