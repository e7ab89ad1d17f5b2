#pragma once
// JPEG XL through libjxl: the header with the colour profile of the decoded
// pixels (empty for sRGB), and decoding of the first frame with the stored
// orientation applied and straight alpha.
#include <cstddef>
#include <string>

#include "codecs/CodecResult.h"
#include "codecs/Decoding.h"

namespace codec {

// Whether a file's first bytes are a JPEG XL codestream or container.
bool IsJxl(const unsigned char* head, std::size_t size);

// libjxl's version, e.g. "0.7.0".
std::string JxlLibraryVersion();

// Reads the file from its start until the header and colour profile are
// known (a file source in pieces, so that little more than the header is
// read). Lossy pictures are asked for in sRGB. options.threads and
// options.lender: who decodes the groups of rows; options.stop is asked
// between them.
Result<Picture> OpenJxl(const Source& source, DecodeOptions options = {});

} // namespace codec
