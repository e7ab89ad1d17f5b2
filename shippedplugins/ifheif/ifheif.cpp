// ifheif.spi: HEIF/HEIC and AVIF pictures through the codec library (libheif),
// decoded to a bottom-up 24-bit DIB with the picture's stored rotation and
// mirroring applied.
#include "../SpiKit.h"
#include "../spi00in.h"

#include "codecs/Heif.h"
#include "codecs/Recognise.h"

#include <cstdio>

namespace {

const char* const kInfo[] = {
    "00IN",
    nullptr, // about text, built with the libheif version
    "*.heic;*.heif",
    "HEIF 画像",
    "*.avif",
    "AVIF 画像",
};

codec::Result<codec::Picture> Open(const spi::Input& in, bool /*decoding*/)
{
    return codec::OpenHeif(codec::Source::Memory(in.data, in.size));
}

} // namespace

extern "C" {

SPI_EXPORT int GetPluginInfo(int infono, char* buf, int buflen)
{
    char about[128];
    std::snprintf(about, sizeof about, "HEIF/AVIF plug-in for Velmora, libheif %s", codec::HeifLibraryVersion());
    return spi::PluginInfo(kInfo, about, infono, buf, buflen);
}

SPI_EXPORT int IsSupported(const char* /*filename: the content decides*/, void* dw)
{
    if (!dw)
        return 0;
    switch (codec::HeifKindOf(static_cast<const unsigned char*>(dw), 2048)) {
    case codec::HeifKind::Heif: return 1;
    case codec::HeifKind::Avif: return 2;
    default: return 0;
    }
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
