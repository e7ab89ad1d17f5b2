#include "imaging/CodecImage.h"

#include <memory>

#include "imaging/DecodeService.h"

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

codec::DecodeOptions LoaderDecodeOptions(std::size_t maxBytes)
{
    codec::DecodeOptions options;
    options.threads = 0; // the decoding service owns the threads; pictures decode side by side
    options.stop = [] { return DecodeStopRequested(); };
    options.lender.idle = [] { return DecodeService::IdleWorkers(); };
    options.lender.start = [](std::function<void()> task) -> std::function<void()> {
        auto helper = std::make_shared<DecodeService::Borrowed>(DecodeService::TryBorrow(std::move(task)));
        if (!*helper)
            return {};
        return [helper] { helper->Wait(); };
    };
    options.maxBytes = maxBytes;
    return options;
}

codec::Result<CodecHeader> HeaderOf(const codec::Result<codec::Picture>& picture)
{
    if (!picture)
        return picture.error();
    const codec::PictureHeader& h = picture->Header();
    CodecHeader header;
    header.size = QSize(h.width, h.height);
    header.alpha = h.alpha;
    header.animated = h.animated;
    if (!h.icc.empty())
        header.colour.icc = QByteArray(reinterpret_cast<const char*>(h.icc.data()), qsizetype(h.icc.size()));
    else if (h.nclx)
        header.colour.space = SpaceOf(*h.nclx);
    return header;
}

codec::Result<QImage> ImageOf(codec::Result<codec::Picture> picture)
{
    if (!picture)
        return picture.error();
    codec::Result<codec::Pixels> decoded = picture->Decode(4);
    if (!decoded)
        return decoded.error();
    return ImageOf(std::move(*decoded), picture->Header());
}

codec::Result<QImage> ImageOf(codec::Pixels pixels, const codec::PictureHeader& header)
{
    const bool alpha = header.alpha, premultiplied = header.premultiplied;
    const int width = pixels.Width(), height = pixels.Height();
    for (int y = 0; y < height; ++y) {
        std::uint8_t* p = pixels.Row(y);
        auto* out = reinterpret_cast<QRgb*>(p);
        for (int x = 0; x < width; ++x, p += 4) {
            const QRgb rgba = qRgba(p[0], p[1], p[2], alpha ? p[3] : 255);
            out[x] = alpha && !premultiplied ? qPremultiply(rgba) : rgba;
        }
    }
    const qsizetype stride = qsizetype(pixels.Stride());
    const codec::Pixels::Released buffer = pixels.Release();
    QImage image(buffer.data, width, height, stride,
                 alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32, buffer.free, buffer.owner);
    if (image.isNull()) {
        buffer.free(buffer.owner);
        return codec::Fail(codec::ErrorKind::OutOfMemory, "no memory for the image");
    }
    return image;
}
