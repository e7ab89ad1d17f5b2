#include "imaging/JxlReader.h"

#include "codecs/Jxl.h"

codec::Result<CodecHeader> ReadJxlHeader(const codec::Source& source)
{
    return HeaderOf(codec::OpenJxl(source, LoaderDecodeOptions()));
}

codec::Result<QImage> DecodeJxl(const codec::Source& source, std::size_t maxBytes)
{
    return ImageOf(codec::OpenJxl(source, LoaderDecodeOptions(maxBytes)));
}
