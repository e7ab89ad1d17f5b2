#include "imaging/HeifReader.h"

#include "codecs/Heif.h"
#include "imaging/CodecImage.h"

namespace {

// An nclx box's primaries and transfer curve as a colour space; invalid for
// sRGB. Curves Qt has no form for (the BT.709 family, which encoders also
// write for sRGB pictures, and the HDR curves) are taken as sRGB's.
QColorSpace SpaceOf(const codec::Nclx& nclx)
{
    namespace h273 = codec::h273;
    QColorSpace::TransferFunction transfer = QColorSpace::TransferFunction::SRgb;
    float gamma = 0;
    switch (nclx.transfer) {
    case h273::kTransferLinear: transfer = QColorSpace::TransferFunction::Linear; break;
    case h273::kTransferBt470M: transfer = QColorSpace::TransferFunction::Gamma, gamma = 2.2f; break;
    case h273::kTransferBt470BG: transfer = QColorSpace::TransferFunction::Gamma, gamma = 2.8f; break;
    default: break;
    }
    QColorSpace space;
    switch (nclx.primaries) {
    case h273::kPrimariesBt709:
    case h273::kPrimariesUnspecified:
        if (transfer == QColorSpace::TransferFunction::SRgb)
            return {};
        space = QColorSpace(QColorSpace::Primaries::SRgb, transfer, gamma);
        break;
    case h273::kPrimariesDisplayP3:
        space = QColorSpace(QColorSpace::Primaries::DciP3D65, transfer, gamma);
        break;
    default:
        space = QColorSpace(QPointF(nclx.whiteX, nclx.whiteY), QPointF(nclx.redX, nclx.redY),
                            QPointF(nclx.greenX, nclx.greenY), QPointF(nclx.blueX, nclx.blueY), transfer, gamma);
        break;
    }
    return space.isValid() ? space : QColorSpace();
}

} // namespace

codec::Result<HeifHeader> ReadHeifHeader(int fd)
{
    const codec::Result<codec::HeifPicture> picture = codec::HeifPicture::Open(codec::Source::File(fd));
    if (!picture)
        return picture.error();
    const codec::HeifHeader& h = picture->Header();
    HeifHeader header;
    header.size = QSize(h.width, h.height);
    header.alpha = h.alpha;
    if (!h.icc.empty())
        header.colour.icc = QByteArray(reinterpret_cast<const char*>(h.icc.data()), qsizetype(h.icc.size()));
    else if (h.nclx)
        header.colour.space = SpaceOf(*h.nclx);
    return header;
}

codec::Result<QImage> DecodeHeif(int fd, std::size_t maxBytes)
{
    codec::Result<codec::HeifPicture> picture =
        codec::HeifPicture::Open(codec::Source::File(fd), LoaderDecodeOptions(maxBytes));
    if (!picture)
        return picture.error();
    codec::Result<codec::Pixels> pixels = picture->Decode(4);
    if (!pixels)
        return pixels.error();
    return ImageOfPixels(std::move(*pixels), picture->Header().alpha, picture->Header().premultiplied);
}
