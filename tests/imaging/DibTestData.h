#pragma once
// Hand-built DIBs for the drawing tests: an info block (header, masks or
// colour table) and a bits block, as a plug-in would hand them over.
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "imaging/Dib.h"

struct TestDib {
    std::vector<unsigned char> info;
    std::vector<unsigned char> bits;

    BITMAPINFOHEADER& Header() { return *reinterpret_cast<BITMAPINFOHEADER*>(info.data()); }
    const BITMAPINFO* Info() const { return reinterpret_cast<const BITMAPINFO*>(info.data()); }
    const void* Bits() const { return bits.data(); }
    codec::Result<void> Check() const { return CheckDibBlocks(info.data(), info.size(), bits.data(), bits.size()); }
};

// A DIB header followed by `table` (masks or colours, as little-endian
// DWORDs; colours are 0xRRGGBB, and biClrUsed counts them when `palette`).
inline TestDib MakeDib(int width, int height, int bitCount, std::uint32_t compression = BI_RGB,
                       std::initializer_list<std::uint32_t> table = {}, bool palette = false)
{
    TestDib d;
    d.info.assign(sizeof(BITMAPINFOHEADER), 0);
    d.Header() = {sizeof(BITMAPINFOHEADER), width, height, 1, std::uint16_t(bitCount), compression, 0, 0, 0,
                  palette ? std::uint32_t(table.size()) : 0, 0};
    for (std::uint32_t v : table)
        for (int shift : {0, 8, 16, 24})
            d.info.push_back((v >> shift) & 0xFF);
    return d;
}

inline TestDib MakePaletteDib(int width, int height, int bitCount, std::initializer_list<std::uint32_t> colours,
                              std::uint32_t compression = BI_RGB)
{
    return MakeDib(width, height, bitCount, compression, colours, true);
}
