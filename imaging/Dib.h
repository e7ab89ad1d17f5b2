#pragma once
// Device-independent bitmaps as plug-ins deliver them: a BITMAPINFO block
// (40-byte header, then masks or colour table) and a block of pixel rows.
#include <cstddef>
#include <cstdint>

#include <QImage>

#include "codecs/CodecResult.h"

#pragma pack(push, 1)
struct BITMAPINFOHEADER {
    std::uint32_t biSize;
    std::int32_t biWidth;
    std::int32_t biHeight;
    std::uint16_t biPlanes;
    std::uint16_t biBitCount;
    std::uint32_t biCompression;
    std::uint32_t biSizeImage;
    std::int32_t biXPelsPerMeter;
    std::int32_t biYPelsPerMeter;
    std::uint32_t biClrUsed;
    std::uint32_t biClrImportant;
};
struct RGBQUAD {
    std::uint8_t rgbBlue;
    std::uint8_t rgbGreen;
    std::uint8_t rgbRed;
    std::uint8_t rgbReserved;
};
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
};
#pragma pack(pop)
static_assert(sizeof(BITMAPINFOHEADER) == 40);

inline constexpr std::uint32_t BI_RGB = 0;
inline constexpr std::uint32_t BI_RLE8 = 1;
inline constexpr std::uint32_t BI_RLE4 = 2;
inline constexpr std::uint32_t BI_BITFIELDS = 3;

// Pictures whose decoded pixel data would exceed this are refused.
inline constexpr std::uint64_t kMaxDibPixelBytes = 1ull << 30;

// The layout of a DIB, where the one rule for it lives:
// - the bytes of one row of pixels, padded to a multiple of 4;
std::uint64_t DibStride(std::int64_t width, unsigned bitCount);
// - the bytes of the BITMAPINFO before the pixels of a packed DIB: the
//   header, the bit-field masks when a 40-byte header asks for them, then
//   biClrUsed colours (2^bits for up to 8 bits when biClrUsed is 0).
std::uint64_t DibInfoSize(const BITMAPINFOHEADER& h);

// Checks a DIB against the sizes of the blocks it came in: header size,
// width, height, planes, bit depth, compression, masks / colour table and
// pixel rows must all fit, and the decoded picture must stay within
// kMaxDibPixelBytes. The error says what did not fit: Unsupported for a
// depth or compression no DIB reader takes, TooLarge past the limit,
// Damaged for the rest.
codec::Result<void> CheckDibBlocks(const void* info, std::size_t infoSize, const void* bits, std::size_t bitsSize);

// Decodes a DIB that passed CheckDibBlocks into a top-down image
// (Format_RGB32). RLE data is read at most biSizeImage bytes far; runs past a
// row or the picture are cut off. The header's error when it is unusable,
// OutOfMemory when the image cannot be made.
codec::Result<QImage> DibToImage(const BITMAPINFO* info, const void* bits);
