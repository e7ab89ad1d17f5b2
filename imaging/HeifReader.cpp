#include "imaging/HeifReader.h"

#include "codecs/Heif.h"

codec::Result<CodecHeader> ReadHeifHeader(const codec::Source& source)
{
    return HeaderOf(codec::OpenHeif(source, LoaderDecodeOptions()));
}

codec::Result<QImage> DecodeHeif(const codec::Source& source, std::size_t maxBytes)
{
    return ImageOf(codec::OpenHeif(source, LoaderDecodeOptions(maxBytes)));
}
