// The built-in loader on any file content (bitmaps, icons, metafiles, ...):
// it opens or raises, and what opens renders or raises, never more; so do
// an animation's frames.
#include "FuzzApp.h"
#include "common/RuntimeError.h"
#include "imaging/PictureFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <QImage>

#include <unistd.h>

namespace {

const std::string& FilePath()
{
    static const std::string path = [] {
        const std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return folder + "/velmora-fuzz-picture-" + std::to_string(getpid());
    }();
    static const int removeAtExit = std::atexit([] { unlink(FilePath().c_str()); });
    (void)removeAtExit;
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    EnsureFuzzApplication();

    std::FILE* file = std::fopen(FilePath().c_str(), "wb");
    if (!file)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    try {
        const auto picture = PictureFile::Open(QString::fromStdString(FilePath()));
        const QSize natural = picture->NaturalSize();
        if (natural.width() <= 0 || natural.height() <= 0)
            return 0;
        // A small size keeps the runs fast; every record is still drawn.
        const QSize size(std::min(natural.width(), 64), std::min(natural.height(), 64));
        const QImage image = picture->Render(size);
        if (image.size() != size)
            std::abort();
        // An animation's frames, round once and on.
        if (const std::unique_ptr<PictureFrames> frames = picture->Frames(size))
            for (int i = 0; i < 6; ++i)
                if (frames->Next().image.size() != size)
                    std::abort();
    } catch (const RuntimeError&) {
    }
    return 0;
}
