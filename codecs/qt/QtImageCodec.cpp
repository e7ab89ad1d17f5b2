#include "codecs/qt/QtImageCodec.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#include "codecs/Decoding.h"
#include "codecs/Recognise.h"

namespace codec {

namespace {

// A TGA file is read whole into memory to append its footer; none is larger.
constexpr std::uint64_t kMaxTgaFileBytes = std::uint64_t(1) << 30;

const char* NameOf(QtImageFormat format)
{
    switch (format) {
    case QtImageFormat::Gif: return "gif";
    case QtImageFormat::WebP: return "webp";
    case QtImageFormat::Tiff: return "tiff";
    case QtImageFormat::Tga: return "tga";
    }
    return "";
}

bool Fits(QSize size, std::uint64_t maxBytes)
{
    return PixelBytes(size.width(), size.height(), 4) <= maxBytes;
}

Result<QByteArray> ReadWhole(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return Fail(ErrorKind::ReadFailed, std::strerror(errno));
    if (std::uint64_t(st.st_size) > kMaxTgaFileBytes)
        return Fail(ErrorKind::TooLarge, "file too large");
    QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
    for (qsizetype got = 0; got < bytes.size();) {
        const ssize_t n = ReadAt(fd, bytes.data() + got, std::size_t(bytes.size() - got), std::uint64_t(got));
        if (n < 0)
            return Fail(ErrorKind::ReadFailed, std::strerror(errno));
        if (n == 0)
            return Fail(ErrorKind::ReadFailed, "file changed while being read");
        got += n;
    }
    return bytes;
}

} // namespace

// A picture opened for Qt's reader: its bytes or file, and the reader with
// the format the content named.
struct QtOpened {
    QByteArray bytes;
    QFile file;
    QBuffer buffer;
    std::unique_ptr<QImageReader> reader;
};

namespace {

using Opened = QtOpened;

// TGA files come whole from memory: checked that the pixels are all there
// (Qt would fill missing rows with whatever follows) and given the footer.
Result<void> PrepareTga(QByteArray& bytes, std::uint64_t maxBytes)
{
    const auto* head = reinterpret_cast<const unsigned char*>(bytes.constData());
    if (!IsPlausibleTga(head, std::size_t(bytes.size())))
        return Fail(ErrorKind::NotThisFormat, "not a TGA header Qt reads");
    const TgaLayout layout = TgaLayoutOf(head);
    // Qt refuses big TGA pictures itself; tell that apart from damage.
    if (!Fits(QSize(layout.width, layout.height), maxBytes))
        return Fail(ErrorKind::TooLarge, "picture too large");
    if (std::uint64_t(bytes.size()) < layout.pixelsEnd)
        return Fail(ErrorKind::Damaged, "TGA pixels missing");
    const std::string_view footer = MissingTgaFooter(head, std::size_t(bytes.size()));
    bytes.append(footer.data(), qsizetype(footer.size())); // detaches from the caller's memory first
    return {};
}

Result<std::unique_ptr<Opened>> Open(const QtImageSource& source, QtImageFormat format, std::uint64_t maxBytes)
{
    auto opened = std::make_unique<Opened>();
    QIODevice* device = nullptr;
    if (format == QtImageFormat::Tga || source.fd < 0) {
        if (source.fd >= 0) {
            Result<QByteArray> whole = ReadWhole(source.fd);
            if (!whole)
                return whole.error();
            opened->bytes = std::move(*whole);
        } else {
            opened->bytes = source.bytes;
        }
        if (format == QtImageFormat::Tga)
            if (const Result<void> prepared = PrepareTga(opened->bytes, maxBytes); !prepared)
                return prepared.error();
        opened->buffer.setBuffer(&opened->bytes);
        device = &opened->buffer;
    } else {
        if (::lseek(source.fd, 0, SEEK_SET) != 0)
            return Fail(ErrorKind::ReadFailed, std::strerror(errno));
        if (!opened->file.open(source.fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            return Fail(ErrorKind::ReadFailed, opened->file.errorString().toStdString());
        device = &opened->file;
    }
    if (!device->isOpen() && !device->open(QIODevice::ReadOnly))
        return Fail(ErrorKind::ReadFailed, device->errorString().toStdString());
    AllowQtImages(maxBytes);
    opened->reader = std::make_unique<QImageReader>(device, NameOf(format));
    QImageReader& reader = *opened->reader;
    reader.setDecideFormatFromContent(false);
    reader.setAutoTransform(true); // stored orientation (TIFF) applies
    if (!reader.canRead())
        return Fail(reader.error() == QImageReader::UnsupportedFormatError ? ErrorKind::NotThisFormat
                                                                          : ErrorKind::Damaged,
                    reader.errorString().toStdString());
    return opened;
}

Result<QImage> Read(QImageReader& reader, std::uint64_t maxBytes)
{
    QImage image = reader.read();
    if (image.isNull())
        return ReaderError(reader);
    if (!Fits(image.size(), maxBytes))
        return Fail(ErrorKind::TooLarge, "picture too large");
    return image;
}

} // namespace

Error ReaderError(const QImageReader& reader)
{
    const std::string message = reader.errorString().toStdString();
    switch (reader.error()) {
    case QImageReader::UnsupportedFormatError: return Fail(ErrorKind::NotThisFormat, message);
    case QImageReader::FileNotFoundError:
    case QImageReader::DeviceError: return Fail(ErrorKind::ReadFailed, message);
    default: return Fail(ErrorKind::Damaged, message);
    }
}

void AllowQtImages(std::uint64_t maxBytes)
{
    const int limitMb = int(std::min<std::uint64_t>(maxBytes >> 20, INT32_MAX - 1)) + 1;
    if (QImageReader::allocationLimit() < limitMb)
        QImageReader::setAllocationLimit(limitMb);
}

Result<QSize> ReadQtImageSize(const QtImageSource& source, QtImageFormat format, std::uint64_t maxBytes)
{
    Result<std::unique_ptr<Opened>> opened = Open(source, format, maxBytes);
    if (!opened)
        return opened.error();
    QImageReader& reader = *(*opened)->reader;
    QSize size = reader.size();
    if (!size.isValid()) { // the handler cannot tell without decoding
        const Result<QImage> image = Read(reader, maxBytes);
        if (!image)
            return image.error();
        return image->size();
    }
    if (size.isEmpty())
        return Fail(ErrorKind::Damaged, "picture size not positive");
    return reader.transformation() & QImageIOHandler::TransformationRotate90 ? size.transposed() : size;
}

Result<QImage> DecodeQtImage(const QtImageSource& source, QtImageFormat format, std::uint64_t maxBytes)
{
    Result<std::unique_ptr<Opened>> opened = Open(source, format, maxBytes);
    if (!opened)
        return opened.error();
    QImageReader& reader = *(*opened)->reader;
    // Refused before decoding where the size is known.
    if (const QSize size = reader.size(); size.isValid() && !Fits(size, maxBytes))
        return Fail(ErrorKind::TooLarge, "picture too large");
    return Read(reader, maxBytes);
}

QtFrameReader::~QtFrameReader() = default;

Result<std::unique_ptr<QtFrameReader>> QtFrameReader::Open(const QtImageSource& source, QtImageFormat format,
                                                           std::uint64_t maxBytes)
{
    std::unique_ptr<QtFrameReader> frames(new QtFrameReader);
    frames->mSource = source;
    frames->mFormat = format;
    frames->mMaxBytes = maxBytes;
    if (Result<void> opened = frames->Rewind(); !opened)
        return opened.error();
    const QImageReader& reader = *frames->mOpened->reader;
    frames->mCount = reader.imageCount();
    if (!reader.supportsAnimation() || frames->mCount < 2)
        return Fail(ErrorKind::NotThisFormat, "not an animation");
    // Qt counts the repeats after the first play; a file that says nothing plays once.
    const int loops = reader.loopCount();
    frames->mPlays = loops < 0 ? 0 : loops + 1;
    return frames;
}

Result<void> QtFrameReader::Rewind()
{
    mOpened.reset();
    Result<std::unique_ptr<Opened>> opened = codec::Open(mSource, mFormat, mMaxBytes);
    if (!opened)
        return opened.error();
    mOpened = std::move(*opened);
    mNext = 0;
    return {};
}

Result<QtFrameReader::Frame> QtFrameReader::Next()
{
    if (mNext >= mCount)
        if (Result<void> rewound = Rewind(); !rewound)
            return rewound.error();
    QImageReader& reader = *mOpened->reader;
    Frame frame;
    frame.index = mNext++;
    Result<QImage> image = Read(reader, mMaxBytes);
    if (!image)
        return image.error();
    frame.image = std::move(*image);
    frame.delayMs = reader.nextImageDelay();
    return frame;
}

} // namespace codec
