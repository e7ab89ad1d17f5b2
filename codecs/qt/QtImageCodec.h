#pragma once
// WebP, TIFF, TGA and GIF (its first frame) through Qt's image plug-ins, read
// the one way the built-in loader and ifqtimg.spi share: by the format the
// content named, under an allocation limit, old TGA files given the footer
// Qt wants, and stored orientation (TIFF) applied.
#include <cstdint>
#include <memory>

#include <QByteArray>
#include <QImage>
#include <QSize>

#include "codecs/CodecResult.h"

class QImageReader;

namespace codec {

enum class QtImageFormat { Gif, WebP, Tiff, Tga };

// The picture's bytes, or an open file, read from its start.
struct QtImageSource {
    QByteArray bytes;
    int fd = -1;
};

// maxBytes: the most a picture may take decoded, at 4 bytes a pixel; Qt's
// own allocation limit is raised to it.

// Raises the allocation limit of Qt's image readers (128 MB by default, less
// than an A4 page scanned at 600 dpi) to maxBytes; never lowers it. For
// readers of other formats made by the caller.
void AllowQtImages(std::uint64_t maxBytes);

// Why a QImageReader read nothing, with its message.
Error ReaderError(const QImageReader& reader);

// The size as shown, read from the header where Qt's reader can tell it
// (else by decoding, under maxBytes); the caller judges it. A TGA header
// larger than maxBytes is refused (ErrorKind::TooLarge), to tell it apart
// from a file cut short.
Result<QSize> ReadQtImageSize(const QtImageSource& source, QtImageFormat format, std::uint64_t maxBytes);

// The picture decoded, in the format Qt's reader gives; refused
// (ErrorKind::TooLarge) above maxBytes, before decoding where the size is known.
Result<QImage> DecodeQtImage(const QtImageSource& source, QtImageFormat format, std::uint64_t maxBytes);

// The frames of an animated GIF or WebP, read one after another as Qt's
// reader composes them (each a whole picture), from the first again after
// the last. Reading the file once more for every loop keeps only one frame
// in memory.
class QtFrameReader {
public:
    struct Frame {
        QImage image;
        int delayMs = 0; // as stored
        int index = 0;   // 0 for the first frame, again after the last
    };

    // An animated picture: nothing (ErrorKind::NotThisFormat) for one of a
    // single frame. The file's descriptor must stay open while this lives.
    static Result<std::unique_ptr<QtFrameReader>> Open(const QtImageSource& source, QtImageFormat format,
                                                       std::uint64_t maxBytes);
    ~QtFrameReader();
    QtFrameReader(const QtFrameReader&) = delete;
    QtFrameReader& operator=(const QtFrameReader&) = delete;

    // How often the animation plays: 0 without end.
    int Plays() const { return mPlays; }
    Result<Frame> Next();

private:
    QtFrameReader() = default;
    Result<void> Rewind();

    QtImageSource mSource;
    QtImageFormat mFormat = QtImageFormat::Gif;
    std::uint64_t mMaxBytes = 0;
    std::unique_ptr<struct QtOpened> mOpened;
    int mNext = 0;
    int mCount = 0;
    int mPlays = 0;
};

} // namespace codec
