// The metafile reader and renderer alone, so every execution exercises the
// record parser: inputs with the enhanced signature are read as enhanced
// metafiles, everything else as a Windows metafile (placeable or plain).
#include "FuzzApp.h"
#include "common/RuntimeError.h"
#include "imaging/Metafile.h"
#include "imaging/PictureFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <QImage>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    EnsureFuzzApplication();
    const bool enhanced = size >= 44 && std::memcmp(data + 40, " EMF", 4) == 0;
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto opened = OpenMetafile(std::move(bytes), enhanced);
    if (!opened)
        return 0;
    const auto& picture = *opened;
    try {
        const QSize natural = picture->NaturalSize();
        if (natural.width() <= 0 || natural.height() <= 0)
            return 0;
        const QSize shown(std::min(natural.width(), 64), std::min(natural.height(), 64));
        if (picture->Render(shown).size() != shown)
            std::abort();
    } catch (const RuntimeError&) {
    }
    return 0;
}
