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

// A search holds its folder's entries in memory: the folder's descriptor is
// closed before FindFirstFileA returns, so any number of searches can be
// open at once (a walk thousands of folders deep keeps one per level).
struct Search {
    std::vector<Entry> entries;
    std::string names;
    std::size_t next = 0;
};

// Handles are small numbers, positive also when a caller keeps them in 32
// bits; a handle names a live search or nothing.
std::mutex gLiveMutex;
std::unordered_map<FindHandle, Search*> gLive;
FindHandle gLastHandle = 0;

Search* LiveSearch(FindHandle handle)
{
    std::lock_guard lock(gLiveMutex);
    const auto it = gLive.find(handle);
    return it == gLive.end() ? nullptr : it->second;
}

// Opens a folder for reading. A path longer than the kernel takes in one
// piece is opened component by component, so deep trees stay searchable.
int OpenFolder(const std::string& path)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
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

} // namespace

FindHandle FindFirstFileA(const char* pattern, FindData* data)
{
    if (pattern == nullptr || data == nullptr)
        return INVALID_FIND_HANDLE;
    const std::string full(pattern);
    const std::size_t slash = full.rfind('/');
    std::string folder = slash == std::string::npos ? std::string(".") : full.substr(0, slash + 1);
    const std::string namePattern = slash == std::string::npos ? full : full.substr(slash + 1);
    // "*" and "*.*" take every name, also those without a dot.
    const bool all = namePattern == "*" || namePattern == "*.*";
    const std::u32string folded = all ? std::u32string() : FoldName(namePattern);

    const int fd = OpenFolder(folder);
    if (fd < 0)
        return INVALID_FIND_HANDLE;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return INVALID_FIND_HANDLE;
    }

    auto* search = new Search;
    while (const dirent* ent = readdir(dir)) {
        const char* name = ent->d_name;
        const std::size_t length = std::strlen(name);
        if (!all && !WildcardMatch(folded, FoldName(std::string_view(name, length))))
            continue;
        Entry e{0, static_cast<std::uint32_t>(search->names.size()), 0, 0};
        // Only entries that may be folders are looked at more closely;
        // plain files are known from the entry type alone.
        if (ent->d_type == DT_DIR || ent->d_type == DT_LNK || ent->d_type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
                e.attributes |= FILE_ATTRIBUTE_DIRECTORY;
                e.device = st.st_dev;
                e.inode = st.st_ino;
            }
        }
        if (name[0] == '.' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            e.attributes |= FILE_ATTRIBUTE_HIDDEN;
        search->names.append(name, length + 1);
        search->entries.push_back(e);
    }
    closedir(dir);

    // In name order, as the original platform's file system gives them.
    std::sort(search->entries.begin(), search->entries.end(), [&](const Entry& a, const Entry& b) {
        return CompareNames(search->names.c_str() + a.nameOffset, search->names.c_str() + b.nameOffset) < 0;
    });

    if (search->entries.empty()) {
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
    }
    Fill(*search, data);
    return handle;
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

int FindClose(FindHandle handle)
{
    Search* search = LiveSearch(handle);
    if (search == nullptr)
        return 0;
    {
        std::lock_guard lock(gLiveMutex);
        gLive.erase(handle);
    }
    delete search;
    return 1;
}
