#include "codecs/AvifFrames.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include <sys/stat.h>

#include <avif/avif.h>

namespace codec {

namespace {

// libavif asks for byte ranges of the file; each answer is read into memory
// of the reader's own, valid until the next question.
struct FileIo {
    avifIO io{};
    int fd = -1;
    std::vector<unsigned char> bytes;

    static avifResult Read(avifIO* io, std::uint32_t flags, std::uint64_t offset, std::size_t size, avifROData* out)
    {
        FileIo* self = static_cast<FileIo*>(io->data);
        if (flags != 0 || offset > io->sizeHint)
            return AVIF_RESULT_IO_ERROR;
        size = std::size_t(std::min<std::uint64_t>(size, io->sizeHint - offset));
        try {
            self->bytes.resize(size);
        } catch (const std::bad_alloc&) {
            return AVIF_RESULT_OUT_OF_MEMORY;
        }
        // A file cut short since it was opened gives what is there.
        const ssize_t got = ReadUpTo(self->fd, self->bytes.data(), size, offset);
        if (got < 0)
            return AVIF_RESULT_IO_ERROR;
        out->data = self->bytes.data();
        out->size = std::size_t(got);
        return AVIF_RESULT_OK;
    }
};

Result<void> FailOf(avifResult result, const char* what)
{
    switch (result) {
    case AVIF_RESULT_OK:
        return {};
    case AVIF_RESULT_OUT_OF_MEMORY:
        return Fail(ErrorKind::OutOfMemory, std::string(what) + ": " + avifResultToString(result));
    case AVIF_RESULT_IO_ERROR:
        return Fail(ErrorKind::ReadFailed, std::string(what) + ": " + avifResultToString(result));
    default:
        return Fail(ErrorKind::Damaged, std::string(what) + ": " + avifResultToString(result));
    }
}

} // namespace

struct AvifFrames::Decoder {
    FileIo file;
    avifDecoder* avif = nullptr;
    ~Decoder()
    {
        if (avif)
            avifDecoderDestroy(avif);
    }
};

AvifFrames::~AvifFrames() = default;

Result<std::unique_ptr<AvifFrames>> AvifFrames::Open(const Source& source, std::uint64_t maxBytes)
{
    std::unique_ptr<AvifFrames> frames(new AvifFrames);
    frames->mDecoder = std::make_unique<Decoder>();
    Decoder& decoder = *frames->mDecoder;
    decoder.avif = avifDecoderCreate();
    if (!decoder.avif)
        return Fail(ErrorKind::OutOfMemory, "no memory for an AVIF decoder");
    avifDecoder* avif = decoder.avif;
    avif->maxThreads = 2;
    avif->imageSizeLimit = std::uint32_t(std::min<std::uint64_t>(maxBytes / 4, AVIF_DEFAULT_IMAGE_SIZE_LIMIT));
    avif->ignoreExif = AVIF_TRUE;
    avif->ignoreXMP = AVIF_TRUE;
    avif->strictFlags = AVIF_STRICT_DISABLED; // what the frames say, as other viewers show them
    if (source.fd >= 0) {
        struct stat st;
        if (::fstat(source.fd, &st) != 0)
            return Fail(ErrorKind::ReadFailed, std::strerror(errno));
        decoder.file.fd = source.fd;
        decoder.file.io.read = &FileIo::Read;
        decoder.file.io.sizeHint = std::uint64_t(std::max<off_t>(st.st_size, 0));
        decoder.file.io.data = &decoder.file;
        avifDecoderSetIO(avif, &decoder.file.io); // no destroy: the decoder does not own it
    } else if (const avifResult set = avifDecoderSetIOMemory(avif, source.data, source.size); set != AVIF_RESULT_OK) {
        return FailOf(set, "AVIF not read").error();
    }
    if (avifDecoderSetSource(avif, AVIF_DECODER_SOURCE_TRACKS) != AVIF_RESULT_OK)
        return Fail(ErrorKind::NotThisFormat, "no AVIF sequence");
    const avifResult parsed = avifDecoderParse(avif);
    if (parsed == AVIF_RESULT_NO_CONTENT || parsed == AVIF_RESULT_INVALID_FTYP)
        return Fail(ErrorKind::NotThisFormat, "no AVIF sequence");
    if (parsed != AVIF_RESULT_OK)
        return FailOf(parsed, "AVIF sequence damaged").error();
    if (avif->imageCount < 2)
        return Fail(ErrorKind::NotThisFormat, "not an animation");
    if (avif->image->transformFlags & (AVIF_TRANSFORM_IROT | AVIF_TRANSFORM_IMIR))
        return Fail(ErrorKind::NotThisFormat, "frames stored turned or mirrored");
    const int width = int(std::min<std::uint32_t>(avif->image->width, INT32_MAX));
    const int height = int(std::min<std::uint32_t>(avif->image->height, INT32_MAX));
    if (const Result<void> fits = CheckDeclaredSize(width, height, 4, maxBytes); !fits)
        return fits.error();
    try {
        frames->mCanvas.resize(std::size_t(width) * std::size_t(height) * 4);
    } catch (const std::bad_alloc&) {
        return Fail(ErrorKind::OutOfMemory, "no memory for a frame");
    }
    frames->mWidth = width;
    frames->mHeight = height;
    frames->mCount = avif->imageCount;
    frames->mAlpha = avif->alphaPresent != 0;
    return frames;
}

Result<AvifFrames::Frame> AvifFrames::Next()
{
    avifDecoder* avif = mDecoder->avif;
    const avifResult decoded = mNext < mCount ? avifDecoderNextImage(avif) : avifDecoderNthImage(avif, 0);
    if (decoded != AVIF_RESULT_OK)
        return FailOf(decoded, "AVIF frame damaged").error();
    if (mNext >= mCount)
        mNext = 0;
    // Every frame has the first one's size, or the canvas would not fit it.
    if (avif->image->width != std::uint32_t(mWidth) || avif->image->height != std::uint32_t(mHeight))
        return Fail(ErrorKind::Damaged, "frame size differs from the first frame's");
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, avif->image);
    rgb.format = AVIF_RGB_FORMAT_BGRA;
    rgb.depth = 8;
    rgb.alphaPremultiplied = AVIF_TRUE;
    rgb.pixels = mCanvas.data();
    rgb.rowBytes = std::uint32_t(mWidth) * 4;
    if (const avifResult converted = avifImageYUVToRGB(avif->image, &rgb); converted != AVIF_RESULT_OK)
        return FailOf(converted, "AVIF frame not converted").error();
    const int delay = int(std::lround(std::clamp(avif->imageTiming.duration, 0.0, 1e6) * 1000));
    return Frame{mCanvas.data(), delay, mNext++};
}

} // namespace codec
