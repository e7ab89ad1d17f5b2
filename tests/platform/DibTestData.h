#pragma once
// Hand-built DIBs for the drawing tests: an info block (header, masks or
// colour table) and a bits block, as a plug-in would hand them over.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "platform/Dib.h"

struct TestDib {
    std::vector<unsigned char> info;
    std::vector<unsigned char> bits;

    BITMAPINFOHEADER& Header() { return *reinterpret_cast<BITMAPINFOHEADER*>(info.data()); }
    const BITMAPINFO* Info() const { return reinterpret_cast<const BITMAPINFO*>(info.data()); }
    const void* Bits() const { return bits.data(); }
    bool Check(std::string* why = nullptr) const
    {
        return CheckDibBlocks(info.data(), info.size(), bits.data(), bits.size(), why);
    }
};

// A DIB header with `extra` bytes (masks / colour table) behind it.
inline TestDib MakeDib(int width, int height, int bitCount, std::uint32_t compression = BI_RGB,
                       std::size_t extra = 0)
{
    TestDib d;
    d.info.assign(sizeof(BITMAPINFOHEADER) + extra, 0);
    BITMAPINFOHEADER& h = d.Header();
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = std::uint16_t(bitCount);
    h.biCompression = compression;
    return d;
}

inline std::size_t DibStride(int width, int bits)
{
    return ((std::size_t(width) * bits + 31) / 32) * 4;
}

// A palettised DIB with the given colours (0xRRGGBB) in its table.
inline TestDib MakePaletteDib(int width, int height, int bitCount, std::initializer_list<std::uint32_t> colours,
                              std::uint32_t compression = BI_RGB)
{
    TestDib d = MakeDib(width, height, bitCount, compression, colours.size() * 4);
    d.Header().biClrUsed = std::uint32_t(colours.size());
    std::size_t at = sizeof(BITMAPINFOHEADER);
    for (std::uint32_t c : colours) {
        d.info[at++] = c & 0xFF;
        d.info[at++] = (c >> 8) & 0xFF;
        d.info[at++] = (c >> 16) & 0xFF;
        d.info[at++] = 0;
    }
    return d;
}

inline void SetMasks(TestDib& d, std::uint32_t r, std::uint32_t g, std::uint32_t b)
{
    const std::uint32_t m[3] = {r, g, b};
    std::memcpy(d.info.data() + sizeof(BITMAPINFOHEADER), m, sizeof m);
}
