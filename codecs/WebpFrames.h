#pragma once
// Animated WebP through libwebp's animation decoder: whole frames (the
// decoder blends and disposes them on its canvas), one at a time, from the
// first again after the last. A file is never read whole: its chunk
// headers are read into memory of its own (never a mapping of the file: a
// file cut short while mapped would kill the program), and each frame's
// data when the frame is decoded, given back after. Its memory is one
// frame's data and the canvas, however long the animation.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "codecs/CodecResult.h"
#include "codecs/Decoding.h"

namespace codec {

class WebpFrames {
public:
    using Frame = CanvasFrame;

    // NotThisFormat for a WebP of one frame (or none). TooLarge past maxBytes
    // for the canvas. A memory source must outlive this.
    static Result<std::unique_ptr<WebpFrames>> Open(const Source& source, std::uint64_t maxBytes);
    ~WebpFrames();
    WebpFrames(const WebpFrames&) = delete;
    WebpFrames& operator=(const WebpFrames&) = delete;

    int Width() const { return mWidth; }
    int Height() const { return mHeight; }
    // How often the animation plays: 0 without end.
    int Plays() const { return mPlays; }
    // Whether any frame has transparency; without, every alpha byte is 255.
    bool Alpha() const { return mAlpha; }
    // The ICC profile of the frames' colours, when the file has one.
    const std::vector<unsigned char>& Icc() const { return mIcc; }

    // The next frame on the canvas, blended and disposed as the file says.
    Result<Frame> Next();

    // Whether every frame covers the whole canvas and replaces what was
    // there (it is opaque, or not blended): then each frame decodes on its
    // own, straight at the size it is shown, with no canvas and no scaling
    // after (DecodeWhole, in place of Next).
    bool WholeFrames() const { return mWholeFrames; }
    int Count() const { return mCount; }
    // Frame number (from 0) alone at width x height, premultiplied BGRA
    // into pixels (stride bytes a row, height rows). Only when
    // WholeFrames(); several threads may decode frames at once, while no
    // thread calls Next.
    Result<Frame> DecodeWhole(int number, unsigned char* pixels, int stride, int width, int height) const;

private:
    WebpFrames() = default;
    // Reads what libwebp's demuxer looks at: the chunk headers, the small
    // chunks, and the first bytes of every frame's pictures.
    Result<void> ReadStructure();
    // Reads bytes [from, to) of the file into the buffer.
    Result<void> ReadRange(std::size_t from, std::size_t to);
    // Frame frameNumber's data, read from the file.
    Result<void> Ready(int frameNumber);
    // Where frame frameNumber's data lies in the file, and its delay.
    struct Span {
        std::size_t start, size;
        int delayMs;
    };
    std::optional<Span> FrameSpan(int frameNumber) const;
    // Gives back every page but the first.
    void GiveBack();

    const unsigned char* mData = nullptr;
    std::size_t mSize = 0;
    int mFd = -1;
    void* mBuffer = nullptr; // the file's bytes where they were read, zeros elsewhere
    struct Decoder;
    std::unique_ptr<Decoder> mDecoder;
    int mWidth = 0, mHeight = 0, mPlays = 0, mCount = 0;
    bool mAlpha = true;
    bool mWholeFrames = false;
    int mNext = 0;
    int mLastTimestamp = 0;
    std::vector<unsigned char> mIcc;
};

} // namespace codec
