#pragma once
// Profile (initialization) files, read and written one key per call, with the
// behaviour of the original platform for files that people and other
// programs write.
#include <cstdint>

// Copies the value of key in section (or def when the file, section or key is
// missing) into buf, cut to size - 1 bytes and NUL-terminated. Section and key
// names match case-insensitively; blanks around keys and values are dropped.
// Returns the number of bytes copied, without the NUL.
std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def,
                                       char* buf, std::uint32_t size, const char* fileName);

// Sets key in section to value, creating the file, section or key as needed
// and keeping every other line as it was, in the file's own line ending. The
// file is replaced atomically. A value holding a line break is not stored.
// Returns non-zero on success.
int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* fileName);
