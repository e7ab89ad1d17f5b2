#pragma once
// What the decoders on libheif and libjxl share: where a picture is read
// from, how a decode is told to stop or given threads, the opened picture
// with its header, and the decoded pixels, whose buffer the caller takes over.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <unistd.h>

#include "codecs/CodecResult.h"

namespace codec {

// A picture in memory (which outlives the decode) or an open file, read by
// position from its start; the file's own position is left alone.
struct Source {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    int fd = -1;

    static Source Memory(const void* data, std::size_t size)
    {
        return {static_cast<const unsigned char*>(data), size, -1};
    }
    static Source File(int fd) { return {nullptr, 0, fd}; }
};

// pread, again when a signal interrupted it.
inline ssize_t ReadAt(int fd, void* out, std::size_t size, std::uint64_t offset)
{
    ssize_t n;
    do
        n = ::pread(fd, out, size, off_t(offset));
    while (n < 0 && errno == EINTR);
    return n;
}

// pread until size bytes are read or the file ends: the bytes read, or -1
// (errno set) when reading failed.
inline ssize_t ReadUpTo(int fd, void* out, std::size_t size, std::uint64_t offset)
{
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ReadAt(fd, static_cast<unsigned char*>(out) + got, size - got, offset + got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += std::size_t(n);
    }
    return ssize_t(got);
}

// A frame of an animation as its decoder leaves it.
struct CanvasFrame {
    const unsigned char* bgra = nullptr; // premultiplied, width * 4 bytes a row; valid until the next call
    int delayMs = 0;
    int index = 0; // 0 for the first frame, again after the last
};

// Threads a caller lends a decode for one step of its work: how many are idle
// now, and a way to start a task on one, which gives back a function that
// waits for the task (empty when no thread is free after all).
struct ThreadLender {
    std::function<int()> idle;
    std::function<std::function<void()>(std::function<void()> task)> start;
};

struct DecodeOptions {
    // The library's own worker threads: -1 as many as it likes, 0 none (the
    // caller's thread and whatever lender lends).
    int threads = -1;
    ThreadLender lender;         // JPEG XL only, with threads == 0
    std::function<bool()> stop;  // asked between steps; true ends the decode with ErrorKind::Stopped
    std::uint64_t maxBytes = std::numeric_limits<std::uint64_t>::max(); // decoded pixels at most

    bool StopRequested() const { return stop && stop(); }
};

// The bytes of width x height pixels of channels bytes each, without overflow.
inline std::uint64_t PixelBytes(int width, int height, int channels)
{
    return std::uint64_t(width) * std::uint64_t(height) * std::uint64_t(channels);
}

// A size a file declares, checked before anything is made for it.
inline Result<void> CheckDeclaredSize(int width, int height, int channels, std::uint64_t maxBytes)
{
    if (width <= 0 || height <= 0)
        return Fail(ErrorKind::Damaged, "picture size not positive");
    const std::uint64_t bytes = PixelBytes(width, height, channels);
    if (bytes > maxBytes || bytes > std::uint64_t(SIZE_MAX))
        return Fail(ErrorKind::TooLarge, "picture too large");
    return {};
}

// Decoded interleaved 8-bit pixels (RGB or RGBA, rows top first) in a buffer
// the decoding library made; the caller may change them in place and take
// the buffer over, e.g. as a QImage's, so that the picture is never copied.
class Pixels {
public:
    using Free = void (*)(void* owner);

    // free(owner) releases the buffer that data points into.
    Pixels(unsigned char* data, int width, int height, std::size_t stride, Free free, void* owner)
        : mData(data), mWidth(width), mHeight(height), mStride(stride), mOwner(owner, free)
    {
    }

    int Width() const { return mWidth; }
    int Height() const { return mHeight; }
    std::size_t Stride() const { return mStride; }
    unsigned char* Row(int y) { return mData + std::size_t(y) * mStride; }
    const unsigned char* Row(int y) const { return mData + std::size_t(y) * mStride; }

    // Hands the buffer over: free(owner) releases it.
    struct Released {
        unsigned char* data;
        Free free;
        void* owner;
    };
    Released Release() { return {std::exchange(mData, nullptr), mOwner.get_deleter(), mOwner.release()}; }

private:
    unsigned char* mData;
    int mWidth, mHeight;
    std::size_t mStride;
    std::unique_ptr<void, Free> mOwner;
};

// Colour code points of ITU-T H.273, as an nclx box holds them.
namespace h273 {
constexpr int kPrimariesBt709 = 1, kPrimariesUnspecified = 2, kPrimariesDisplayP3 = 12;
constexpr int kTransferBt470M = 4, kTransferBt470BG = 5, kTransferLinear = 8;
} // namespace h273

// An nclx box: primaries and transfer curve, with the primaries' chromaticities.
struct Nclx {
    int primaries = h273::kPrimariesUnspecified;
    int transfer = 2;
    float whiteX = 0, whiteY = 0, redX = 0, redY = 0, greenX = 0, greenY = 0, blueX = 0, blueY = 0;
};

// What describes a picture before it is decoded.
struct PictureHeader {
    int width = 0, height = 0;      // upright: the stored orientation applied
    bool alpha = false;
    bool premultiplied = false;     // the decoded colours are premultiplied by alpha
    std::vector<unsigned char> icc; // the decoded pixels' ICC profile, when there is one
    std::optional<Nclx> nclx;       // else their nclx numbers, when the file has them
    bool animated = false;          // more than one frame, each shown for a time
    int plays = 0;                  // how often an animation plays: 0 without end
};

// A picture a decoder has opened: its header read, its pixels decoded when asked.
class Picture {
public:
    class Decoder {
    public:
        virtual ~Decoder() = default;
        PictureHeader header;
        // RGB (3 channels) or RGBA (4), 8 bits each.
        virtual Result<Pixels> Decode(int channels) = 0;

        // An animation's next whole frame, the first again after the last;
        // ErrorKind::NotThisFormat for a still picture.
        struct Frame {
            Pixels pixels;
            int delayMs = 0; // as stored
            int index = 0;
        };
        virtual Result<Frame> NextFrame(int channels)
        {
            (void)channels;
            return Fail(ErrorKind::NotThisFormat, "not an animation");
        }
    };
    using Frame = Decoder::Frame;

    explicit Picture(std::unique_ptr<Decoder> decoder) : mDecoder(std::move(decoder)) {}

    const PictureHeader& Header() const { return mDecoder->header; }
    Result<Pixels> Decode(int channels) { return mDecoder->Decode(channels); }
    Result<Frame> NextFrame(int channels) { return mDecoder->NextFrame(channels); }

private:
    std::unique_ptr<Decoder> mDecoder;
};

} // namespace codec
