#include "codecs/WebpFrames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>

#include <webp/decode.h>
#include <webp/demux.h>

namespace codec {

// The demuxer reads the structure; the animation decoder, with its two
// canvases, is made only for frames that Next composes.
struct WebpFrames::Decoder {
    WebPDemuxer* demux = nullptr;
    WebPAnimDecoder* anim = nullptr;
    ~Decoder()
    {
        if (anim)
            WebPAnimDecoderDelete(anim);
        if (demux)
            WebPDemuxDelete(demux);
    }
};

namespace {

std::size_t PageSize() { return std::size_t(::sysconf(_SC_PAGESIZE)); }

// Reads size bytes at offset into to; false when the file has fewer now.
Result<bool> ReadFully(int fd, unsigned char* to, std::size_t size, std::uint64_t offset)
{
    const ssize_t got = ReadUpTo(fd, to, size, offset);
    if (got < 0)
        return Fail(ErrorKind::ReadFailed, std::strerror(errno));
    return std::size_t(got) == size;
}

} // namespace

WebpFrames::~WebpFrames()
{
    mDecoder.reset();
    if (mBuffer)
        ::munmap(mBuffer, mSize);
}

Result<std::unique_ptr<WebpFrames>> WebpFrames::Open(const Source& source, std::uint64_t maxBytes)
{
    std::unique_ptr<WebpFrames> frames(new WebpFrames);
    if (source.fd >= 0) {
        struct stat st;
        if (::fstat(source.fd, &st) != 0)
            return Fail(ErrorKind::ReadFailed, std::strerror(errno));
        if (st.st_size <= 0)
            return Fail(ErrorKind::Damaged, "empty file");
        frames->mSize = std::size_t(st.st_size);
        void* buffer = ::mmap(nullptr, frames->mSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (buffer == MAP_FAILED)
            return Fail(ErrorKind::OutOfMemory, "no memory for the file");
        frames->mBuffer = buffer;
        frames->mFd = source.fd;
        frames->mData = static_cast<const unsigned char*>(buffer);
        if (const Result<void> read = frames->ReadStructure(); !read)
            return read.error();
    } else {
        frames->mData = source.data;
        frames->mSize = source.size;
    }
    const WebPData data{frames->mData, frames->mSize};
    frames->mDecoder = std::make_unique<Decoder>();
    const WebPDemuxer* demux = frames->mDecoder->demux = WebPDemux(&data);
    if (!demux)
        return Fail(ErrorKind::NotThisFormat, "not an animated WebP libwebp reads");
    const auto value = [demux](WebPFormatFeature feature) {
        return int(std::min<std::uint32_t>(WebPDemuxGetI(demux, feature), INT32_MAX));
    };
    if (value(WEBP_FF_FRAME_COUNT) < 2)
        return Fail(ErrorKind::NotThisFormat, "not an animation");
    if (const Result<void> fits = CheckDeclaredSize(value(WEBP_FF_CANVAS_WIDTH), value(WEBP_FF_CANVAS_HEIGHT), 4, maxBytes);
        !fits)
        return fits.error();
    frames->mWidth = value(WEBP_FF_CANVAS_WIDTH);
    frames->mHeight = value(WEBP_FF_CANVAS_HEIGHT);
    frames->mPlays = value(WEBP_FF_LOOP_COUNT);
    frames->mCount = value(WEBP_FF_FRAME_COUNT);
    frames->mAlpha = (WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & ALPHA_FLAG) != 0;
    frames->mWholeFrames = true;
    WebPIterator frame;
    for (bool more = WebPDemuxGetFrame(demux, 1, &frame); more; more = WebPDemuxNextFrame(&frame))
        frames->mWholeFrames = frames->mWholeFrames && frame.x_offset == 0 && frame.y_offset == 0 &&
                               frame.width == frames->mWidth && frame.height == frames->mHeight &&
                               (!frame.has_alpha || frame.blend_method == WEBP_MUX_NO_BLEND);
    WebPDemuxReleaseIterator(&frame);
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux, "ICCP", 1, &chunk)) {
        frames->mIcc.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    frames->GiveBack();
    return frames;
}

Result<void> WebpFrames::ReadRange(std::size_t from, std::size_t to)
{
    to = std::min(to, mSize);
    if (from >= to)
        return {};
    const Result<bool> read = ReadFully(mFd, static_cast<unsigned char*>(mBuffer) + from, to - from, from);
    if (!read)
        return read.error();
    if (!*read)
        return Fail(ErrorKind::Damaged, "file changed while it was read");
    return {};
}

Result<void> WebpFrames::ReadStructure()
{
    // The demuxer reads a picture chunk's first bytes for its size.
    constexpr std::size_t kPictureHead = 64;
    const auto le32 = [this](std::size_t at) {
        return std::uint32_t(mData[at]) | std::uint32_t(mData[at + 1]) << 8 | std::uint32_t(mData[at + 2]) << 16 |
               std::uint32_t(mData[at + 3]) << 24;
    };
    const auto isPicture = [this](std::size_t at) {
        return std::memcmp(mData + at, "VP8 ", 4) == 0 || std::memcmp(mData + at, "VP8L", 4) == 0 ||
               std::memcmp(mData + at, "ALPH", 4) == 0;
    };
    if (Result<void> read = ReadRange(0, 12); !read)
        return read;
    for (std::size_t at = 12; at + 8 <= mSize;) {
        if (Result<void> read = ReadRange(at, at + 8); !read)
            return read;
        const std::size_t size = le32(at + 4), payload = at + 8;
        const std::size_t end = std::min(mSize, payload + size + (size & 1));
        if (std::memcmp(mData + at, "ANMF", 4) == 0) {
            if (Result<void> read = ReadRange(payload, payload + 16); !read)
                return read;
            for (std::size_t sub = payload + 16; sub + 8 <= end;) {
                if (Result<void> read = ReadRange(sub, sub + 8); !read)
                    return read;
                const std::size_t subSize = le32(sub + 4);
                const std::size_t subEnd = sub + 8 + std::min<std::size_t>(subSize, isPicture(sub) ? kPictureHead : subSize);
                if (Result<void> read = ReadRange(sub + 8, subEnd); !read)
                    return read;
                sub += 8 + subSize + (subSize & 1);
            }
        } else if (Result<void> read = ReadRange(payload, isPicture(at) ? payload + kPictureHead : end); !read) {
            return read;
        }
        at = end;
    }
    return {};
}

void WebpFrames::GiveBack()
{
    const std::size_t page = PageSize();
    if (mBuffer && mSize > page)
        ::madvise(static_cast<char*>(mBuffer) + page, (mSize - page + page - 1) / page * page, MADV_DONTNEED);
}

Result<void> WebpFrames::Ready(int frameNumber)
{
    if (!mBuffer)
        return {};
    const std::optional<Span> span = FrameSpan(frameNumber);
    return span ? ReadRange(span->start, span->start + span->size) : Result<void>{};
}

std::optional<WebpFrames::Span> WebpFrames::FrameSpan(int frameNumber) const
{
    WebPIterator frame;
    if (!WebPDemuxGetFrame(mDecoder->demux, frameNumber, &frame))
        return std::nullopt;
    const Span span{std::size_t(frame.fragment.bytes - mData), frame.fragment.size, frame.duration};
    WebPDemuxReleaseIterator(&frame);
    return span;
}

Result<WebpFrames::Frame> WebpFrames::Next()
{
    if (!mDecoder->anim) {
        // Its demuxer reads the structure again, which was given back.
        if (mBuffer)
            if (const Result<void> read = ReadStructure(); !read)
                return read.error();
        const WebPData data{mData, mSize};
        WebPAnimDecoderOptions options;
        if (!WebPAnimDecoderOptionsInit(&options))
            return Fail(ErrorKind::OutOfMemory, "libwebp's animation decoder is missing");
        options.color_mode = MODE_bgrA; // premultiplied, as Qt keeps pictures
        options.use_threads = 1;
        mDecoder->anim = WebPAnimDecoderNew(&data, &options);
        if (!mDecoder->anim)
            return Fail(ErrorKind::Damaged, "WebP animation damaged");
    }
    WebPAnimDecoder* anim = mDecoder->anim;
    if (!WebPAnimDecoderHasMoreFrames(anim)) {
        WebPAnimDecoderReset(anim);
        mNext = 0;
        mLastTimestamp = 0;
    }
    if (const Result<void> ready = Ready(mNext + 1); !ready)
        return ready.error();
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    const bool decoded = WebPAnimDecoderGetNext(anim, &canvas, &timestamp);
    GiveBack();
    if (!decoded)
        return Fail(ErrorKind::Damaged, "WebP frame damaged");
    // The decoder gives when each frame ends; its delay is the difference.
    Frame frame{canvas, timestamp - mLastTimestamp, mNext++};
    mLastTimestamp = timestamp;
    return frame;
}

Result<WebpFrames::Frame> WebpFrames::DecodeWhole(int number, unsigned char* pixels, int stride, int width,
                                                   int height) const
{
    if (!mWholeFrames || number < 0 || number >= mCount || width <= 0 || height <= 0 || stride < width * 4)
        return Fail(ErrorKind::Damaged, "frame asked for that it cannot have");
    // The demuxer only reads (thread-safe); the frame's bytes are read into
    // memory of this call's own, not the shared buffer that Next gives back.
    const std::optional<Span> span = FrameSpan(number + 1);
    if (!span)
        return Fail(ErrorKind::Damaged, "WebP frame missing");
    const auto [start, size, delay] = *span;
    const unsigned char* bytes = mData + start;
    std::vector<unsigned char> read;
    if (mBuffer) {
        try {
            read.resize(size);
        } catch (const std::bad_alloc&) {
            return Fail(ErrorKind::OutOfMemory, "no memory for a frame's data");
        }
        const Result<bool> got = ReadFully(mFd, read.data(), size, start);
        if (!got)
            return got.error();
        if (!*got)
            return Fail(ErrorKind::Damaged, "file changed while it was read");
        bytes = read.data();
    }
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return Fail(ErrorKind::OutOfMemory, "libwebp's decoder is missing");
    config.options.use_threads = 1;
    if (width != mWidth || height != mHeight) {
        // libwebp's rescaler averages the area of each pixel when it
        // reduces, as the still picture's scaling does.
        config.options.use_scaling = 1;
        config.options.scaled_width = width;
        config.options.scaled_height = height;
    }
    config.output.colorspace = MODE_bgrA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = pixels;
    config.output.u.RGBA.stride = stride;
    config.output.u.RGBA.size = std::size_t(stride) * std::size_t(height);
    const VP8StatusCode status = WebPDecode(bytes, size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK)
        return Fail(ErrorKind::Damaged, "WebP frame damaged");
    return Frame{pixels, delay, number};
}

} // namespace codec
