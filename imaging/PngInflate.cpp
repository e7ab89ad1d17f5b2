// The quick PNG path's inflating: the IDAT chunks' data through ISA-L into
// the rows' buffer, publishing how far it is so that the rows can be taken
// while the rest is still inflated (on a second thread for large pictures).
#include "imaging/PngFastParts.h"

#include <memory>
#include <new>
#include <vector>

#include <isa-l/igzip_lib.h>

namespace pngfast {

namespace {

// The file is read in blocks of this size while inflating, and the rows
// are handed on after each step of this much inflated data.
constexpr std::size_t kReadBlock = std::size_t(256) << 10;
constexpr std::size_t kInflateStep = std::size_t(256) << 10;

// Reads the file forward in large blocks.
class BlockReader {
public:
    explicit BlockReader(std::FILE* file) : mFile(file), mBlock(kReadBlock) {}
    // Bytes at the cursor, reading the next block when none are left; 0 at
    // the end of the file or on an error.
    std::size_t Available()
    {
        if (mAt == mEnd) {
            mAt = 0;
            mEnd = std::fread(mBlock.data(), 1, mBlock.size(), mFile);
        }
        return mEnd - mAt;
    }
    const std::uint8_t* Data() const { return mBlock.data() + mAt; }
    void Advance(std::size_t n) { mAt += n; }
    // Exactly n bytes, or false when the file ends first.
    bool Take(std::uint8_t* to, std::size_t n)
    {
        while (n > 0) {
            const std::size_t have = std::min(Available(), n);
            if (have == 0)
                return false;
            std::memcpy(to, Data(), have);
            Advance(have);
            to += have;
            n -= have;
        }
        return true;
    }
    bool Ended() const { return std::feof(mFile) && !std::ferror(mFile); }

private:
    std::FILE* mFile;
    std::vector<std::uint8_t> mBlock;
    std::size_t mAt = 0;
    std::size_t mEnd = 0;
};

enum class NextChunk { kData, kEnd, kBroken };

// After a data chunk: its checksum, then the next chunk's head. The file
// may end right after the picture data, even without the last checksum.
NextChunk NextDataChunk(BlockReader& in, std::uint32_t* length)
{
    std::uint8_t crc[4], head[8];
    *length = 0;
    if (!in.Take(crc, 4) || !in.Take(head, 8))
        return in.Ended() ? NextChunk::kEnd : NextChunk::kBroken;
    if (Be32(head) > kMaxChunk || !IsChunkType(head + 4))
        return NextChunk::kBroken;
    // What follows the picture data does not change it.
    if (!ChunkIs(head + 4, "IDAT"))
        return NextChunk::kEnd;
    *length = Be32(head);
    return NextChunk::kData;
}

// Inflates the picture data, read from the file at the first IDAT's data,
// into png->raw, publishing progress as it goes. True when the data gives
// exactly the rows, no more and no less, with a matching checksum.
bool InflateAll(std::FILE* file, std::uint32_t firstLength, Png* png, Progress* progress)
{
    auto state = std::make_unique<inflate_state>();
    isal_inflate_init(state.get());
    state->crc_flag = ISAL_ZLIB;
    BlockReader in(file);
    std::uint32_t chunkLeft = firstLength;
    bool moreChunks = true;
    std::size_t done = 0;
    const std::size_t total = png->rawSize;
    for (;;) {
        if (progress->stop.load(std::memory_order_relaxed))
            return false;
        if (chunkLeft == 0 && moreChunks) {
            const NextChunk next = NextDataChunk(in, &chunkLeft);
            if (next == NextChunk::kBroken)
                return false;
            moreChunks = next == NextChunk::kData;
            continue;
        }
        std::size_t given = 0;
        if (chunkLeft > 0) {
            given = std::min<std::size_t>(in.Available(), chunkLeft);
            if (given == 0)
                return false; // the file ends inside the data
        }
        state->next_in = const_cast<std::uint8_t*>(in.Data());
        state->avail_in = std::uint32_t(given);
        const std::size_t room = std::min(kInflateStep, total - done);
        state->next_out = png->raw.get() + done;
        state->avail_out = std::uint32_t(room);
        const int result = isal_inflate(state.get());
        const std::size_t used = given - state->avail_in;
        const std::size_t made = room - state->avail_out;
        in.Advance(used);
        chunkLeft -= std::uint32_t(used);
        done += made;
        if (result != ISAL_DECOMP_OK)
            return false;
        if (state->block_state == ISAL_BLOCK_FINISH) {
            bool clean = done == total && chunkLeft == 0;
            while (clean && moreChunks) {
                const NextChunk next = NextDataChunk(in, &chunkLeft);
                clean = next != NextChunk::kBroken && chunkLeft == 0;
                moreChunks = next == NextChunk::kData;
            }
            return clean;
        }
        if (made > 0)
            progress->Publish(std::min(done, total - 1));
        else if (used == 0)
            return false; // more data than rows, or the data ends early
    }
}

} // namespace

// InflateAll, ending with its verdict; a failure is left to libpng.
void InflateRows(std::FILE* file, std::uint32_t firstLength, Png* png, Progress* progress)
{
    try {
        if (InflateAll(file, firstLength, png, progress))
            return progress->Publish(Progress::kDone);
    } catch (const std::bad_alloc&) {
    }
    progress->Publish(Progress::kFailed);
}

} // namespace pngfast
