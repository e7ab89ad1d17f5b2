// The quick PNG path on any bytes, at a few sizes: it decodes or declines,
// never more; and what it decodes whole is what libpng decodes.
#include "imaging/PngFast.h"
#include "imaging/PngReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <QImage>

namespace {

// Small, so that runs stay quick; larger pictures are declined.
constexpr std::size_t kMaxBytes = std::size_t(4) << 20;

std::FILE* Open(const std::uint8_t* data, std::size_t size)
{
    // fmemopen wants a writable buffer of at least one byte.
    static std::string copy;
    copy.assign(reinterpret_cast<const char*>(data), size);
    copy.push_back('\0');
    return fmemopen(copy.data(), size == 0 ? 1 : size, "rb");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QSize sizes[] = {{1, 1}, {7, 5}, {64, 64}, {1 << 20, 1 << 20}};
    for (const QSize target : sizes) {
        std::FILE* file = Open(data, size);
        if (!file)
            std::abort();
        const codec::Result<QImage> decoded = DecodePngFast(file, target, kMaxBytes);
        std::fclose(file);
        if (!decoded)
            continue;
        const QImage& image = *decoded;
        if (image.isNull())
            std::abort();
        const bool whole = image.size() != target;
        if (!whole && image.format() != QImage::Format_RGB32 &&
            image.format() != QImage::Format_ARGB32_Premultiplied)
            std::abort();
        if (!whole)
            continue;
        // Whole pictures must be libpng's, pixel for pixel.
        file = Open(data, size);
        const codec::Result<QImage> reference = DecodePng(file, kMaxBytes);
        std::fclose(file);
        if (!reference || reference->size() != image.size() || reference->format() != image.format())
            std::abort();
        for (int y = 0; y < image.height(); ++y)
            if (std::memcmp(image.constScanLine(y), reference->constScanLine(y), std::size_t(image.width()) * 4) != 0)
                std::abort();
    }
    return 0;
}
