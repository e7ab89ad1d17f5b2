#pragma once
// JPEG XL from the codec library as the loader keeps pictures: the header
// with the colour profile of the decoded pixels, and the first frame as a
// QImage with the stored orientation applied.
#include <cstddef>

#include <QImage>
#include <QSize>

#include "codecs/CodecResult.h"
#include "imaging/ColourProfile.h"

struct JxlHeader {
    QSize size;           // upright: the stored orientation applied
    bool alpha = false;
    ColourProfile colour; // the decoded pixels' profile; empty for sRGB
};

// Reads the file from its start until the header and colour profile are known.
codec::Result<JxlHeader> ReadJxlHeader(int fd);

// Decodes the first frame: Format_RGB32, or Format_ARGB32_Premultiplied when
// it has transparency; refused when it would take more than maxBytes. Idle
// decoding threads help, and it stops when the decoding service asks.
codec::Result<QImage> DecodeJxl(int fd, std::size_t maxBytes);
