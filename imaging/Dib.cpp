#include "imaging/Dib.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

// Choices where the original platform gives no single answer:
// - biClrUsed larger than 2^bits is clamped to 2^bits (only that many indices
//   can occur); the clamped table must still lie within the info block.
// - For 16/24/32-bit DIBs an optional colour table (biClrUsed) is only a
//   palette hint; it is neither read nor required to fit.
// - BI_BITFIELDS masks are the three DWORDs at offset 40, whatever biSize
//   says (the V4/V5 headers keep them at the same place); with a bare
//   40-byte header they come after it, before any colour table.
// - Pixels that an RLE picture never writes (delta jumps, early end of line
//   or bitmap) get the colour of index 0, as the original platform leaves
//   a freshly created bitmap.

namespace {

struct Header {
    BITMAPINFOHEADER h;
    std::uint32_t width = 0;
    std::uint32_t rows = 0;
    bool topDown = false;
};

codec::Error Damaged(const char* text) { return codec::Fail(codec::ErrorKind::Damaged, text); }
codec::Error Unsupported(const char* text) { return codec::Fail(codec::ErrorKind::Unsupported, text); }

// Checks the header fields on their own (no block sizes).
codec::Result<Header> CheckHeader(const BITMAPINFOHEADER& h)
{
    if (h.biSize < sizeof(BITMAPINFOHEADER))
        return Damaged("header size below 40 bytes");
    if (h.biWidth <= 0)
        return Damaged("width not positive");
    if (h.biHeight == 0 || h.biHeight == INT_MIN)
        return Damaged("height zero or out of range");
    if (h.biPlanes != 1)
        return Damaged("planes not 1");
    switch (h.biBitCount) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return Unsupported("unsupported bit depth");
    }
    const bool topDown = h.biHeight < 0;
    switch (h.biCompression) {
    case BI_RGB: break;
    case BI_RLE8:
        if (h.biBitCount != 8 || topDown)
            return Damaged("RLE8 needs 8 bits and bottom-up rows");
        break;
    case BI_RLE4:
        if (h.biBitCount != 4 || topDown)
            return Damaged("RLE4 needs 4 bits and bottom-up rows");
        break;
    case BI_BITFIELDS:
        if (h.biBitCount != 16 && h.biBitCount != 32)
            return Damaged("bit fields need 16 or 32 bits");
        break;
    default: return Unsupported("unsupported compression");
    }
    const std::uint64_t width = static_cast<std::uint32_t>(h.biWidth);
    const std::uint64_t rows = topDown ? -static_cast<std::int64_t>(h.biHeight) : h.biHeight;
    if (width * rows * 4 > kMaxDibPixelBytes)
        return codec::Fail(codec::ErrorKind::TooLarge, "picture larger than 1 GiB of pixels");
    if (h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4) {
        if (h.biSizeImage == 0)
            return Damaged("RLE without an image size");
    }
    Header out;
    out.h = h;
    out.width = static_cast<std::uint32_t>(width);
    out.rows = static_cast<std::uint32_t>(rows);
    out.topDown = topDown;
    return out;
}

std::uint32_t ColourCount(const BITMAPINFOHEADER& h)
{
    if (h.biBitCount > 8)
        return 0;
    const std::uint32_t full = 1u << h.biBitCount;
    return h.biClrUsed == 0 ? full : std::min(h.biClrUsed, full);
}

std::uint64_t ColourTableOffset(const BITMAPINFOHEADER& h)
{
    return h.biSize; // masks only come with 16/32 bits, which read no table
}

std::uint64_t Stride(const Header& hd)
{
    return DibStride(hd.width, hd.h.biBitCount);
}

// One colour channel described by a bit mask, scaled to 0..255.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint64_t max = 0;

    explicit Channel(std::uint32_t m) : mask(m)
    {
        if (m) {
            shift = std::countr_zero(m);
            max = m >> shift;
        }
    }
    int operator()(std::uint32_t pixel) const
    {
        if (!max)
            return 0;
        const std::uint64_t v = (pixel & mask) >> shift;
        return static_cast<int>((v * 255 + max / 2) / max);
    }
};

void ReadMasks(const BITMAPINFO* info, std::uint32_t masks[3])
{
    std::memcpy(masks, reinterpret_cast<const unsigned char*>(info) + sizeof(BITMAPINFOHEADER), 12);
}

// RLE8 / RLE4 into `image` (already filled with the index-0 colour).
void DecodeRle(const Header& hd, const unsigned char* src, const QRgb* palette, QImage& image)
{
    const bool four = hd.h.biCompression == BI_RLE4;
    const std::uint32_t size = hd.h.biSizeImage;
    const std::int64_t width = hd.width;
    const std::int64_t rows = hd.rows;
    std::uint32_t pos = 0;
    std::int64_t x = 0, y = 0; // y counts from the bottom row

    auto put = [&](int index) {
        if (x < width && y < rows)
            reinterpret_cast<QRgb*>(image.scanLine(int(rows - 1 - y)))[x] = palette[index];
        ++x;
    };

    while (pos + 2 <= size && y < rows) {
        const unsigned count = src[pos];
        const unsigned value = src[pos + 1];
        pos += 2;
        if (count > 0) {
            // Encoded run; whatever runs past the row is cut off.
            const std::int64_t n = std::min<std::int64_t>(count, std::max<std::int64_t>(width - x, 0));
            for (std::int64_t i = 0; i < n; ++i)
                put(four ? ((i & 1) ? (value & 0x0F) : (value >> 4)) : int(value));
            x += count - n;
            continue;
        }
        if (value == 0) { // end of line
            x = 0;
            ++y;
        } else if (value == 1) { // end of bitmap
            break;
        } else if (value == 2) { // delta
            if (pos + 2 > size)
                break;
            x += src[pos];
            y += src[pos + 1];
            pos += 2;
        } else { // absolute run of `value` pixels, padded to a 16-bit word
            const std::uint32_t bytes = four ? (value + 1) / 2 : value;
            const std::uint32_t padded = (bytes + 1) & ~1u;
            if (pos + bytes > size)
                break;
            for (unsigned i = 0; i < value && x < width; ++i) {
                const unsigned char b = src[pos + (four ? i / 2 : i)];
                put(four ? ((i & 1) ? (b & 0x0F) : (b >> 4)) : int(b));
            }
            pos += std::min(padded, size - pos);
        }
    }
}

} // namespace

std::uint64_t DibStride(std::int64_t width, unsigned bitCount)
{
    return (std::uint64_t(width) * bitCount + 31) / 32 * 4;
}

std::uint64_t DibInfoSize(const BITMAPINFOHEADER& h)
{
    const std::uint64_t masks = h.biCompression == BI_BITFIELDS && h.biSize == sizeof(BITMAPINFOHEADER) ? 12 : 0;
    const std::uint64_t colours =
        h.biClrUsed != 0 ? h.biClrUsed : h.biBitCount <= 8 ? std::uint64_t(1) << h.biBitCount : 0;
    return std::uint64_t(h.biSize) + masks + colours * sizeof(RGBQUAD);
}

codec::Result<void> CheckDibBlocks(const void* info, std::size_t infoSize, const void* bits, std::size_t bitsSize)
{
    if (!info || !bits)
        return Damaged("missing block");
    if (infoSize < sizeof(BITMAPINFOHEADER))
        return Damaged("info block smaller than a header");
    BITMAPINFOHEADER h;
    std::memcpy(&h, info, sizeof h);
    if (h.biSize > infoSize)
        return Damaged("header larger than its block");
    const codec::Result<Header> hd = CheckHeader(h);
    if (!hd)
        return hd.error();
    if (h.biCompression == BI_BITFIELDS && sizeof(BITMAPINFOHEADER) + 12 > infoSize)
        return Damaged("bit-field masks past the info block");
    const std::uint64_t colours = ColourCount(h);
    if (ColourTableOffset(h) + colours * sizeof(RGBQUAD) > infoSize)
        return Damaged("colour table past the info block");
    if (h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4) {
        if (h.biSizeImage > bitsSize)
            return Damaged("RLE image size larger than the bits block");
    } else {
        if (Stride(*hd) * hd->rows > bitsSize)
            return Damaged("pixel rows larger than the bits block");
    }
    return {};
}

codec::Result<QImage> DibToImage(const BITMAPINFO* info, const void* bits)
{
    if (!info || !bits)
        return Damaged("missing block");
    const codec::Result<Header> checked = CheckHeader(info->bmiHeader);
    if (!checked)
        return checked.error();
    const Header& hd = *checked;
    const BITMAPINFOHEADER& h = hd.h;
    QImage image(int(hd.width), int(hd.rows), QImage::Format_RGB32);
    if (image.isNull())
        return codec::Fail(codec::ErrorKind::OutOfMemory, "no memory for the decoded picture");
    const auto* src = static_cast<const unsigned char*>(bits);

    // Indices beyond the table give black.
    QRgb palette[256];
    std::fill(std::begin(palette), std::end(palette), qRgb(0, 0, 0));
    const std::uint32_t colours = ColourCount(h);
    const auto* table = reinterpret_cast<const unsigned char*>(info) + ColourTableOffset(h);
    for (std::uint32_t i = 0; i < colours; ++i) {
        RGBQUAD q;
        std::memcpy(&q, table + i * sizeof(RGBQUAD), sizeof q);
        palette[i] = qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
    }

    if (h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4) {
        image.fill(palette[0]);
        DecodeRle(hd, src, palette, image);
        return image;
    }

    std::uint32_t masks[3] = {0, 0, 0};
    if (h.biCompression == BI_BITFIELDS)
        ReadMasks(info, masks);
    else if (h.biBitCount == 16)
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    const Channel red(masks[0]), green(masks[1]), blue(masks[2]);

    const std::uint64_t stride = Stride(hd);
    const int width = int(hd.width);
    for (std::uint32_t r = 0; r < hd.rows; ++r) {
        const unsigned char* row = src + stride * r;
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(int(hd.topDown ? r : hd.rows - 1 - r)));
        switch (h.biBitCount) {
        case 1:
            for (int x = 0; x < width; ++x)
                out[x] = palette[(row[x >> 3] >> (7 - (x & 7))) & 1];
            break;
        case 4:
            for (int x = 0; x < width; ++x)
                out[x] = palette[(x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4)];
            break;
        case 8:
            for (int x = 0; x < width; ++x)
                out[x] = palette[row[x]];
            break;
        case 16:
            for (int x = 0; x < width; ++x) {
                const std::uint32_t p = row[2 * x] | (row[2 * x + 1] << 8);
                out[x] = qRgb(red(p), green(p), blue(p));
            }
            break;
        case 24:
            for (int x = 0; x < width; ++x)
                out[x] = qRgb(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
            break;
        case 32:
            if (h.biCompression == BI_RGB) {
                for (int x = 0; x < width; ++x)
                    out[x] = qRgb(row[4 * x + 2], row[4 * x + 1], row[4 * x]);
            } else {
                for (int x = 0; x < width; ++x) {
                    std::uint32_t p;
                    std::memcpy(&p, row + 4 * x, 4);
                    out[x] = qRgb(red(p), green(p), blue(p));
                }
            }
            break;
        }
    }
    return image;
}
