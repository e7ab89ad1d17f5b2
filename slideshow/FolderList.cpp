#include "slideshow/FolderList.h"

#include "common/CheckedMath.h"
#include "common/CodePage.h"
#include "common/PathText.h"
#include "common/RuntimeError.h"
#include "platform/DirSearch.h"
#include "slideshow/WalkLog.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

// Only messages turned on by rules are printed.
Q_LOGGING_CATEGORY(lcWalk, "velmora.walk", QtCriticalMsg)

namespace {

QString NameFromCodePage(const char* name, std::size_t length)
{
    return FromCodePage(QByteArrayView(name, static_cast<qsizetype>(length)));
}

// One folder being searched: its path with a final "/", as text and as the
// bytes handed to the file system, and the search with its current entry.
struct Frame {
    QString dir;
    std::string dirBytes;
    FindHandle handle = INVALID_FIND_HANDLE;
    FindData data{};
    bool entryPending = false;
    int error = 0; // why the search could not be opened, when known
};

// Its pictures and the folders below it are missed without a word on screen.
void TellUnreadable(const Frame& frame)
{
    qCWarning(lcWalk).noquote() << "folder" << frame.dir << "cannot be read:"
                                << (frame.error ? QString::fromLocal8Bit(std::strerror(frame.error))
                                                : QStringLiteral("nothing could be listed"));
}

// Ends the searches still open when an error leaves the walk early.
struct FrameStack {
    std::vector<Frame> frames;
    ~FrameStack()
    {
        for (const Frame& f : frames)
            FindClose(f.handle);
    }
};

// Opens the search of a folder (below the parent's open search when there
// is one), or gives an empty frame when it cannot be searched.
Frame OpenSearch(QString dir, std::string dirBytes, const Frame* parent = nullptr, std::string_view name = {})
{
    Frame frame;
    frame.dir = std::move(dir);
    frame.dirBytes = std::move(dirBytes);
    errno = 0;
    frame.handle = parent ? FindFirstFileInA(parent->handle, (std::string(name) + "/*").c_str(), &frame.data)
                          : FindFirstFileA((frame.dirBytes + "*").c_str(), &frame.data);
    if (frame.handle <= 0) {
        frame.error = errno;
        FindClose(frame.handle);
        frame.handle = INVALID_FIND_HANDLE;
        return frame;
    }
    frame.entryPending = true;
    return frame;
}

} // namespace

void ClsFolderList::SearchDirs(const QString& DirPath)
{
    FolderList = QStringList{DirPath};
    mIsArchiveAt.assign(1, false);
    mVisited.clear();
    CollectSubDirs(DirPath);
}

QString ClsFolderList::FindDir(std::int32_t Index) const
{
    if (Index < 0 || Index >= FolderList.size())
        throw RuntimeError(ErrorKind::IndexOutOfRange,
                           "folder index " + std::to_string(Index) + " is out of range");
    return FolderList.at(Index);
}

std::int32_t ClsFolderList::ListCount() const
{
    return std::int32_t(FolderList.size());
}

bool ClsFolderList::IsArchive(std::int32_t Index) const
{
    return Index >= 0 && std::size_t(Index) < mIsArchiveAt.size() && mIsArchiveAt[std::size_t(Index)];
}

void ClsFolderList::InsertArchives(std::int32_t Index, const QStringList& paths)
{
    FindDir(Index); // raises for an Index outside the list
    CheckedAdd(std::int32_t(FolderList.size()) - 1, std::int32_t(paths.size()));
    for (qsizetype i = 0; i < paths.size(); ++i)
        FolderList.insert(Index + 1 + i, paths[i]);
    mIsArchiveAt.insert(mIsArchiveAt.begin() + Index + 1, std::size_t(paths.size()), true);
}

// Depth first with an explicit stack instead of recursion, so that trees of
// any depth fit: a folder found is appended and searched at once, before the
// search of its parent goes on, which gives the pre-order of the tree.
void ClsFolderList::CollectSubDirs(const QString& DirPath)
{
    const QString dir = JoinPath(DirPath, QString());
    FrameStack stack;
    Frame start = OpenSearch(dir, ToCodePage(dir).toStdString());
    if (start.handle == INVALID_FIND_HANDLE) {
        TellUnreadable(start);
        return;
    }
    FolderId startId{};
    if (FindFolderIdentity(start.handle, &startId.device, &startId.inode))
        mVisited.insert(startId);
    stack.frames.push_back(std::move(start));
    while (!stack.frames.empty()) {
        Frame& frame = stack.frames.back();
        if (!frame.entryPending && !FindNextFileA(frame.handle, &frame.data)) {
            FindClose(frame.handle);
            stack.frames.pop_back();
            continue;
        }
        frame.entryPending = false;

        const FindData& entry = frame.data;
        const char* name = entry.cFileName;
        const std::size_t length = strnlen(name, sizeof entry.cFileName);
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            // An archive stands where its name falls among the subfolders;
            // it is opened only when the show reaches it.
            if (mIsArchive) {
                const QString fileName = NameFromCodePage(name, length);
                if (mIsArchive(fileName)) {
                    CheckedAdd(std::int32_t(FolderList.size()) - 1, 1);
                    FolderList.append(frame.dir + fileName);
                    mIsArchiveAt.push_back(true);
                }
            }
            continue;
        }
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;

        // The child's path is built from its exact name: a name may end in a
        // blank on Linux, and trimming it would lead to another folder.
        std::string childBytes = frame.dirBytes;
        childBytes.append(name, length);
        childBytes += '/';
        const QString path = frame.dir + NameFromCodePage(name, length);
        Frame child = OpenSearch(path + u'/', childBytes, &frame, std::string_view(name, length));
        // A folder is known by the identity of what was opened, so that a
        // link to a folder met before (or to an ancestor) is not walked
        // again. A folder that cannot be searched is still listed once.
        FolderId id{};
        bool known = false;
        if (child.handle != INVALID_FIND_HANDLE) {
            known = FindFolderIdentity(child.handle, &id.device, &id.inode) != 0;
        } else {
            struct stat st;
            known = stat(childBytes.c_str(), &st) == 0;
            id = {st.st_dev, st.st_ino};
        }
        if (known && !mVisited.insert(id).second) {
            FindClose(child.handle);
            continue;
        }
        if (child.handle != INVALID_FIND_HANDLE)
            stack.frames.push_back(std::move(child));
        else
            TellUnreadable(child);
        // The last index (mFolderMax) must stay a 32-bit value.
        CheckedAdd(std::int32_t(FolderList.size()) - 1, 1);
        FolderList.append(path);
        mIsArchiveAt.push_back(false);
    }
}
