#pragma once
// The codec library's decoders (codecs/) as the loader runs them and keeps
// their pictures: on the decoding service's threads, stopping when it asks,
// the header's colours as a ColourProfile and the pixels as a QImage.
#include <cstddef>
#include <cstdint>

#include <QImage>
#include <QSize>

#include "codecs/CodecResult.h"
#include "codecs/Decoding.h"
#include "imaging/ColourProfile.h"

struct CodecHeader {
    QSize size;           // upright: the stored orientation applied
    bool alpha = false;
    bool animated = false;
    ColourProfile colour; // ICC, else nclx primaries and transfer; empty for sRGB
};

// Options for a decode on a decoding thread: no library threads of its own
// (idle decoding threads are lent instead), the service's stop flag, the
// limit of maxBytes.
codec::DecodeOptions LoaderDecodeOptions(std::size_t maxBytes = SIZE_MAX);

// An opened picture's header as the loader keeps it.
codec::Result<CodecHeader> HeaderOf(const codec::Result<codec::Picture>& picture);

// An opened picture decoded: Format_RGB32, or Format_ARGB32_Premultiplied
// when it has transparency. The pixels are turned into Qt's layout where the
// decoder put them, and the image takes that buffer over: no second copy.
codec::Result<QImage> ImageOf(codec::Result<codec::Picture> picture);
// The same for decoded pixels (4 channels) of a picture with that header.
codec::Result<QImage> ImageOf(codec::Pixels pixels, const codec::PictureHeader& header);
