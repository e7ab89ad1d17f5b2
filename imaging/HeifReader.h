#pragma once
// HEIF/HEIC and AVIF from the codec library as the loader keeps pictures: the
// header with the file's colours as a ColourProfile, and the pixels as a
// QImage (stored rotation, mirroring and cropping applied).
#include <cstddef>

#include <QImage>
#include <QSize>

#include "codecs/CodecResult.h"
#include "imaging/ColourProfile.h"

struct HeifHeader {
    QSize size;           // upright, as libheif hands the picture out
    bool alpha = false;
    ColourProfile colour; // ICC, else nclx primaries and transfer; empty for sRGB
};

// Reads what describes the primary image from an open file (the descriptor
// stays open and its position is not used); no pixels are decoded.
codec::Result<HeifHeader> ReadHeifHeader(int fd);

// Decodes the primary image: Format_RGB32, or Format_ARGB32_Premultiplied
// when it has transparency; refused when it would take more than maxBytes.
// Stops when the decoding service asks.
codec::Result<QImage> DecodeHeif(int fd, std::size_t maxBytes);
