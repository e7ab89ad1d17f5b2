#pragma once
// Directory search with find-first / find-next / close semantics.
#include <cstdint>
#include <sys/types.h>

inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;

struct FindData {
    std::uint32_t dwFileAttributes; // FILE_ATTRIBUTE_DIRECTORY for folders and links to folders
    char cFileName[260];            // the name in the system code page, NUL-terminated
    dev_t folderDevice;             // for folders: the device and inode the name leads to
    ino_t folderInode;
};

using FindHandle = std::intptr_t;
inline constexpr FindHandle INVALID_FIND_HANDLE = -1;

// pattern: a folder path ending in "/" followed by a file-name pattern
// ("*", "*.spi"), matched case-insensitively. Fills *data with the first
// matching entry and returns a handle > 0, or INVALID_FIND_HANDLE when the
// folder cannot be searched or nothing matches. Entries come in the file
// system's own order, "." and ".." included.
FindHandle FindFirstFileA(const char* pattern, FindData* data);
// Non-zero while a further entry was filled into *data; 0 at the end.
int FindNextFileA(FindHandle handle, FindData* data);
// Ends the search; any handle value is accepted.
int FindClose(FindHandle handle);
