// ifheif.spi: HEIF/HEIC and AVIF pictures through libheif, decoded to a
// bottom-up 24-bit DIB with the picture's stored rotation and mirroring applied.
#include "../SpiKit.h"
#include "../spi00in.h"

#include <libheif/heif.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using spi::CopyText;
using spi::Cancelled;
using spi::Input;
using spi::ReadInput;

// A DIB larger than this is refused: no slide needs it, and the host would
// refuse it anyway.
constexpr std::uint64_t kMaxPixelBytes = std::uint64_t(1) << 30;

const char* const kInfo[] = {
    "00IN",
    nullptr, // about text, built with the libheif version
    "*.heic;*.heif",
    "HEIF 画像",
    "*.avif",
    "AVIF 画像",
};

std::uint32_t ReadBE32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

enum class Kind { None, Heif, Avif };

Kind BrandKind(const unsigned char* b)
{
    static const char* const heif[] = {"heic", "heix", "hevc", "hevx", "heim", "heis"};
    for (const char* h : heif)
        if (std::memcmp(b, h, 4) == 0)
            return Kind::Heif;
    if (std::memcmp(b, "avif", 4) == 0 || std::memcmp(b, "avis", 4) == 0)
        return Kind::Avif;
    return Kind::None;
}

bool IsGenericBrand(const unsigned char* b)
{
    return std::memcmp(b, "mif1", 4) == 0 || std::memcmp(b, "msf1", 4) == 0;
}

// Tells HEIF from AVIF by the brands of the leading ftyp box. The major brand
// decides when it is specific; then the first specific compatible brand; a
// file that names only the generic image brands counts as HEIF.
Kind KindOfHead(const unsigned char* head, std::size_t size)
{
    if (size < 16 || std::memcmp(head + 4, "ftyp", 4) != 0)
        return Kind::None;
    std::uint64_t boxSize = ReadBE32(head);
    std::size_t first = 8;
    if (boxSize == 1) { // 64-bit size follows the type
        if (size < 24)
            return Kind::None;
        boxSize = (std::uint64_t(ReadBE32(head + 8)) << 32) | ReadBE32(head + 12);
        first = 16;
    } else if (boxSize == 0) { // the box runs to the end of the file
        boxSize = size;
    }
    if (boxSize < first + 8)
        return Kind::None;
    std::size_t end = boxSize < size ? std::size_t(boxSize) : size;
    const unsigned char* major = head + first;
    if (Kind k = BrandKind(major); k != Kind::None)
        return k;
    bool generic = IsGenericBrand(major);
    for (std::size_t at = first + 8; at + 4 <= end; at += 4) {
        if (Kind k = BrandKind(head + at); k != Kind::None)
            return k;
        generic = generic || IsGenericBrand(head + at);
    }
    return generic ? Kind::Heif : Kind::None;
}

int CodeOfError(const heif_error& err)
{
    if (err.code == heif_error_Memory_allocation_error)
        return SPI_NO_MEMORY;
    if (err.code == heif_error_Unsupported_filetype || err.code == heif_error_Unsupported_feature)
        return SPI_NOT_SUPPORT;
    return SPI_OUT_OF_ORDER;
}

struct ContextDeleter {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageDeleter {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using Image = std::unique_ptr<heif_image, ImageDeleter>;

// Opens the primary image of the picture in in (which must outlive ctx).
int OpenPrimary(const Input& in, Context& ctx, Handle& handle)
{
    if (KindOfHead(in.data, in.size) == Kind::None)
        return SPI_NOT_SUPPORT;
    // Loads libheif's codec plug-ins, where it has them; stays for the process.
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
    ctx.reset(heif_context_alloc());
    if (!ctx)
        return SPI_NO_MEMORY;
    heif_error err = heif_context_read_from_memory_without_copy(ctx.get(), in.data, in.size, nullptr);
    if (err.code != heif_error_Ok)
        return CodeOfError(err);
    heif_image_handle* h = nullptr;
    err = heif_context_get_primary_image_handle(ctx.get(), &h);
    if (err.code != heif_error_Ok)
        return CodeOfError(err);
    handle.reset(h);
    return SPI_SUCCESS;
}

std::uint64_t RowBytes(std::uint64_t width)
{
    return (width * 3 + 3) & ~std::uint64_t(3);
}

bool Fits(int width, int height)
{
    return width > 0 && height > 0 &&
           RowBytes(std::uint64_t(width)) * std::uint64_t(height) <= kMaxPixelBytes;
}

// Frees a local block unless released.
struct LocalBlock {
    void* h = nullptr;
    ~LocalBlock()
    {
        if (h)
            LocalFree(h);
    }
    void* release()
    {
        void* r = h;
        h = nullptr;
        return r;
    }
};

} // namespace

extern "C" {

SPI_EXPORT int GetPluginInfo(int infono, char* buf, int buflen)
{
    if (infono < 0 || infono >= int(sizeof kInfo / sizeof kInfo[0]))
        return 0;
    if (infono == 1) {
        char about[128];
        std::snprintf(about, sizeof about, "HEIF/AVIF plug-in for Velmora, libheif %s",
                      heif_get_version());
        return CopyText(about, buf, buflen);
    }
    return CopyText(kInfo[infono], buf, buflen);
}

SPI_EXPORT int IsSupported(const char* /*filename: the content decides*/, void* dw)
{
    if (!dw)
        return 0;
    switch (KindOfHead(static_cast<const unsigned char*>(dw), 2048)) {
    case Kind::Heif:
        return 1;
    case Kind::Avif:
        return 2;
    default:
        return 0;
    }
}

SPI_EXPORT int GetPictureInfo(const char* buf, std::intptr_t len, unsigned int flag,
                              PictureInfo* lpInfo)
{
    if (!lpInfo)
        return SPI_OTHER_ERROR;
    Input in;
    if (int rc = ReadInput(buf, len, flag, in); rc != SPI_SUCCESS)
        return rc;
    Context ctx;
    Handle handle;
    if (int rc = OpenPrimary(in, ctx, handle); rc != SPI_SUCCESS)
        return rc;
    std::memset(lpInfo, 0, sizeof *lpInfo);
    lpInfo->width = heif_image_handle_get_width(handle.get());
    lpInfo->height = heif_image_handle_get_height(handle.get());
    lpInfo->colorDepth = 24;
    return SPI_SUCCESS;
}

SPI_EXPORT int GetPicture(const char* buf, std::intptr_t len, unsigned int flag, void** pHBInfo,
                          void** pHBm, SPI_PROGRESS progressCallback, std::intptr_t lData)
{
    if (!pHBInfo || !pHBm)
        return SPI_OTHER_ERROR;
    *pHBInfo = nullptr;
    *pHBm = nullptr;
    if (Cancelled(progressCallback, 0, 100, lData))
        return SPI_ABORT;

    Input in;
    if (int rc = ReadInput(buf, len, flag, in); rc != SPI_SUCCESS)
        return rc;
    Context ctx;
    Handle handle;
    if (int rc = OpenPrimary(in, ctx, handle); rc != SPI_SUCCESS)
        return rc;
    // Refuse oversized pictures before spending memory on decoding them.
    if (!Fits(heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get())))
        return SPI_NO_MEMORY;

    heif_image* raw = nullptr;
    heif_error err = heif_decode_image(handle.get(), &raw, heif_colorspace_RGB,
                                       heif_chroma_interleaved_RGB, nullptr);
    Image image(raw);
    if (err.code != heif_error_Ok || !image)
        return CodeOfError(err);
    if (Cancelled(progressCallback, 50, 100, lData))
        return SPI_ABORT;

    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!plane || !Fits(width, height) || stride < width * 3)
        return SPI_OUT_OF_ORDER;
    const std::size_t rowBytes = std::size_t(RowBytes(std::uint64_t(width)));
    const std::size_t pixelBytes = rowBytes * std::size_t(height);

    LocalBlock info, bits;
    info.h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(SpiBitmapInfoHeader));
    bits.h = LocalAlloc(LMEM_MOVEABLE, pixelBytes);
    if (!info.h || !bits.h)
        return SPI_NO_MEMORY;
    auto* header = static_cast<SpiBitmapInfoHeader*>(LocalLock(info.h));
    auto* rows = static_cast<unsigned char*>(LocalLock(bits.h));
    if (!header || !rows) {
        if (header)
            LocalUnlock(info.h);
        if (rows)
            LocalUnlock(bits.h);
        return SPI_MEMORY_ERROR;
    }
    header->biSize = sizeof(SpiBitmapInfoHeader);
    header->biWidth = width;
    header->biHeight = height; // positive: bottom-up rows
    header->biPlanes = 1;
    header->biBitCount = 24;
    header->biCompression = SPI_BI_RGB;
    header->biSizeImage = std::uint32_t(pixelBytes);
    LocalUnlock(info.h);

    int cancelled = 0;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = plane + std::size_t(y) * std::size_t(stride);
        unsigned char* dst = rows + std::size_t(height - 1 - y) * rowBytes;
        for (int x = 0; x < width; ++x, src += 3, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
        for (std::size_t pad = std::size_t(width) * 3; pad < rowBytes; ++pad)
            rows[std::size_t(height - 1 - y) * rowBytes + pad] = 0;
        if ((y & 255) == 255 && Cancelled(progressCallback, 50 + 50 * y / height, 100, lData)) {
            cancelled = 1;
            break;
        }
    }
    LocalUnlock(bits.h);
    if (cancelled)
        return SPI_ABORT;
    if (Cancelled(progressCallback, 100, 100, lData))
        return SPI_ABORT;
    *pHBInfo = info.release();
    *pHBm = bits.release();
    return SPI_SUCCESS;
}
}
