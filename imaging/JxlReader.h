#pragma once
// JPEG XL from the codec library as the loader keeps pictures: the first
// frame with the stored orientation applied, in the colours of the profile
// in its header.
#include <cstddef>

#include "imaging/CodecImage.h"

// Reads a file or memory from its start until the header and colour profile are known.
codec::Result<CodecHeader> ReadJxlHeader(const codec::Source& source);

// Decodes the first frame, refused when it would take more than maxBytes;
// idle decoding threads help.
codec::Result<QImage> DecodeJxl(const codec::Source& source, std::size_t maxBytes);
