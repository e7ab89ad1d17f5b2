// DIB blocks from a hostile plug-in: whatever passes the check must decode
// and draw on a real surface without reading outside the two blocks.
#include "imaging/DeviceContext.h"
#include "imaging/Dib.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <QImage>

namespace {

std::int32_t Int16At(const std::uint8_t* p) { return std::int16_t(p[0] | p[1] << 8); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // 2 bytes info size, 8 x 2 bytes of destination and source rectangle, 1
    // byte mode, then the info block and the pixel block.
    if (size < 19)
        return 0;
    const std::size_t infoSize = std::min<std::size_t>(data[0] | data[1] << 8, size - 19);
    std::int32_t r[8];
    for (int i = 0; i < 8; ++i)
        r[i] = Int16At(data + 2 + 2 * i);
    const int mode = 1 + data[18] % 4;
    // Exact-size copies, so that any read past a block is caught.
    auto info = std::make_unique<std::uint8_t[]>(infoSize + 1);
    std::memcpy(info.get(), data + 19, infoSize);
    const std::size_t bitsSize = size - 19 - infoSize;
    auto bits = std::make_unique<std::uint8_t[]>(bitsSize + 1);
    std::memcpy(bits.get(), data + 19 + infoSize, bitsSize);

    if (!CheckDibBlocks(info.get(), infoSize, bits.get(), bitsSize))
        return 0;
    BITMAPINFOHEADER header;
    std::memcpy(&header, info.get(), sizeof header);
    // Large pictures are sound but slow; they add nothing here.
    if (std::abs(std::int64_t(header.biWidth) * header.biHeight) > (1 << 20))
        return 0;

    const codec::Result<QImage> decoded = DibToImage(reinterpret_cast<const BITMAPINFO*>(info.get()), bits.get());
    if (!decoded || decoded->width() != std::abs(header.biWidth) || decoded->height() != std::abs(header.biHeight))
        std::abort();

    QImage surface(48, 40, QImage::Format_RGB32);
    surface.fill(0);
    const HDC dc = CreateImageDC(&surface);
    SetStretchBltMode(dc, mode);
    StretchDIBits(dc, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], bits.get(),
                  reinterpret_cast<const BITMAPINFO*>(info.get()), DIB_RGB_COLORS, SRCCOPY);
    DeleteDC(dc);
    return 0;
}
