#include "platform/DirSearch.h"

#include "common/NameMatch.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Entry {
    std::uint32_t attributes;
    std::uint32_t nameOffset; // into Search::names, NUL-terminated there
    dev_t device;
    ino_t inode;
};

// A search holds its folder's entries in memory. It keeps the folder open
// only while few searches do, so that subfolders open relative to it (no
// path lookup from the root); any number of searches can be open at once
// (a walk thousands of folders deep keeps one per level).
struct Search {
    std::string folder; // as opened, ending in "/"
    int fd = -1;        // kept open for searches of its subfolders, while few are
    dev_t device = 0;   // of the searched folder
    ino_t inode = 0;
    std::vector<Entry> entries;
    std::string names;
    std::size_t next = 0;
};

// Handles are small numbers, positive also when a caller keeps them in 32
// bits; a handle names a live search or nothing.
std::mutex gLiveMutex;
std::unordered_map<FindHandle, Search*> gLive;
FindHandle gLastHandle = 0;
int gOpenFolders = 0; // searches holding their folder open
constexpr int kMaxOpenFolders = 64;

Search* LiveSearch(FindHandle handle)
{
    std::lock_guard lock(gLiveMutex);
    const auto it = gLive.find(handle);
    return it == gLive.end() ? nullptr : it->second;
}

// Opens a folder for reading. A path longer than the kernel takes in one
// piece is opened component by component, so deep trees stay searchable.
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

int OpenFolder(const std::string& path)
{
    const int flags = kFolderFlags;
    int fd = open(path.c_str(), flags);
    if (fd >= 0 || errno != ENAMETOOLONG)
        return fd;
    int at = path.starts_with('/') ? open("/", flags) : open(".", flags);
    std::size_t pos = 0;
    while (at >= 0 && pos < path.size()) {
        const std::size_t slash = path.find('/', pos);
        const std::size_t stop = slash == std::string::npos ? path.size() : slash;
        if (stop > pos) {
            const std::string part = path.substr(pos, stop - pos);
            const int sub = openat(at, part.c_str(), flags);
            close(at);
            at = sub;
        }
        pos = stop + 1;
    }
    return at;
}

void Fill(const Search& search, FindData* data)
{
    const Entry& e = search.entries[search.next];
    data->dwFileAttributes = e.attributes;
    std::strncpy(data->cFileName, search.names.c_str() + e.nameOffset, sizeof data->cFileName - 1);
    data->cFileName[sizeof data->cFileName - 1] = '\0';
    data->folderDevice = e.device;
    data->folderInode = e.inode;
}

// Adds one listed entry that matches the pattern.
void AddEntry(Search& search, int fd, const char* name, unsigned char type, bool all, const std::u32string& folded)
{
    const std::size_t length = std::strlen(name);
    if (!all && !WildcardMatch(folded, FoldName(std::string_view(name, length))))
        return;
    Entry e{0, static_cast<std::uint32_t>(search.names.size()), 0, 0};
    // The entry type tells folders and files apart; only links and entries
    // of unknown type need a look at what they lead to. A folder's identity
    // is taken when it is searched itself.
    if (type == DT_DIR) {
        e.attributes |= FILE_ATTRIBUTE_DIRECTORY;
        if (std::strcmp(name, ".") == 0) {
            e.device = search.device;
            e.inode = search.inode;
        }
    } else if (type == DT_LNK || type == DT_UNKNOWN) {
        struct stat st;
        if (fstatat(fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
            e.attributes |= FILE_ATTRIBUTE_DIRECTORY;
            e.device = st.st_dev;
            e.inode = st.st_ino;
        }
    }
    if (name[0] == '.' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
        e.attributes |= FILE_ATTRIBUTE_HIDDEN;
    search.names.append(name, length + 1);
    search.entries.push_back(e);
}

} // namespace

namespace {

// Lists the open folder fd (taken over) into a new search of the entries
// that match namePattern.
FindHandle StartSearch(int fd, std::string folder, const std::string& namePattern, FindData* data)
{
    if (fd < 0)
        return INVALID_FIND_HANDLE;
    // "*" and "*.*" take every name, also those without a dot.
    const bool all = namePattern == "*" || namePattern == "*.*";
    const std::u32string folded = all ? std::u32string() : FoldName(namePattern);

    auto* search = new Search;
    search->folder = std::move(folder);
    struct stat self;
    if (fstat(fd, &self) == 0) {
        search->device = self.st_dev;
        search->inode = self.st_ino;
    }
    // The entries straight from the kernel, a buffer at a time: no stdio
    // directory stream, whose setup costs more system calls than the
    // listing itself in a walk of many small folders.
    alignas(8) char buffer[32 * 1024];
    for (;;) {
        const ssize_t got = getdents64(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto* ent = reinterpret_cast<const dirent64*>(buffer + at);
            at += ent->d_reclen;
            AddEntry(*search, fd, ent->d_name, ent->d_type, all, folded);
        }
    }

    // In name order, as the original platform's file system gives them.
    std::sort(search->entries.begin(), search->entries.end(), [&](const Entry& a, const Entry& b) {
        return CompareNames(search->names.c_str() + a.nameOffset, search->names.c_str() + b.nameOffset) < 0;
    });

    if (search->entries.empty()) {
        close(fd);
        delete search;
        return INVALID_FIND_HANDLE;
    }
    FindHandle handle;
    {
        std::lock_guard lock(gLiveMutex);
        do
            gLastHandle = gLastHandle >= 0x7FFFFFFF ? 1 : gLastHandle + 1;
        while (gLive.count(gLastHandle));
        handle = gLastHandle;
        gLive.emplace(handle, search);
        if (gOpenFolders < kMaxOpenFolders) {
            search->fd = fd;
            ++gOpenFolders;
        }
    }
    if (search->fd < 0)
        close(fd);
    Fill(*search, data);
    return handle;
}

// Splits "folder/pattern" at its last "/"; the folder keeps the "/".
std::pair<std::string, std::string> SplitPattern(const std::string& full, const char* noFolder)
{
    const std::size_t slash = full.rfind('/');
    if (slash == std::string::npos)
        return {noFolder, full};
    return {full.substr(0, slash + 1), full.substr(slash + 1)};
}

} // namespace

FindHandle FindFirstFileA(const char* pattern, FindData* data)
{
    if (pattern == nullptr || data == nullptr)
        return INVALID_FIND_HANDLE;
    auto [folder, namePattern] = SplitPattern(pattern, "./");
    const int fd = OpenFolder(folder);
    return StartSearch(fd, std::move(folder), namePattern, data);
}

FindHandle FindFirstFileInA(FindHandle folder, const char* pattern, FindData* data)
{
    if (pattern == nullptr || data == nullptr || pattern[0] == '/')
        return INVALID_FIND_HANDLE;
    std::string parentFolder;
    int at = -1;
    {
        std::lock_guard lock(gLiveMutex);
        const auto it = gLive.find(folder);
        if (it == gLive.end())
            return INVALID_FIND_HANDLE;
        parentFolder = it->second->folder;
        at = it->second->fd;
    }
    auto [sub, namePattern] = SplitPattern(pattern, "");
    std::string path = parentFolder + sub;
    const int fd = at >= 0 ? openat(at, sub.empty() ? "." : sub.c_str(), kFolderFlags) : OpenFolder(path);
    return StartSearch(fd, std::move(path), namePattern, data);
}

int FindNextFileA(FindHandle handle, FindData* data)
{
    Search* search = LiveSearch(handle);
    if (search == nullptr || data == nullptr || search->next + 1 >= search->entries.size())
        return 0;
    ++search->next;
    Fill(*search, data);
    return 1;
}

int FindFolderIdentity(FindHandle handle, dev_t* device, ino_t* inode)
{
    const Search* search = LiveSearch(handle);
    if (search == nullptr || device == nullptr || inode == nullptr || search->inode == 0)
        return 0;
    *device = search->device;
    *inode = search->inode;
    return 1;
}

int FindClose(FindHandle handle)
{
    Search* search = LiveSearch(handle);
    if (search == nullptr)
        return 0;
    {
        std::lock_guard lock(gLiveMutex);
        gLive.erase(handle);
        if (search->fd >= 0)
            --gOpenFolders;
    }
    if (search->fd >= 0)
        close(search->fd);
    delete search;
    return 1;
}
