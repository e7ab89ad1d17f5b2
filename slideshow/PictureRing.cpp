#include "slideshow/PictureRing.h"

#include "common/CheckedMath.h"
#include "common/PathText.h"
#include "slideshow/WalkLog.h"

namespace {

// How many folders the look-ahead lists before it gives up.
constexpr int kPeekFolders = 8;

struct GaveUp {};

} // namespace

QStringList PictureRing::Files(std::int32_t folderIndex, bool wait, std::int32_t* found)
{
    // Not the list's count: the walk may find folders at the end meanwhile.
    const std::int32_t before = mFolders.InsertedCount();
    QStringList files = mFolders.Files(folderIndex, wait);
    const std::int32_t added = mFolders.InsertedCount() - before;
    if (mFolderIndex > folderIndex)
        mFolderIndex += added;
    if (mFirstFolder > folderIndex)
        mFirstFolder += added;
    if (found)
        *found = added;
    return files;
}

bool PictureRing::Start()
{
    mFolderIndex = 0;
    mFileIndex = 0;
    mFiles = Files(0, true);
    while (mFiles.isEmpty()) {
        if (++mFolderIndex >= mFolders.ListCount() && !mFolders.More(mFolderIndex, true))
            return false;
        mFiles = Files(mFolderIndex, true);
    }
    mFirstFolder = mFolderIndex;
    return true;
}

bool PictureRing::StartAt(const QString& fileName)
{
    if (!Start())
        return false;
    if (const qsizetype at = mFiles.indexOf(fileName); mFolderIndex == 0 && at >= 0)
        mFileIndex = std::int32_t(at);
    return true;
}

QString PictureRing::Move(Position& at, Direction direction, const Lister& list, const Exists& exists) const
{
    if (direction == Direction::Back)
        at.fileIndex = CheckedSub(at.fileIndex, 2);
    // The last folder, once the walk has found them all.
    const auto last = [&] {
        while (exists(mFolders.ListCount())) {
        }
        return mFolders.ListCount() - 1;
    };
    // A position without a file (folder 0 without pictures after a wrap)
    // steps again.
    for (;;) {
        at.fileIndex = CheckedAdd(at.fileIndex, 1);
        if (at.fileIndex >= at.files.size()) {
            if (!exists(at.folderIndex + 1)) {
                at.folderIndex = 0;
                at.files = list(0, nullptr);
            } else {
                ++at.folderIndex;
                at.files = list(at.folderIndex, nullptr);
                while (at.files.isEmpty()) {
                    if (!exists(++at.folderIndex))
                        at.folderIndex = 0;
                    at.files = list(at.folderIndex, nullptr);
                }
            }
            at.fileIndex = 0;
        } else if (at.fileIndex < 0) {
            // Going back, the folder before is the last one found inside the
            // one listed, when listing found some.
            const auto listBack = [&] {
                std::int32_t found = 0;
                at.files = list(at.folderIndex, &found);
                while (found > 0) {
                    at.folderIndex += found;
                    at.files = list(at.folderIndex, &found);
                }
            };
            if (--at.folderIndex < mFirstFolder)
                at.folderIndex = last();
            listBack();
            while (at.files.isEmpty()) {
                // Only when files were removed during the show does the walk
                // pass the first folder; it wraps rather than leave the list.
                if (--at.folderIndex < 0)
                    at.folderIndex = last();
                listBack();
            }
            at.fileIndex = std::int32_t(at.files.size()) + at.fileIndex;
        }
        const QString name = at.files.value(at.fileIndex);
        if (!name.isEmpty())
            return JoinPath(mFolders.FindDir(at.folderIndex), name);
    }
}

QString PictureRing::Step(Direction direction)
{
    Position at{mFolderIndex, mFileIndex, mFiles};
    std::int32_t emptyInARow = 0;
    const QString path = Move(
        at, direction,
        [&](std::int32_t index, std::int32_t* found) {
            QStringList files = Files(index, true, found);
            if (!files.isEmpty())
                emptyInARow = 0;
            else if (++emptyInARow >= mFolders.ListCount() && !mFolders.More(mFolders.ListCount(), true))
                throw NoPicturesLeft{};
            return files;
        },
        [&](std::int32_t index) { return index < mFolders.ListCount() || mFolders.More(index, true); });
    mFolderIndex = at.folderIndex;
    mFileIndex = at.fileIndex;
    mFiles = at.files;
    return path;
}

QString PictureRing::Peek(std::int32_t direction)
{
    return PeekAhead(direction, 1).value(0);
}

QStringList PictureRing::PeekAhead(std::int32_t direction, int steps)
{
    Position at{mFolderIndex, mFileIndex, mFiles};
    int listed = 0;
    QStringList paths;
    try {
        for (int i = 0; i < steps; ++i) {
            paths << Move(
                at, direction < 0 ? Direction::Back : Direction::Forward,
                [&](std::int32_t index, std::int32_t* found) {
                    if (++listed > kPeekFolders)
                        throw GaveUp{};
                    return Files(index, false, found);
                },
                [&](std::int32_t index) { return index < mFolders.ListCount() || mFolders.More(index, false); });
        }
    } catch (const GaveUp&) {
        // Too many folders without pictures ahead: the step walks them.
    } catch (const NotListedYet&) {
        // What lies beyond is not known yet: the step waits for it.
    } catch (const std::exception& e) {
        // Looking ahead is only a guess; the step itself reports what is wrong.
        qCDebug(lcWalk) << "looking ahead stopped:" << e.what();
    }
    return paths;
}

QString PictureRing::CurrentPath() const
{
    return JoinPath(mFolders.FindDir(mFolderIndex), mFiles.value(mFileIndex));
}

QStringList PictureRing::FolderPaths() const
{
    const QString folder = mFolders.FindDir(mFolderIndex);
    QStringList paths;
    paths.reserve(mFiles.size());
    for (const QString& name : mFiles)
        paths << JoinPath(folder, name);
    return paths;
}
