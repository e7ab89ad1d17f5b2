#pragma once
// WebP, TIFF, TGA and GIF (its first frame) through Qt's image plug-ins, read
// the one way the built-in loader and ifqtimg.spi share: by the format the
// content named, under an allocation limit, old TGA files given the footer
// Qt wants, and stored orientation (TIFF) applied.
#include <cstdint>

#include <QByteArray>
#include <QImage>
#include <QSize>

#include "codecs/CodecResult.h"

namespace codec {

enum class QtImageFormat { Gif, WebP, Tiff, Tga };

// The picture's bytes, or an open file, read from its start.
struct QtImageSource {
    QByteArray bytes;
    int fd = -1;
};

// The size as shown, read from the header where Qt's reader can tell it
// (else by decoding). Pictures larger than maxBytes at 4 bytes a pixel are
// refused (ErrorKind::TooLarge).
Result<QSize> ReadQtImageSize(const QtImageSource& source, QtImageFormat format, std::uint64_t maxBytes);

// The picture decoded, in the format Qt's reader gives.
Result<QImage> DecodeQtImage(const QtImageSource& source, QtImageFormat format, std::uint64_t maxBytes);

} // namespace codec
