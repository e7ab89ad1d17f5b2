#pragma once
// HEIF/HEIC and AVIF through libheif: the primary image's header with what
// the file says about its colours (ICC, else nclx), and decoding with the
// stored rotation, mirroring and cropping applied.
#include "codecs/CodecResult.h"
#include "codecs/Decoding.h"

namespace codec {

// libheif's version, e.g. "1.15.1".
const char* HeifLibraryVersion();

// Reads the file's structure and its primary image's header; no pixels are
// decoded. A file source is read through pread, so that libheif never holds
// a copy of the file. options.threads: libheif's tile threads; options.stop
// is asked before decoding.
Result<Picture> OpenHeif(const Source& source, DecodeOptions options = {});

} // namespace codec
