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

// A decode spreads over libjxl's own threads; reading the header needs none.
codec::Result<codec::Picture> Open(const spi::Input& in, bool decoding)
{
    codec::DecodeOptions options;
    options.threads = decoding ? -1 : 0;
    return codec::OpenJxl(codec::Source::Memory(in.data, in.size), std::move(options));
}

} // namespace

extern "C" {

SPI_EXPORT int GetPluginInfo(int infono, char* buf, int buflen)
{
    const std::string about = "JPEG XL plug-in for Velmora, libjxl " + codec::JxlLibraryVersion();
    return spi::PluginInfo(kInfo, about.c_str(), infono, buf, buflen);
}

SPI_EXPORT int IsSupported(const char* /*filename: the content decides*/, void* dw)
{
    return dw && codec::IsJxl(static_cast<const unsigned char*>(dw), 2048) ? 1 : 0;
}

SPI_EXPORT int GetPictureInfo(const char* buf, std::intptr_t len, unsigned int flag, PictureInfo* lpInfo)
{
    return spi::CodecPictureInfo(buf, len, flag, lpInfo, Open);
}

SPI_EXPORT int GetPicture(const char* buf, std::intptr_t len, unsigned int flag, void** pHBInfo,
                          void** pHBm, SPI_PROGRESS progressCallback, std::intptr_t lData)
{
    return spi::CodecPicture(buf, len, flag, pHBInfo, pHBm, {progressCallback, lData}, Open);
}
}
