#include "imaging/CodecImage.h"

#include <memory>

#include "imaging/DecodeService.h"

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

QImage ImageOfPixels(codec::Pixels pixels, bool alpha, bool premultiplied)
{
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
    if (image.isNull())
        buffer.free(buffer.owner);
    return image;
}
