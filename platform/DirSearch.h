#pragma once
// Directory search with find-first / find-next / close semantics.
#include <cstdint>
#include <sys/types.h>

inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;

struct FindData {
    std::uint32_t dwFileAttributes; // FILE_ATTRIBUTE_DIRECTORY for folders and links to folders
    char cFileName[260];            // the name in the system code page, NUL-terminated
    dev_t folderDevice;             // for links to folders and for ".": the device and inode
    ino_t folderInode;              // the name leads to; 0 for other entries
};

using FindHandle = std::intptr_t;
inline constexpr FindHandle INVALID_FIND_HANDLE = -1;

// pattern: a folder path ending in "/" followed by a file-name pattern
// ("*", "*.spi"), matched case-insensitively. Fills *data with the first
// matching entry and returns a handle > 0, or INVALID_FIND_HANDLE when the
// folder cannot be searched or nothing matches. Entries come in the file
// system's own order, "." and ".." included.
FindHandle FindFirstFileA(const char* pattern, FindData* data);
// The same for a folder below the folder of an open search: pattern is
// relative to it ("sub/*"). The folder is reached from the open search
// rather than by its whole path.
FindHandle FindFirstFileInA(FindHandle folder, const char* pattern, FindData* data);
// Non-zero while a further entry was filled into *data; 0 at the end.
int FindNextFileA(FindHandle handle, FindData* data);
// The device and inode of the searched folder itself, as it was opened
// (after following links). Non-zero on success.
int FindFolderIdentity(FindHandle handle, dev_t* device, ino_t* inode);
// Ends the search; any handle value is accepted.
int FindClose(FindHandle handle);
