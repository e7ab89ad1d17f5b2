#pragma once
// The codec library's decoders (codecs/) as the loader runs them: on the
// decoding service's threads, stopping when it asks, and their pixels kept
// as Qt keeps them.
#include <cstddef>

#include <QImage>

#include "codecs/Decoding.h"

// Options for a decode on a decoding thread: no library threads of its own
// (idle decoding threads are lent instead), the service's stop flag, the
// limit of maxBytes.
codec::DecodeOptions LoaderDecodeOptions(std::size_t maxBytes);

// RGBA pixels turned in their own buffer into Format_RGB32, or with alpha
// into Format_ARGB32_Premultiplied; the image takes the buffer over.
QImage ImageOfPixels(codec::Pixels pixels, bool alpha, bool premultiplied);
