#pragma once
// Helpers the shipped plug-ins share: texts into the caller's buffer, the
// picture's bytes from a file or memory, and the progress callback. Header
// only, so that each plug-in stays one shared object of its own.
#include "spi00in.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <sys/types.h>

namespace spi {

// Copies text into buf without ever writing past buflen and without cutting
// a multi-byte character; returns the number of bytes before the NUL.
inline int CopyText(const char* text, char* buf, int buflen)
{
    if (!buf || buflen <= 0)
        return 0;
    std::size_t n = std::strlen(text);
    if (n > std::size_t(buflen - 1)) {
        n = std::size_t(buflen - 1);
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(buf, text, n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

// The picture's bytes, from a file (at an offset) or from the caller's memory.
struct Input {
    std::vector<unsigned char> owned;
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};

inline int ReadInput(const char* buf, std::intptr_t len, unsigned int flag, Input& in)
{
    if (!buf)
        return SPI_OTHER_ERROR;
    switch (flag & SPI_INPUT_MASK) {
    case SPI_INPUT_FILE: {
        if (len < 0)
            return SPI_FILE_READ_ERROR;
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(buf, "rb"), std::fclose);
        if (!file || fseeko(file.get(), 0, SEEK_END) != 0)
            return SPI_FILE_READ_ERROR;
        off_t end = ftello(file.get());
        if (end < 0 || fseeko(file.get(), off_t(len), SEEK_SET) != 0)
            return SPI_FILE_READ_ERROR;
        if (end <= off_t(len))
            return SPI_NOT_SUPPORT; // nothing at the offset
        std::uint64_t size = std::uint64_t(end - off_t(len));
        if (size > (std::uint64_t(1) << 32))
            return SPI_NO_MEMORY;
        try {
            in.owned.resize(std::size_t(size));
        } catch (const std::bad_alloc&) {
            return SPI_NO_MEMORY;
        }
        if (std::fread(in.owned.data(), 1, in.owned.size(), file.get()) != in.owned.size())
            return SPI_FILE_READ_ERROR;
        in.data = in.owned.data();
        in.size = in.owned.size();
        return SPI_SUCCESS;
    }
    case SPI_INPUT_MEMORY:
        if (len <= 0)
            return SPI_NOT_SUPPORT;
        in.data = reinterpret_cast<const unsigned char*>(buf);
        in.size = std::size_t(len);
        return SPI_SUCCESS;
    default:
        return SPI_NO_FUNCTION;
    }
}

inline bool Cancelled(SPI_PROGRESS progress, int num, int denom, std::intptr_t lData)
{
    return progress && progress(num, denom, lData) != 0;
}

} // namespace spi
