// ifjxl.spi: JPEG XL pictures through libjxl, decoded to a bottom-up 24-bit
// DIB with the picture's stored orientation applied.
#include "../SpiKit.h"
#include "../spi00in.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h> // JxlColorEncodingSetToSRGB
#include <jxl/thread_parallel_runner.h>
#include <jxl/thread_parallel_runner_cxx.h>

#include <cstdio>
#include <cstring>
#include <memory>
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
    nullptr, // about text, built with the libjxl version
    "*.jxl",
    "JPEG XL 画像",
};

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

// A decoder over the whole picture in memory.
struct Session {
    JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    JxlBasicInfo info{};

    // Runs to the basic information; SPI_SUCCESS or an error code.
    int Start(const Input& in, int events)
    {
        const JxlSignature signature = JxlSignatureCheck(in.data, in.size);
        if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER)
            return SPI_NOT_SUPPORT;
        if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), events | JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
            JxlDecoderSetInput(decoder.get(), in.data, in.size) != JXL_DEC_SUCCESS)
            return SPI_NO_MEMORY;
        JxlDecoderCloseInput(decoder.get());
        if (JxlDecoderProcessInput(decoder.get()) != JXL_DEC_BASIC_INFO ||
            JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS)
            return SPI_OUT_OF_ORDER;
        return SPI_SUCCESS;
    }

    // Width and height as shown: orientations 5 to 8 turn by a quarter.
    int Width() const { return int(info.orientation >= JXL_ORIENT_TRANSPOSE ? info.ysize : info.xsize); }
    int Height() const { return int(info.orientation >= JXL_ORIENT_TRANSPOSE ? info.xsize : info.ysize); }
};

// Writes libjxl's RGB pixels as BGR into bottom-up rows; libjxl may call it
// from several threads at once, each with its own pixels.
struct Rows {
    unsigned char* bits;
    std::size_t rowBytes;
    std::size_t width;
    int height;

    static void Write(void* self, std::size_t x, std::size_t y, std::size_t count, const void* pixels)
    {
        const auto* r = static_cast<const Rows*>(self);
        if (y >= std::size_t(r->height) || x > r->width || count > r->width - x)
            return; // never outside the picture, whatever libjxl reports
        const auto* src = static_cast<const std::uint8_t*>(pixels);
        unsigned char* dst = r->bits + std::size_t(r->height - 1 - int(y)) * r->rowBytes + x * 3;
        for (std::size_t i = 0; i < count; ++i, src += 3, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
};

} // namespace

extern "C" {

SPI_EXPORT int GetPluginInfo(int infono, char* buf, int buflen)
{
    if (infono < 0 || infono >= int(sizeof kInfo / sizeof kInfo[0]))
        return 0;
    if (infono == 1) {
        const std::uint32_t v = JxlDecoderVersion();
        char about[128];
        std::snprintf(about, sizeof about, "JPEG XL plug-in for Velmora, libjxl %u.%u.%u", v / 1000000,
                      v / 1000 % 1000, v % 1000);
        return CopyText(about, buf, buflen);
    }
    return CopyText(kInfo[infono], buf, buflen);
}

SPI_EXPORT int IsSupported(const char* /*filename: the content decides*/, void* dw)
{
    if (!dw)
        return 0;
    const JxlSignature signature = JxlSignatureCheck(static_cast<const std::uint8_t*>(dw), 2048);
    return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER ? 1 : 0;
}

SPI_EXPORT int GetPictureInfo(const char* buf, std::intptr_t len, unsigned int flag,
                              PictureInfo* lpInfo)
{
    if (!lpInfo)
        return SPI_OTHER_ERROR;
    Input in;
    if (int rc = ReadInput(buf, len, flag, in); rc != SPI_SUCCESS)
        return rc;
    Session session;
    if (int rc = session.Start(in, 0); rc != SPI_SUCCESS)
        return rc;
    std::memset(lpInfo, 0, sizeof *lpInfo);
    lpInfo->width = session.Width();
    lpInfo->height = session.Height();
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
    Session session;
    if (int rc = session.Start(in, JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE); rc != SPI_SUCCESS)
        return rc;
    const int width = session.Width(), height = session.Height();
    // Refuse oversized pictures before spending memory on decoding them.
    if (!Fits(width, height))
        return SPI_NO_MEMORY;
    const std::size_t rowBytes = std::size_t(RowBytes(std::uint64_t(width)));
    const std::size_t pixelBytes = rowBytes * std::size_t(height);

    LocalBlock info, bits;
    info.h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(SpiBitmapInfoHeader));
    bits.h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, pixelBytes);
    if (!info.h || !bits.h)
        return SPI_NO_MEMORY;
    auto* rows = static_cast<unsigned char*>(LocalLock(bits.h));
    if (!rows)
        return SPI_MEMORY_ERROR;

    JxlDecoder* decoder = session.decoder.get();
    const JxlThreadParallelRunnerPtr runner =
        JxlThreadParallelRunnerMake(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
    if (runner)
        JxlDecoderSetParallelRunner(decoder, JxlThreadParallelRunner, runner.get());
    Rows out{rows, rowBytes, std::size_t(width), height};
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    int rc = SPI_OUT_OF_ORDER;
    for (bool done = false; !done;) {
        switch (JxlDecoderProcessInput(decoder)) {
        case JXL_DEC_COLOR_ENCODING:
            // Lossy pictures may come in any colours libjxl makes: sRGB.
            if (!session.info.uses_original_profile) {
                JxlColorEncoding srgb;
                JxlColorEncodingSetToSRGB(&srgb, session.info.num_color_channels == 1);
                JxlDecoderSetPreferredColorProfile(decoder, &srgb);
            }
            break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
            if (JxlDecoderSetImageOutCallback(decoder, &format, Rows::Write, &out) != JXL_DEC_SUCCESS)
                done = true;
            else if (Cancelled(progressCallback, 10, 100, lData))
                rc = SPI_ABORT, done = true;
            break;
        case JXL_DEC_FULL_IMAGE: // the first frame is the picture
            rc = SPI_SUCCESS;
            done = true;
            break;
        default: // damaged, cut short (the input is closed) or no picture at all
            done = true;
            break;
        }
    }
    LocalUnlock(bits.h);
    if (rc != SPI_SUCCESS)
        return rc;
    if (Cancelled(progressCallback, 100, 100, lData))
        return SPI_ABORT;

    auto* header = static_cast<SpiBitmapInfoHeader*>(LocalLock(info.h));
    if (!header)
        return SPI_MEMORY_ERROR;
    header->biSize = sizeof(SpiBitmapInfoHeader);
    header->biWidth = width;
    header->biHeight = height; // positive: bottom-up rows
    header->biPlanes = 1;
    header->biBitCount = 24;
    header->biCompression = SPI_BI_RGB;
    header->biSizeImage = std::uint32_t(pixelBytes);
    LocalUnlock(info.h);
    *pHBInfo = info.release();
    *pHBm = bits.release();
    return SPI_SUCCESS;
}
}
