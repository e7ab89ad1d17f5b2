#pragma once
// HEIF/HEIC and AVIF from the codec library as the loader keeps pictures
// (stored rotation, mirroring and cropping applied).
#include <cstddef>

#include "imaging/CodecImage.h"

// Reads what describes the primary image from a file or memory (a
// descriptor stays open and its position is not used); no pixels are decoded.
codec::Result<CodecHeader> ReadHeifHeader(const codec::Source& source);

// Decodes the primary image, refused when it would take more than maxBytes.
codec::Result<QImage> DecodeHeif(const codec::Source& source, std::size_t maxBytes);
