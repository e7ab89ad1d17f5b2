#include "slideshow/PictureRing.h"

#include "common/CheckedMath.h"
#include "common/PathText.h"
#include "slideshow/WalkLog.h"

namespace {

// How many folders the look-ahead lists before it gives up.
constexpr int kPeekFolders = 8;

struct GaveUp {};

} // namespace

QStringList PictureRing::Files(std::int32_t folderIndex) const
{
    return mFolders.Files(mFolders.FindDir(folderIndex));
}

bool PictureRing::Start()
{
    mFolderIndex = 0;
    mFileIndex = 0;
    mFiles = Files(0);
    while (mFiles.isEmpty()) {
        if (++mFolderIndex >= mFolders.ListCount())
            return false;
        mFiles = Files(mFolderIndex);
    }
    mFirstFolder = mFolderIndex;
    return true;
}

QString PictureRing::Move(Position& at, Direction direction, const Lister& list) const
{
    if (direction == Direction::Back)
        at.fileIndex = CheckedSub(at.fileIndex, 2);
    const std::int32_t count = mFolders.ListCount();
    // A position without a file (folder 0 without pictures after a wrap)
    // steps again.
    for (;;) {
        at.fileIndex = CheckedAdd(at.fileIndex, 1);
        if (at.fileIndex >= at.files.size()) {
            if (at.folderIndex >= count - 1) {
                at.folderIndex = 0;
                at.files = list(0);
            } else {
                ++at.folderIndex;
                at.files = list(at.folderIndex);
                while (at.files.isEmpty()) {
                    if (++at.folderIndex >= count)
                        at.folderIndex = 0;
                    at.files = list(at.folderIndex);
                }
            }
            at.fileIndex = 0;
        } else if (at.fileIndex < 0) {
            if (--at.folderIndex < mFirstFolder)
                at.folderIndex = count - 1;
            at.files = list(at.folderIndex);
            while (at.files.isEmpty()) {
                // Only when files were removed during the show does the walk
                // pass the first folder; it wraps rather than leave the list.
                if (--at.folderIndex < 0)
                    at.folderIndex = count - 1;
                at.files = list(at.folderIndex);
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
    const QString path = Move(at, direction, [&](std::int32_t index) {
        QStringList files = Files(index);
        if (!files.isEmpty())
            emptyInARow = 0;
        else if (++emptyInARow >= mFolders.ListCount())
            throw NoPicturesLeft{};
        return files;
    });
    mFolderIndex = at.folderIndex;
    mFileIndex = at.fileIndex;
    mFiles = at.files;
    return path;
}

QString PictureRing::Peek(std::int32_t direction) const
{
    return PeekAhead(direction, 1).value(0);
}

QStringList PictureRing::PeekAhead(std::int32_t direction, int steps) const
{
    Position at{mFolderIndex, mFileIndex, mFiles};
    int listed = 0;
    QStringList paths;
    try {
        for (int i = 0; i < steps; ++i) {
            paths << Move(at, direction < 0 ? Direction::Back : Direction::Forward, [&](std::int32_t index) {
                if (++listed > kPeekFolders)
                    throw GaveUp{};
                return Files(index);
            });
        }
    } catch (const GaveUp&) {
        // Too many folders without pictures ahead: the step walks them.
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
