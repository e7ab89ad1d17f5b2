#include "slideshow/FolderList.h"

#include "common/CheckedMath.h"
#include "common/CodePage.h"
#include "common/PathText.h"
#include "common/RuntimeError.h"
#include "platform/DirSearch.h"

#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

// Folder names are mostly plain ASCII, which needs no decoding.
QString NameFromCodePage(const char* name, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(name[i]) >= 0x80)
            return FromCodePage(QByteArrayView(name, static_cast<qsizetype>(length)));
    return QString::fromLatin1(name, static_cast<qsizetype>(length));
}

// One folder being searched: its path with a final "/", as text and as the
// bytes handed to the file system, and the search with its current entry.
struct Frame {
    QString dir;
    std::string dirBytes;
    FindHandle handle = INVALID_FIND_HANDLE;
    FindData data{};
    bool entryPending = false;
};

// Ends the searches still open when an error leaves the walk early.
struct FrameStack {
    std::vector<Frame> frames;
    ~FrameStack()
    {
        for (const Frame& f : frames)
            FindClose(f.handle);
    }
};

void StartSearch(FrameStack& stack, QString dir, std::string dirBytes)
{
    Frame frame;
    frame.dir = std::move(dir);
    frame.dirBytes = std::move(dirBytes);
    frame.handle = FindFirstFileA((frame.dirBytes + "*").c_str(), &frame.data);
    if (frame.handle <= 0) {
        FindClose(frame.handle);
        return;
    }
    frame.entryPending = true;
    stack.frames.push_back(std::move(frame));
}

} // namespace

void ClsFolderList::SearchDirs(const QString& DirPath)
{
    FolderList = QStringList{DirPath};
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

// Depth first with an explicit stack instead of recursion, so that trees of
// any depth fit: a folder found is appended and searched at once, before the
// search of its parent goes on, which gives the pre-order of the tree.
void ClsFolderList::CollectSubDirs(const QString& DirPath)
{
    const QString dir = JoinPath(DirPath, QString());
    std::string dirBytes = ToCodePage(dir).toStdString();
    struct stat st;
    if (stat(dirBytes.c_str(), &st) == 0)
        mVisited.insert({st.st_dev, st.st_ino});

    FrameStack stack;
    StartSearch(stack, dir, std::move(dirBytes));
    while (!stack.frames.empty()) {
        Frame& frame = stack.frames.back();
        if (!frame.entryPending && !FindNextFileA(frame.handle, &frame.data)) {
            FindClose(frame.handle);
            stack.frames.pop_back();
            continue;
        }
        frame.entryPending = false;

        const FindData& entry = frame.data;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        const char* name = entry.cFileName;
        const std::size_t length = strnlen(name, sizeof entry.cFileName);
        const FolderId id{entry.folderDevice, entry.folderInode};
        if (std::strcmp(name, ".") == 0) {
            // The folder itself; covers a start folder that stat could not reach.
            mVisited.insert(id);
            continue;
        }
        if (std::strcmp(name, "..") == 0 || !mVisited.insert(id).second)
            continue;

        // The last index (mFolderMax) must stay a 32-bit value.
        CheckedAdd(std::int32_t(FolderList.size()) - 1, 1);
        const QString path = frame.dir + NameFromCodePage(name, length);
        FolderList.append(path);
        // The child's path is built from its exact name: a name may end in a
        // blank on Linux, and trimming it would lead to another folder.
        std::string childBytes = frame.dirBytes;
        childBytes.append(name, length);
        childBytes += '/';
        StartSearch(stack, path + u'/', std::move(childBytes));
    }
}
