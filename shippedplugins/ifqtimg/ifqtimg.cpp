// ifqtimg.spi: WebP, TIFF and TGA pictures through Qt's image format plug-ins
// (formats Qt reads but the program's built-in pattern does not list),
// decoded to a bottom-up 24-bit DIB. QImageReader needs no application object.
#include "../SpiKit.h"
#include "../spi00in.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageReader>

#include <cstring>
#include <memory>

namespace {

using spi::CopyText;
using spi::Cancelled;

constexpr quint64 kMaxPixelBytes = quint64(1) << 30;

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

bool IsWebP(const unsigned char* h, std::size_t n)
{
    return n >= 12 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WEBP", 4) == 0;
}

bool IsTiff(const unsigned char* h, std::size_t n)
{
    return n >= 4 && (std::memcmp(h, "II*\0", 4) == 0 || std::memcmp(h, "MM\0*", 4) == 0);
}

unsigned Le16(const unsigned char* p)
{
    return unsigned(p[0]) | (unsigned(p[1]) << 8);
}

// TGA has no signature; this checks that the 18-byte header holds values a
// TGA writer produces, limited to what Qt's reader decodes: uncompressed true
// colour (type 2) of 16, 24 or 32 bits without a colour map, a non-empty
// size and no reserved descriptor bits.
bool IsPlausibleTga(const unsigned char* h, std::size_t n)
{
    if (n < 18)
        return false;
    const unsigned mapType = h[1], type = h[2];
    const unsigned width = Le16(h + 12), height = Le16(h + 14);
    const unsigned depth = h[16], descriptor = h[17];
    return mapType == 0 && type == 2 && width != 0 && height != 0 &&
           (depth == 16 || depth == 24 || depth == 32) && (descriptor & 0xC0) == 0;
}

QSize TgaSize(const unsigned char* h)
{
    return QSize(int(Le16(h + 12)), int(Le16(h + 14)));
}

// Qt reads only TGA 2.0 files, which end in a footer; older files lack it and
// get an empty one (no extension or developer area) so that Qt takes them.
void AddTgaFooter(QByteArray& bytes)
{
    static const char kSignature[] = "TRUEVISION-XFILE.";
    constexpr qsizetype kFooterSize = 26;
    if (bytes.size() >= 18 + kFooterSize &&
        std::memcmp(bytes.constData() + bytes.size() - 18, kSignature, 18) == 0)
        return;
    bytes.append(QByteArray(8, '\0')).append(kSignature, 18);
}

bool HasTgaExtension(const char* name)
{
    if (!name)
        return false;
    std::size_t n = std::strlen(name);
    return n >= 4 && name[n - 4] == '.' && (name[n - 3] | 0x20) == 't' &&
           (name[n - 2] | 0x20) == 'g' && (name[n - 1] | 0x20) == 'a';
}

// Content decides. For TGA, which has no signature, a plausible header is
// required and the name's extension is what tips it (name == nullptr: the
// header alone decides, as when the bytes come without a name).
Kind KindOf(const unsigned char* head, std::size_t n, const char* name, bool nameKnown)
{
    if (IsWebP(head, n))
        return WebP;
    if (IsTiff(head, n))
        return Tiff;
    if (IsPlausibleTga(head, n) && (!nameKnown || HasTgaExtension(name)))
        return Tga;
    return None;
}

const char* QtFormat(Kind k)
{
    switch (k) {
    case WebP: return "webp";
    case Tiff: return "tiff";
    case Tga: return "tga";
    default: return nullptr;
    }
}

int ReadInput(const char* buf, std::intptr_t len, unsigned int flag, QByteArray& bytes)
{
    if (!buf)
        return SPI_OTHER_ERROR;
    switch (flag & SPI_INPUT_MASK) {
    case SPI_INPUT_FILE: {
        QFile file(QFile::decodeName(buf));
        if (len < 0 || !file.open(QIODevice::ReadOnly) || !file.seek(qint64(len)))
            return SPI_FILE_READ_ERROR;
        if (file.size() <= qint64(len))
            return SPI_NOT_SUPPORT;
        if (file.size() - qint64(len) > (qint64(1) << 32))
            return SPI_NO_MEMORY;
        bytes = file.readAll();
        if (bytes.size() != file.size() - qint64(len))
            return SPI_FILE_READ_ERROR;
        return SPI_SUCCESS;
    }
    case SPI_INPUT_MEMORY:
        if (len <= 0)
            return SPI_NOT_SUPPORT;
        bytes = QByteArray::fromRawData(buf, qsizetype(len));
        return SPI_SUCCESS;
    default:
        return SPI_NO_FUNCTION;
    }
}

int CodeOfReader(const QImageReader& reader)
{
    switch (reader.error()) {
    case QImageReader::UnsupportedFormatError: return SPI_NOT_SUPPORT;
    case QImageReader::DeviceError: return SPI_FILE_READ_ERROR;
    default: return SPI_OUT_OF_ORDER;
    }
}

quint64 RowBytes(quint64 width)
{
    return (width * 3 + 3) & ~quint64(3);
}

bool Fits(QSize size)
{
    return size.width() > 0 && size.height() > 0 &&
           RowBytes(quint64(size.width())) * quint64(size.height()) <= kMaxPixelBytes;
}

// An opened picture: its bytes, a device over them and Qt's reader with the
// format that the content named.
struct Source {
    QByteArray bytes;
    QBuffer device;
    std::unique_ptr<QImageReader> reader;
};

int Open(const char* buf, std::intptr_t len, unsigned int flag, Source& src)
{
    if (int rc = ReadInput(buf, len, flag, src.bytes); rc != SPI_SUCCESS)
        return rc;
    const auto* head = reinterpret_cast<const unsigned char*>(src.bytes.constData());
    const Kind kind = KindOf(head, std::size_t(src.bytes.size()), nullptr, false);
    const char* format = QtFormat(kind);
    if (!format)
        return SPI_NOT_SUPPORT;
    if (kind == Tga) {
        // Qt refuses big TGA pictures itself; tell that apart from damage.
        const QSize size = TgaSize(head);
        if (!Fits(size))
            return SPI_NO_MEMORY;
        // Qt would fill missing rows with whatever follows; refuse them.
        const quint64 need = 18 + quint64(head[0]) +
                             quint64(size.width()) * quint64(size.height()) * ((head[16] + 7) / 8);
        if (quint64(src.bytes.size()) < need)
            return SPI_OUT_OF_ORDER;
        AddTgaFooter(src.bytes); // detaches from the caller's memory first
    }
    src.device.setBuffer(&src.bytes);
    if (!src.device.open(QIODevice::ReadOnly))
        return SPI_OTHER_ERROR;
    // Qt's own allocation limit (128 MB by default) would refuse big scans
    // that fit ours; its images take 4 bytes a pixel where our DIB takes 3.
    static const bool raised = [] {
        QImageReader::setAllocationLimit(int((kMaxPixelBytes / 3 * 4) >> 20) + 1);
        return true;
    }();
    (void)raised;
    src.reader = std::make_unique<QImageReader>(&src.device, format);
    src.reader->setDecideFormatFromContent(false);
    src.reader->setAutoTransform(true); // stored orientation (TIFF) applies
    if (!src.reader->canRead())
        return CodeOfReader(*src.reader) == SPI_NOT_SUPPORT ? SPI_NOT_SUPPORT : SPI_OUT_OF_ORDER;
    return SPI_SUCCESS;
}

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
    return CopyText(kInfo[infono], buf, buflen);
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
    if (!lpInfo)
        return SPI_OTHER_ERROR;
    Source src;
    if (int rc = Open(buf, len, flag, src); rc != SPI_SUCCESS)
        return rc;
    QSize size = src.reader->size();
    if (!size.isValid()) { // the handler cannot tell without decoding
        QImage image = src.reader->read();
        if (image.isNull())
            return CodeOfReader(*src.reader);
        size = image.size();
    } else if (src.reader->transformation() & QImageIOHandler::TransformationRotate90) {
        size.transpose();
    }
    std::memset(lpInfo, 0, sizeof *lpInfo);
    lpInfo->width = size.width();
    lpInfo->height = size.height();
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
    Source src;
    if (int rc = Open(buf, len, flag, src); rc != SPI_SUCCESS)
        return rc;
    // Refuse oversized pictures before decoding them, when the size is known.
    if (QSize size = src.reader->size(); size.isValid() && !Fits(size))
        return SPI_NO_MEMORY;
    QImage image = src.reader->read();
    if (image.isNull())
        return CodeOfReader(*src.reader);
    if (!Fits(image.size()))
        return SPI_NO_MEMORY;
    if (Cancelled(progressCallback, 50, 100, lData))
        return SPI_ABORT;
    image = image.convertToFormat(QImage::Format_RGB888);
    if (image.isNull())
        return SPI_NO_MEMORY;

    const int width = image.width(), height = image.height();
    const std::size_t rowBytes = std::size_t(RowBytes(quint64(width)));
    const std::size_t pixelBytes = rowBytes * std::size_t(height);
    LocalBlock info, bits;
    info.h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(SpiBitmapInfoHeader));
    bits.h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, pixelBytes);
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

    for (int y = 0; y < height; ++y) {
        const uchar* src = image.constScanLine(y);
        unsigned char* dst = rows + std::size_t(height - 1 - y) * rowBytes;
        for (int x = 0; x < width; ++x, src += 3, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
    LocalUnlock(bits.h);
    if (Cancelled(progressCallback, 100, 100, lData))
        return SPI_ABORT;
    *pHBInfo = info.release();
    *pHBm = bits.release();
    return SPI_SUCCESS;
}
}
