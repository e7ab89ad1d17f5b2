#include "imaging/HeifReader.h"

#include "codecs/Heif.h"

codec::Result<CodecHeader> ReadHeifHeader(int fd)
{
    return HeaderOf(codec::OpenHeif(codec::Source::File(fd), LoaderDecodeOptions()));
}

codec::Result<QImage> DecodeHeif(int fd, std::size_t maxBytes)
{
    return ImageOf(codec::OpenHeif(codec::Source::File(fd), LoaderDecodeOptions(maxBytes)));
}
