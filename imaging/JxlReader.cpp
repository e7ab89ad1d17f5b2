#include "imaging/JxlReader.h"

#include "codecs/Jxl.h"
#include "imaging/CodecImage.h"

codec::Result<JxlHeader> ReadJxlHeader(int fd)
{
    codec::DecodeOptions options;
    options.threads = 0;
    const codec::Result<codec::JxlPicture> picture = codec::JxlPicture::Open(codec::Source::File(fd), options);
    if (!picture)
        return picture.error();
    const codec::JxlHeader& h = picture->Header();
    JxlHeader header;
    header.size = QSize(h.width, h.height);
    header.alpha = h.alpha;
    header.colour.icc = QByteArray(reinterpret_cast<const char*>(h.icc.data()), qsizetype(h.icc.size()));
    return header;
}

codec::Result<QImage> DecodeJxl(int fd, std::size_t maxBytes)
{
    codec::Result<codec::JxlPicture> picture =
        codec::JxlPicture::Open(codec::Source::File(fd), LoaderDecodeOptions(maxBytes));
    if (!picture)
        return picture.error();
    codec::Result<codec::Pixels> pixels = picture->Decode(4);
    if (!pixels)
        return pixels.error();
    // libjxl hands out straight alpha.
    return ImageOfPixels(std::move(*pixels), picture->Header().alpha, false);
}
