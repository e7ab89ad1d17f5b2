#include "imaging/JxlReader.h"

#include "codecs/Jxl.h"

codec::Result<CodecHeader> ReadJxlHeader(int fd)
{
    return HeaderOf(codec::OpenJxl(codec::Source::File(fd), LoaderDecodeOptions()));
}

codec::Result<QImage> DecodeJxl(int fd, std::size_t maxBytes)
{
    return ImageOf(codec::OpenJxl(codec::Source::File(fd), LoaderDecodeOptions(maxBytes)));
}
