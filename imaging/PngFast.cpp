// The quick PNG path put together: the chunks are read, the picture data
// inflated (on a second thread for large pictures) while the rows already
// there become the picture.
#include "imaging/PngFast.h"

#include "imaging/DecodeService.h"
#include "imaging/PngFastParts.h"

#include <cstdint>
#include <memory>

namespace {

// Pictures with at least this much row data are inflated on a thread of
// their own while the rows are unfiltered and reduced.
constexpr std::size_t kThreadedBytes = std::size_t(2) << 20;

} // namespace

codec::Result<QImage> DecodePngFast(std::FILE* file, QSize size, std::size_t maxBytes)
{
    using namespace pngfast;
    if (!file)
        return codec::Fail(codec::ErrorKind::ReadFailed, "no file");
    auto png = std::make_unique<Png>();
    const codec::Result<std::uint32_t> firstLength = ReadChunks(file, maxBytes, png.get());
    if (!firstLength)
        return firstLength.error();
    if (png->rawSize > UINT32_MAX)
        return codec::Fail(codec::ErrorKind::NotThisFormat, "inflated rows over 4 GB");
    if (!png->raw.Allocate(png->rawSize))
        return codec::Fail(codec::ErrorKind::OutOfMemory, "no memory for the inflated rows");
    // Large pictures are inflated on an idle decoding thread while this one
    // unfilters and reduces the rows already there; with none idle, this
    // thread inflates first.
    Progress progress;
    DecodeService::Borrowed inflating;
    if (png->rawSize >= kThreadedBytes)
        inflating = DecodeService::TryBorrow([&] { InflateRows(file, *firstLength, png.get(), &progress); });
    if (!inflating)
        InflateRows(file, *firstLength, png.get(), &progress);
    struct Join {
        Progress& progress;
        DecodeService::Borrowed& inflating;
        ~Join()
        {
            progress.stop = true;
            inflating.Wait();
        }
    } join{progress, inflating};
    const QSize natural(int(png->width), int(png->height));
    const bool reduce = size.width() > 0 && size.height() > 0 && size.width() <= natural.width() &&
                        size.height() <= natural.height() && size != natural;
    return reduce ? DecodeReduced(png.get(), size, progress) : DecodeWhole(png.get(), progress);
}
