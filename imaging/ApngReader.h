#pragma once
// Animated PNG (APNG): the frames an acTL chunk announces, each composed on
// the canvas as browsers compose them (blend and dispose operations). The
// file stays where it is: its chunks are found once, and each frame's data
// is read when the frame is wanted, made into a PNG of its own and decoded
// by Qt. The colour chunks are left out of those: the caller turns the
// frames into sRGB by the file's header, as it does the still picture.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QByteArray>
#include <QImage>

#include "codecs/CodecResult.h"

class ApngReader {
public:
    // Reads size bytes of the file at offset (fewer at its end).
    using ReadAt = std::function<codec::Result<QByteArray>(std::uint64_t offset, std::size_t size)>;

    struct Frame {
        QImage canvas;   // the whole picture, Format_ARGB32_Premultiplied
        int delayMs = 0; // as stored
        int index = 0;
    };

    // An animated PNG of fileSize bytes; NotThisFormat for a PNG without
    // animation (or with a single frame), Damaged for frames that do not fit.
    static codec::Result<std::unique_ptr<ApngReader>> Open(ReadAt read, std::uint64_t fileSize);

    // How often the animation plays: 0 without end.
    int Plays() const { return mPlays; }
    int FrameCount() const { return int(mFrames.size()); }
    QSize FrameSize() const { return mCanvas.size(); }
    // The next frame, the first again after the last.
    codec::Result<Frame> Next();

private:
    struct Data {
        std::uint64_t offset;
        std::uint32_t size;
    };
    struct FrameInfo {
        std::uint32_t width = 0, height = 0, x = 0, y = 0;
        int delayMs = 0;
        std::uint8_t dispose = 0, blend = 0;
        std::vector<Data> data; // IDAT contents, or fdAT's after its sequence number
    };

    ReadAt mRead;
    QByteArray mIhdr;         // IHDR's 13 bytes
    QByteArray mOtherChunks;  // PLTE and tRNS as they stand, for every frame
    std::vector<FrameInfo> mFrames;
    int mPlays = 0;
    int mNext = 0;
    QImage mCanvas;
    QImage mSaved; // the region a "previous" disposal restores
};
