#pragma once
// The quick PNG path's parts, shared by its files only: the chunks before
// the picture data (PngChunks.cpp), inflating the data (PngInflate.cpp) and
// turning the inflated rows into the picture (PngRows.cpp). PngFast.cpp
// puts them together.
#include "codecs/CodecResult.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <QImage>
#include <QRgb>
#include <QSize>

#include <sys/mman.h>

// QRgb rows are handled as bytes B, G, R, A.
static_assert(std::endian::native == std::endian::little);

namespace pngfast {

constexpr std::uint32_t kMaxChunk = 0x7FFFFFFF;

// A large buffer straight from the kernel, in huge pages where it allows:
// first touching 100 MB in 4 KiB pages costs more than inflating into it.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() { Reset(); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    bool Allocate(std::size_t n)
    {
        Reset();
        const std::size_t size = std::max<std::size_t>(n, 1);
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return false;
        if (size >= (std::size_t(2) << 20))
            madvise(p, size, MADV_HUGEPAGE);
        mData = static_cast<std::uint8_t*>(p);
        mSize = size;
        return true;
    }
    void Reset()
    {
        if (mData)
            munmap(mData, mSize);
        mData = nullptr;
        mSize = 0;
    }
    std::uint8_t* get() const { return mData; }

private:
    std::uint8_t* mData = nullptr;
    std::size_t mSize = 0;
};

enum ColourType { kGrey = 0, kRgb = 2, kPalette = 3, kGreyAlpha = 4, kRgba = 6 };

struct Png {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int depth = 0;
    int type = 0;
    int channels = 0;
    std::size_t rowBytes = 0; // without the filter byte
    int bpp = 0;              // bytes per pixel for the filters, at least 1
    bool alpha = false;       // alpha channel or tRNS
    bool trns = false;
    std::uint16_t trnsValue[3] = {}; // grey, or red green blue
    int paletteSize = 0;
    QRgb palette[256] = {}; // with tRNS applied; entries past the palette are opaque black, as in libpng
    Buffer raw;
    std::size_t rawSize = 0;
};

// How far the rows are inflated, shared between the inflating thread and
// the one that takes the rows.
struct Progress {
    // The last byte counts only once the checksum and the end are read, so
    // the last row waits for the verdict.
    static constexpr std::size_t kFailed = SIZE_MAX;
    static constexpr std::size_t kDone = SIZE_MAX - 1;
    std::atomic<std::size_t> inflated{0}; // bytes of rows, kDone or kFailed
    std::atomic<bool> stop{false};        // the rows are no longer wanted

    void Publish(std::size_t bytes)
    {
        inflated.store(bytes, std::memory_order_release);
        inflated.notify_all();
    }
    // Waits until at least bytes are inflated; false when inflating failed.
    bool WaitFor(std::size_t bytes)
    {
        std::size_t now = inflated.load(std::memory_order_acquire);
        while (now < bytes) {
            inflated.wait(now, std::memory_order_acquire);
            now = inflated.load(std::memory_order_acquire);
        }
        return now != kFailed;
    }
};

inline std::uint32_t Be32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

inline std::uint16_t Be16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }

inline bool ChunkIs(const std::uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

inline bool IsChunkType(const std::uint8_t* type)
{
    const auto letter = [](std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    return letter(type[0]) && letter(type[1]) && letter(type[2]) && letter(type[3]);
}

// The chunks before the picture data, read from the file's start into png;
// the file is left at the start of the first IDAT's data, and the result is
// that chunk's length. NotThisFormat for anything libpng might read
// differently.
codec::Result<std::uint32_t> ReadChunks(std::FILE* file, std::size_t maxBytes, Png* png);

// Inflates the picture data, read from the file at the first IDAT's data,
// into png->raw, publishing progress as it goes and ending with its verdict
// (Progress::kDone or kFailed).
void InflateRows(std::FILE* file, std::uint32_t firstLength, Png* png, Progress* progress);

// The rows as they are inflated: the whole picture as libpng gives it, or
// reduced to size while the rows come.
codec::Result<QImage> DecodeWhole(Png* png, Progress& progress);
codec::Result<QImage> DecodeReduced(Png* png, QSize size, Progress& progress);

} // namespace pngfast
