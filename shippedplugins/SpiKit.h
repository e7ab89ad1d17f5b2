#pragma once
// Helpers the shipped plug-ins share: texts into the caller's buffer, the
// picture's bytes from a file or memory, the progress callback, Susie codes
// for the codecs' errors and the DIB handed back. Header only, so that each
// plug-in stays one shared object of its own.
#include "spi00in.h"

#include "codecs/CodecResult.h"
#include "codecs/Decoding.h"

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

// GetPluginInfo's answer from the plug-in's table of texts; about, when not
// null, is entry 1 (texts built at run time, such as a library's version).
template <std::size_t N>
int PluginInfo(const char* const (&info)[N], const char* about, int infono, char* buf, int buflen)
{
    if (infono < 0 || infono >= int(N))
        return 0;
    return CopyText(infono == 1 && about ? about : info[infono], buf, buflen);
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

// The caller's progress callback; a non-zero answer asks to stop.
struct Progress {
    SPI_PROGRESS callback = nullptr;
    std::intptr_t lData = 0;

    bool Cancelled(int percent) const { return callback && callback(percent, 100, lData) != 0; }
};

// The Susie code for why a codec failed.
inline int CodeOf(const codec::Error& error)
{
    switch (error.kind) {
    case codec::ErrorKind::NotThisFormat:
    case codec::ErrorKind::Unsupported: return SPI_NOT_SUPPORT;
    case codec::ErrorKind::TooLarge:
    case codec::ErrorKind::OutOfMemory: return SPI_NO_MEMORY;
    case codec::ErrorKind::ReadFailed: return SPI_FILE_READ_ERROR;
    case codec::ErrorKind::Stopped: return SPI_ABORT;
    case codec::ErrorKind::Damaged: break;
    }
    return SPI_OUT_OF_ORDER;
}

// The picture's size as GetPictureInfo reports it: every picture comes as 24 bits.
inline int FillInfo(PictureInfo* info, int width, int height)
{
    std::memset(info, 0, sizeof *info);
    info->width = width;
    info->height = height;
    info->colorDepth = 24;
    return SPI_SUCCESS;
}

// A DIB larger than this is refused: no slide needs it, and the host would
// refuse it anyway.
constexpr std::uint64_t kMaxDibBytes = std::uint64_t(1) << 30;

// Bytes of a 24-bit DIB row: 3 a pixel, padded to 4.
inline std::uint64_t RowBytes(std::uint64_t width)
{
    return (width * 3 + 3) & ~std::uint64_t(3);
}

inline bool Fits(int width, int height)
{
    return width > 0 && height > 0 && RowBytes(std::uint64_t(width)) * std::uint64_t(height) <= kMaxDibBytes;
}

// A local block, freed unless released to the caller.
class LocalBlock {
public:
    explicit LocalBlock(void* handle) : mHandle(handle) {}
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    ~LocalBlock()
    {
        if (mHandle)
            LocalFree(mHandle);
    }
    void* Get() const { return mHandle; }
    void* Release()
    {
        void* handle = mHandle;
        mHandle = nullptr;
        return handle;
    }

private:
    void* mHandle;
};

// The answer of GetPicture: a bottom-up 24-bit DIB in two local blocks,
// filled from rgbRow(y), picture row y (top first) as 3 bytes a pixel in
// R, G, B order. Progress goes from fromPercent to 100 while the rows are
// filled; on any failure or cancel both handles stay null.
template <class RgbRow>
int BuildDib(int width, int height, RgbRow&& rgbRow, const Progress& progress, int fromPercent, void** pHBInfo,
             void** pHBm)
{
    if (!Fits(width, height))
        return SPI_NO_MEMORY;
    const std::size_t rowBytes = std::size_t(RowBytes(std::uint64_t(width)));
    const std::size_t pixelBytes = rowBytes * std::size_t(height);
    LocalBlock info(LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(SpiBitmapInfoHeader)));
    LocalBlock bits(LocalAlloc(LMEM_MOVEABLE, pixelBytes));
    if (!info.Get() || !bits.Get())
        return SPI_NO_MEMORY;
    auto* header = static_cast<SpiBitmapInfoHeader*>(LocalLock(info.Get()));
    if (!header)
        return SPI_MEMORY_ERROR;
    header->biSize = sizeof(SpiBitmapInfoHeader);
    header->biWidth = width;
    header->biHeight = height; // positive: bottom-up rows
    header->biPlanes = 1;
    header->biBitCount = 24;
    header->biCompression = SPI_BI_RGB;
    header->biSizeImage = std::uint32_t(pixelBytes);
    LocalUnlock(info.Get());
    auto* rows = static_cast<unsigned char*>(LocalLock(bits.Get()));
    if (!rows)
        return SPI_MEMORY_ERROR;
    bool cancelled = false;
    for (int y = 0; y < height && !cancelled; ++y) {
        const unsigned char* src = rgbRow(y);
        unsigned char* dst = rows + std::size_t(height - 1 - y) * rowBytes;
        for (int x = 0; x < width; ++x, src += 3, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
        std::memset(dst, 0, rowBytes - std::size_t(width) * 3);
        if ((y & 255) == 255)
            cancelled = progress.Cancelled(fromPercent + int((100 - fromPercent) * std::int64_t(y) / height));
    }
    LocalUnlock(bits.Get());
    if (cancelled || progress.Cancelled(100))
        return SPI_ABORT;
    *pHBInfo = info.Release();
    *pHBm = bits.Release();
    return SPI_SUCCESS;
}

// The start every GetPictureInfo shares: the answer's place checked, the input read.
inline int StartPictureInfo(const char* buf, std::intptr_t len, unsigned int flag, PictureInfo* lpInfo, Input& in)
{
    return lpInfo ? ReadInput(buf, len, flag, in) : SPI_OTHER_ERROR;
}

// The start every GetPicture shares: both handles null until the end, the
// caller asked once whether to go on, the input read.
inline int StartPicture(const char* buf, std::intptr_t len, unsigned int flag, void** pHBInfo, void** pHBm,
                        const Progress& progress, Input& in)
{
    if (!pHBInfo || !pHBm)
        return SPI_OTHER_ERROR;
    *pHBInfo = nullptr;
    *pHBm = nullptr;
    if (progress.Cancelled(0))
        return SPI_ABORT;
    return ReadInput(buf, len, flag, in);
}

// Opens a picture of the caller's input with the codec library; decoding:
// the pixels are wanted, not only the header.
using CodecOpener = codec::Result<codec::Picture> (*)(const Input& in, bool decoding);

// GetPictureInfo of a plug-in whose pictures the codec library opens.
inline int CodecPictureInfo(const char* buf, std::intptr_t len, unsigned int flag, PictureInfo* lpInfo,
                            CodecOpener open)
{
    Input in;
    if (int rc = StartPictureInfo(buf, len, flag, lpInfo, in); rc != SPI_SUCCESS)
        return rc;
    const codec::Result<codec::Picture> picture = open(in, false);
    if (!picture)
        return CodeOf(picture.error());
    return FillInfo(lpInfo, picture->Header().width, picture->Header().height);
}

// GetPicture of such a plug-in: the declared size checked before decoding,
// the RGB pixels decoded and turned into the DIB.
inline int CodecPicture(const char* buf, std::intptr_t len, unsigned int flag, void** pHBInfo, void** pHBm,
                        const Progress& progress, CodecOpener open)
{
    Input in;
    if (int rc = StartPicture(buf, len, flag, pHBInfo, pHBm, progress, in); rc != SPI_SUCCESS)
        return rc;
    codec::Result<codec::Picture> picture = open(in, true);
    if (!picture)
        return CodeOf(picture.error());
    if (!Fits(picture->Header().width, picture->Header().height))
        return SPI_NO_MEMORY;
    if (progress.Cancelled(10))
        return SPI_ABORT;
    const codec::Result<codec::Pixels> pixels = picture->Decode(3);
    if (!pixels)
        return CodeOf(pixels.error());
    if (progress.Cancelled(50))
        return SPI_ABORT;
    return BuildDib(
        pixels->Width(), pixels->Height(), [&](int y) { return pixels->Row(y); }, progress, 50, pHBInfo, pHBm);
}

} // namespace spi
