// The quick PNG path's reading of the chunks before the picture data: the
// signature, the chunk walk, IHDR and the colour chunks. Whatever libpng
// might read differently is left to it.
#include "imaging/PngFastParts.h"

#include <vector>

namespace pngfast {

namespace {

using codec::ErrorKind;

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// libpng's default limits: larger sides, or larger chunks other than IDAT,
// are errors there, so they are left to it.
constexpr std::uint32_t kMaxSide = 1000000;
constexpr std::uint32_t kMaxOtherChunk = 8000000;
constexpr std::uint64_t kMemoryMargin = std::uint64_t(48) << 20;

codec::Error LeftToLibpng(const char* why) { return codec::Fail(ErrorKind::NotThisFormat, why); }
codec::Error Damaged(const char* why) { return codec::Fail(ErrorKind::Damaged, why); }

bool Read(std::FILE* file, void* to, std::size_t n) { return n == 0 || std::fread(to, 1, n, file) == n; }

codec::Result<void> ReadHeader(const std::uint8_t* d, std::size_t maxBytes, Png* png)
{
    png->width = Be32(d);
    png->height = Be32(d + 4);
    png->depth = d[8];
    png->type = d[9];
    if (png->width == 0 || png->height == 0)
        return Damaged("picture size not positive");
    if (png->width > kMaxSide || png->height > kMaxSide)
        return codec::Fail(ErrorKind::TooLarge, "side longer than libpng takes");
    // Compression and filter method 0; interlaced pictures go to libpng.
    if (d[10] != 0 || d[11] != 0)
        return Damaged("unknown compression or filter method");
    if (d[12] != 0)
        return LeftToLibpng("interlaced");
    const int depth = png->depth;
    switch (png->type) {
    case kGrey:
        if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16)
            return Damaged("bit depth not one of its colour type");
        png->channels = 1;
        break;
    case kRgb:
        png->channels = 3;
        break;
    case kPalette:
        if (depth != 1 && depth != 2 && depth != 4 && depth != 8)
            return Damaged("bit depth not one of its colour type");
        png->channels = 1;
        break;
    case kGreyAlpha:
        png->channels = 2;
        break;
    case kRgba:
        png->channels = 4;
        break;
    default:
        return Damaged("unknown colour type");
    }
    if (png->type != kGrey && png->type != kPalette && depth != 8 && depth != 16)
        return Damaged("bit depth not one of its colour type");
    const std::uint64_t bits = std::uint64_t(png->width) * std::uint64_t(png->channels) * std::uint64_t(depth);
    png->rowBytes = std::size_t((bits + 7) / 8);
    png->bpp = std::max(1, png->channels * depth / 8);
    const std::uint64_t raw = (std::uint64_t(png->rowBytes) + 1) * png->height;
    const std::uint64_t pixels = std::uint64_t(png->width) * png->height * 4;
    if (raw > maxBytes || pixels > maxBytes)
        return codec::Fail(ErrorKind::TooLarge, "picture larger than allowed");
    png->rawSize = std::size_t(raw);
    png->alpha = png->type == kGreyAlpha || png->type == kRgba;
    return {};
}

codec::Result<void> ReadPalette(const std::uint8_t* d, std::uint32_t length, Png* png)
{
    if (length == 0 || length % 3 != 0 || png->paletteSize != 0)
        return Damaged("palette damaged or repeated");
    const std::uint32_t count = length / 3;
    // libpng cuts a palette too long for the bit depth; rare enough to leave to it.
    if (png->type == kPalette && count > (1u << png->depth))
        return LeftToLibpng("palette longer than the bit depth allows");
    if (count > 256)
        return Damaged("palette longer than 256 colours");
    for (std::uint32_t i = 0; i < count; ++i)
        png->palette[i] = qRgb(d[3 * i], d[3 * i + 1], d[3 * i + 2]);
    png->paletteSize = int(count);
    return {};
}

codec::Result<void> ReadTransparency(const std::uint8_t* d, std::uint32_t length, Png* png)
{
    // libpng warns about these and goes on without the chunk.
    const codec::Error unusual = LeftToLibpng("unusual transparency chunk");
    if (png->trns)
        return unusual;
    const std::uint32_t sampleMax = png->depth == 16 ? 0xFFFF : (1u << png->depth) - 1;
    switch (png->type) {
    case kGrey:
        if (length != 2 || Be16(d) > sampleMax)
            return unusual;
        png->trnsValue[0] = Be16(d);
        break;
    case kRgb:
        if (length != 6)
            return unusual;
        for (int i = 0; i < 3; ++i) {
            png->trnsValue[i] = Be16(d + 2 * i);
            if (png->trnsValue[i] > sampleMax)
                return unusual;
        }
        break;
    case kPalette:
        if (png->paletteSize == 0 || length == 0 || length > std::uint32_t(png->paletteSize))
            return unusual;
        for (std::uint32_t i = 0; i < length; ++i)
            png->palette[i] = (png->palette[i] & 0x00FFFFFF) | QRgb(d[i]) << 24;
        break;
    default:
        return unusual; // libpng ignores it next to an alpha channel
    }
    png->trns = true;
    png->alpha = true;
    return {};
}

} // namespace

codec::Result<std::uint32_t> ReadChunks(std::FILE* file, std::size_t maxBytes, Png* png)
{
    std::uint8_t head[8];
    if (!Read(file, head, 8) || std::memcmp(head, kSignature, 8) != 0)
        return LeftToLibpng("no PNG signature");
    bool first = true;
    std::vector<std::uint8_t> body;
    for (;;) {
        if (!Read(file, head, 8))
            return Damaged("file ends before the picture data");
        const std::uint32_t length = Be32(head);
        const std::uint8_t* type = head + 4;
        if (length > kMaxChunk || !IsChunkType(type))
            return Damaged("chunk head damaged");
        if (first != ChunkIs(type, "IHDR"))
            return Damaged("IHDR not first, or repeated");
        first = false;
        if (ChunkIs(type, "IDAT")) {
            if (png->type == kPalette && png->paletteSize == 0)
                return Damaged("palette missing");
            // Past what the libpng path holds (the whole picture, and with
            // transparency its premultiplied copy for scaling) plus a
            // margin, as with 16-bit rows, the slower path costs less memory.
            const std::uint64_t picture = std::uint64_t(png->width) * png->height * 4;
            const std::uint64_t budget = picture * (png->alpha ? 2 : 1) + kMemoryMargin;
            if (png->rawSize > budget)
                return LeftToLibpng("inflated rows larger than libpng's picture");
            return length;
        }
        if (length > kMaxOtherChunk)
            return LeftToLibpng("chunk larger than libpng reads");
        const bool isHeader = ChunkIs(type, "IHDR");
        const bool isPalette = ChunkIs(type, "PLTE");
        const bool isTransparency = ChunkIs(type, "tRNS");
        if (ChunkIs(type, "IEND"))
            return Damaged("no picture data");
        if (ChunkIs(type, "acTL") || ChunkIs(type, "fcTL") || ChunkIs(type, "fdAT"))
            return LeftToLibpng("animated");
        if (!isHeader && !isPalette && !isTransparency) {
            // Critical chunks we do not know are errors in libpng.
            if (!(type[0] & 0x20))
                return LeftToLibpng("unknown critical chunk");
            if (std::fseek(file, long(length) + 4, SEEK_CUR) != 0)
                return Damaged("file ends inside a chunk");
            continue;
        }
        body.resize(std::size_t(length) + 4);
        if (!Read(file, body.data(), body.size()))
            return Damaged("file ends inside a chunk");
        codec::Result<void> read;
        if (isHeader) {
            if (length != 13)
                return Damaged("IHDR of the wrong length");
            read = ReadHeader(body.data(), maxBytes, png);
        } else if (isPalette) {
            if (png->type == kGrey || png->type == kGreyAlpha || png->trns)
                return LeftToLibpng("palette where libpng ignores it");
            read = ReadPalette(body.data(), length, png);
        } else {
            // Checksums are not checked: the libpng path uses damaged chunks too.
            read = ReadTransparency(body.data(), length, png);
        }
        if (!read)
            return read.error();
    }
}

} // namespace pngfast
