#pragma once
// Animated AVIF (an image sequence) through libavif: the frames of the
// file's track, one at a time, from the first again after the last. The
// file is read as the decoder asks for each frame's data, never whole.
#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/CodecResult.h"
#include "codecs/Decoding.h"

namespace codec {

class AvifFrames {
public:
    using Frame = CanvasFrame;

    // NotThisFormat for an AVIF without a sequence of two frames or more,
    // and for a sequence whose frames are stored turned or mirrored (the
    // still picture shows those upright). TooLarge past maxBytes for a
    // frame. A memory source must outlive this.
    static Result<std::unique_ptr<AvifFrames>> Open(const Source& source, std::uint64_t maxBytes);
    ~AvifFrames();
    AvifFrames(const AvifFrames&) = delete;
    AvifFrames& operator=(const AvifFrames&) = delete;

    int Width() const { return mWidth; }
    int Height() const { return mHeight; }
    // Whether the frames have transparency; without, every alpha byte is 255.
    bool Alpha() const { return mAlpha; }
    int Count() const { return mCount; }

    Result<Frame> Next();

private:
    AvifFrames() = default;
    struct Decoder;
    std::unique_ptr<Decoder> mDecoder;
    std::vector<unsigned char> mCanvas;
    int mWidth = 0, mHeight = 0, mCount = 0, mNext = 0;
    bool mAlpha = false;
};

} // namespace codec
