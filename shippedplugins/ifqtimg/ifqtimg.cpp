// ifqtimg.spi: WebP, TIFF and TGA pictures through Qt's image format plug-ins
// (formats Qt reads but the program's built-in pattern does not list), read
// by the codec library's Qt reader and decoded to a bottom-up 24-bit DIB.
// QImageReader needs no application object.
#include "../SpiKit.h"
#include "../spi00in.h"

#include "codecs/Recognise.h"
#include "codecs/qt/QtImageCodec.h"

#include <cstring>

namespace {

// Qt's images take 4 bytes a pixel where our DIB takes 3.
constexpr std::uint64_t kMaxQtBytes = spi::kMaxDibBytes / 3 * 4;

const char* const kInfo[] = {
    "00IN",
    "WebP/TIFF/TGA plug-in for Velmora, Qt image formats",
    "*.webp",
    "WebP 画像",
    "*.tif;*.tiff",
    "TIFF 画像",
    "*.tga",
    "TGA 画像",
};

// Answers of IsSupported: one more than the pair index.
enum Kind { None = 0, WebP = 1, Tiff = 2, Tga = 3 };

bool HasTgaExtension(const char* name)
{
    if (!name)
        return false;
    std::size_t n = std::strlen(name);
    return n >= 4 && name[n - 4] == '.' && (name[n - 3] | 0x20) == 't' &&
           (name[n - 2] | 0x20) == 'g' && (name[n - 1] | 0x20) == 'a';
}

// Content decides. For TGA, which has no signature, a plausible header is
// required and the name's extension is what tips it (nameKnown false: the
// header alone decides, as when the bytes come without a name).
Kind KindOf(const unsigned char* head, std::size_t n, const char* name, bool nameKnown)
{
    if (codec::IsWebP(head, n))
        return WebP;
    if (codec::IsTiff(head, n))
        return Tiff;
    if (codec::IsPlausibleTga(head, n) && (!nameKnown || HasTgaExtension(name)))
        return Tga;
    return None;
}

// The picture's bytes and the format its content names.
struct Source {
    spi::Input in;
    codec::QtImageSource source;
    codec::QtImageFormat format = codec::QtImageFormat::WebP;
};

int Recognise(Source& src)
{
    switch (KindOf(src.in.data, src.in.size, nullptr, false)) {
    case WebP: src.format = codec::QtImageFormat::WebP; break;
    case Tiff: src.format = codec::QtImageFormat::Tiff; break;
    case Tga: src.format = codec::QtImageFormat::Tga; break;
    case None: return SPI_NOT_SUPPORT;
    }
    src.source.bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(src.in.data), qsizetype(src.in.size));
    return SPI_SUCCESS;
}

} // namespace

extern "C" {

SPI_EXPORT int GetPluginInfo(int infono, char* buf, int buflen)
{
    return spi::PluginInfo(kInfo, nullptr, infono, buf, buflen);
}

SPI_EXPORT int IsSupported(const char* filename, void* dw)
{
    if (!dw)
        return 0;
    return KindOf(static_cast<const unsigned char*>(dw), 2048, filename, true);
}

SPI_EXPORT int GetPictureInfo(const char* buf, std::intptr_t len, unsigned int flag,
                              PictureInfo* lpInfo)
{
    Source src;
    if (int rc = spi::StartPictureInfo(buf, len, flag, lpInfo, src.in); rc != SPI_SUCCESS)
        return rc;
    if (int rc = Recognise(src); rc != SPI_SUCCESS)
        return rc;
    const codec::Result<QSize> size = codec::ReadQtImageSize(src.source, src.format, kMaxQtBytes);
    if (!size)
        return spi::CodeOf(size.error());
    return spi::FillInfo(lpInfo, size->width(), size->height());
}

SPI_EXPORT int GetPicture(const char* buf, std::intptr_t len, unsigned int flag, void** pHBInfo,
                          void** pHBm, SPI_PROGRESS progressCallback, std::intptr_t lData)
{
    const spi::Progress progress{progressCallback, lData};
    Source src;
    if (int rc = spi::StartPicture(buf, len, flag, pHBInfo, pHBm, progress, src.in); rc != SPI_SUCCESS)
        return rc;
    if (int rc = Recognise(src); rc != SPI_SUCCESS)
        return rc;
    codec::Result<QImage> image = codec::DecodeQtImage(src.source, src.format, kMaxQtBytes);
    if (!image)
        return spi::CodeOf(image.error());
    if (progress.Cancelled(50))
        return SPI_ABORT;
    const QImage rgb = std::move(*image).convertToFormat(QImage::Format_RGB888);
    if (rgb.isNull())
        return SPI_NO_MEMORY;
    return spi::BuildDib(
        rgb.width(), rgb.height(), [&](int y) { return rgb.constScanLine(y); }, progress, 50, pHBInfo, pHBm);
}
}
