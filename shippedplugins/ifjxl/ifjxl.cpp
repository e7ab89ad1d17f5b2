// ifjxl.spi: JPEG XL pictures through the codec library (libjxl), decoded to
// a bottom-up 24-bit DIB with the picture's stored orientation applied.
#include "../SpiKit.h"
#include "../spi00in.h"

#include "codecs/Jxl.h"

#include <string>

namespace {

const char* const kInfo[] = {
    "00IN",
    nullptr, // about text, built with the libjxl version
    "*.jxl",
    "JPEG XL 画像",
};

// threads: libjxl's own worker threads, as many as it likes, or none.
codec::Result<codec::Picture> Open(const spi::Input& in, int threads)
{
    codec::DecodeOptions options;
    options.threads = threads;
    return codec::OpenJxl(codec::Source::Memory(in.data, in.size), std::move(options));
}

} // namespace

extern "C" {

SPI_EXPORT int GetPluginInfo(int infono, char* buf, int buflen)
{
    if (infono < 0 || infono >= int(sizeof kInfo / sizeof kInfo[0]))
        return 0;
    if (infono == 1)
        return spi::CopyText(("JPEG XL plug-in for Velmora, libjxl " + codec::JxlLibraryVersion()).c_str(), buf,
                             buflen);
    return spi::CopyText(kInfo[infono], buf, buflen);
}

SPI_EXPORT int IsSupported(const char* /*filename: the content decides*/, void* dw)
{
    return dw && codec::IsJxl(static_cast<const unsigned char*>(dw), 2048) ? 1 : 0;
}

SPI_EXPORT int GetPictureInfo(const char* buf, std::intptr_t len, unsigned int flag,
                              PictureInfo* lpInfo)
{
    spi::Input in;
    if (int rc = spi::StartPictureInfo(buf, len, flag, lpInfo, in); rc != SPI_SUCCESS)
        return rc;
    return spi::InfoOf(Open(in, 0), lpInfo);
}

SPI_EXPORT int GetPicture(const char* buf, std::intptr_t len, unsigned int flag, void** pHBInfo,
                          void** pHBm, SPI_PROGRESS progressCallback, std::intptr_t lData)
{
    const spi::Progress progress{progressCallback, lData};
    spi::Input in;
    if (int rc = spi::StartPicture(buf, len, flag, pHBInfo, pHBm, progress, in); rc != SPI_SUCCESS)
        return rc;
    return spi::DecodeToDib(Open(in, -1), progress, pHBInfo, pHBm);
}
}
