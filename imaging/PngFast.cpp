#include "imaging/PngFast.h"

#include "imaging/AreaReducer.h"
#include "imaging/DecodeService.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <QRgb>

#include <isa-l/igzip_lib.h>
#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// QRgb rows are handled as bytes B, G, R, A.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// libpng's default limits: larger sides, or larger chunks other than IDAT,
// are errors there, so they are left to it.
constexpr std::uint32_t kMaxSide = 1000000;
constexpr std::uint32_t kMaxOtherChunk = 8000000;
constexpr std::uint32_t kMaxChunk = 0x7FFFFFFF;
constexpr std::uint64_t kMemoryMargin = std::uint64_t(48) << 20;
// The file is read in blocks of this size while inflating, and the rows
// are handed on after each step of this much inflated data.
constexpr std::size_t kReadBlock = std::size_t(256) << 10;
constexpr std::size_t kInflateStep = std::size_t(256) << 10;
// Rows unfiltered between two looks at whether the decode should stop.
constexpr std::uint32_t kStopCheckRows = 16;
// Pictures with at least this much row data are inflated on a thread of
// their own while the rows are unfiltered and reduced.
constexpr std::size_t kThreadedBytes = std::size_t(2) << 20;

// A large buffer straight from the kernel, in huge pages where it allows:
// first touching 100 MB in 4 KiB pages costs more than inflating into it.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() { Reset(); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    bool Allocate(std::size_t n)
    {
        Reset();
        const std::size_t size = std::max<std::size_t>(n, 1);
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return false;
        if (size >= (std::size_t(2) << 20))
            madvise(p, size, MADV_HUGEPAGE);
        mData = static_cast<std::uint8_t*>(p);
        mSize = size;
        return true;
    }
    void Reset()
    {
        if (mData)
            munmap(mData, mSize);
        mData = nullptr;
        mSize = 0;
    }
    std::uint8_t* get() const { return mData; }

private:
    std::uint8_t* mData = nullptr;
    std::size_t mSize = 0;
};

enum ColourType { kGrey = 0, kRgb = 2, kPalette = 3, kGreyAlpha = 4, kRgba = 6 };

struct Png {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int depth = 0;
    int type = 0;
    int channels = 0;
    std::size_t rowBytes = 0; // without the filter byte
    int bpp = 0;              // bytes per pixel for the filters, at least 1
    bool alpha = false;       // alpha channel or tRNS
    bool trns = false;
    std::uint16_t trnsValue[3] = {}; // grey, or red green blue
    int paletteSize = 0;
    QRgb palette[256] = {}; // with tRNS applied; entries past the palette are opaque black, as in libpng
    Buffer raw;
    std::size_t rawSize = 0;
};

std::uint32_t Be32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

std::uint16_t Be16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }

bool Read(std::FILE* file, void* to, std::size_t n) { return n == 0 || std::fread(to, 1, n, file) == n; }

bool IsLetter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool ChunkIs(const std::uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

bool ReadHeader(const std::uint8_t* d, std::size_t maxBytes, Png* png)
{
    png->width = Be32(d);
    png->height = Be32(d + 4);
    png->depth = d[8];
    png->type = d[9];
    if (png->width == 0 || png->height == 0 || png->width > kMaxSide || png->height > kMaxSide)
        return false;
    // Compression and filter method 0; interlaced pictures go to libpng.
    if (d[10] != 0 || d[11] != 0 || d[12] != 0)
        return false;
    const int depth = png->depth;
    switch (png->type) {
    case kGrey:
        if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16)
            return false;
        png->channels = 1;
        break;
    case kRgb:
        png->channels = 3;
        break;
    case kPalette:
        if (depth != 1 && depth != 2 && depth != 4 && depth != 8)
            return false;
        png->channels = 1;
        break;
    case kGreyAlpha:
        png->channels = 2;
        break;
    case kRgba:
        png->channels = 4;
        break;
    default:
        return false;
    }
    if (png->type != kGrey && png->type != kPalette && depth != 8 && depth != 16)
        return false;
    const std::uint64_t bits = std::uint64_t(png->width) * std::uint64_t(png->channels) * std::uint64_t(depth);
    png->rowBytes = std::size_t((bits + 7) / 8);
    png->bpp = std::max(1, png->channels * depth / 8);
    const std::uint64_t raw = (std::uint64_t(png->rowBytes) + 1) * png->height;
    const std::uint64_t pixels = std::uint64_t(png->width) * png->height * 4;
    if (raw > maxBytes || pixels > maxBytes)
        return false;
    png->rawSize = std::size_t(raw);
    png->alpha = png->type == kGreyAlpha || png->type == kRgba;
    return true;
}

bool ReadPalette(const std::uint8_t* d, std::uint32_t length, Png* png)
{
    if (length == 0 || length % 3 != 0 || png->paletteSize != 0)
        return false;
    const std::uint32_t count = length / 3;
    // libpng cuts a palette too long for the bit depth; rare enough to leave to it.
    if (png->type == kPalette && count > (1u << png->depth))
        return false;
    if (count > 256)
        return false;
    for (std::uint32_t i = 0; i < count; ++i)
        png->palette[i] = qRgb(d[3 * i], d[3 * i + 1], d[3 * i + 2]);
    png->paletteSize = int(count);
    return true;
}

bool ReadTransparency(const std::uint8_t* d, std::uint32_t length, Png* png)
{
    if (png->trns)
        return false;
    const std::uint32_t sampleMax = png->depth == 16 ? 0xFFFF : (1u << png->depth) - 1;
    switch (png->type) {
    case kGrey:
        if (length != 2 || Be16(d) > sampleMax)
            return false;
        png->trnsValue[0] = Be16(d);
        break;
    case kRgb:
        if (length != 6)
            return false;
        for (int i = 0; i < 3; ++i) {
            png->trnsValue[i] = Be16(d + 2 * i);
            if (png->trnsValue[i] > sampleMax)
                return false;
        }
        break;
    case kPalette:
        if (png->paletteSize == 0 || length == 0 || length > std::uint32_t(png->paletteSize))
            return false;
        for (std::uint32_t i = 0; i < length; ++i)
            png->palette[i] = (png->palette[i] & 0x00FFFFFF) | QRgb(d[i]) << 24;
        break;
    default:
        return false; // libpng ignores it next to an alpha channel
    }
    png->trns = true;
    png->alpha = true;
    return true;
}

bool IsChunkType(const std::uint8_t* type)
{
    return IsLetter(type[0]) && IsLetter(type[1]) && IsLetter(type[2]) && IsLetter(type[3]);
}

// The chunks before the picture data; the file is left at the start of the
// first IDAT's data, whose length is put in firstLength. False for anything
// libpng might read differently.
bool ReadChunks(std::FILE* file, std::size_t maxBytes, Png* png, std::uint32_t* firstLength)
{
    std::uint8_t head[8];
    if (!Read(file, head, 8) || std::memcmp(head, kSignature, 8) != 0)
        return false;
    bool first = true;
    std::vector<std::uint8_t> body;
    for (;;) {
        if (!Read(file, head, 8))
            return false;
        const std::uint32_t length = Be32(head);
        const std::uint8_t* type = head + 4;
        if (length > kMaxChunk || !IsChunkType(type))
            return false;
        if (first != ChunkIs(type, "IHDR"))
            return false;
        first = false;
        if (ChunkIs(type, "IDAT")) {
            if (png->type == kPalette && png->paletteSize == 0)
                return false;
            // Past what the libpng path holds (the whole picture, and with
            // transparency its premultiplied copy for scaling) plus a
            // margin, as with 16-bit rows, the slower path costs less memory.
            const std::uint64_t picture = std::uint64_t(png->width) * png->height * 4;
            const std::uint64_t budget = picture * (png->alpha ? 2 : 1) + kMemoryMargin;
            if (png->rawSize > budget)
                return false;
            *firstLength = length;
            return true;
        }
        if (length > kMaxOtherChunk)
            return false;
        const bool isHeader = ChunkIs(type, "IHDR");
        const bool isPalette = ChunkIs(type, "PLTE");
        const bool isTransparency = ChunkIs(type, "tRNS");
        if (ChunkIs(type, "IEND") || ChunkIs(type, "acTL") || ChunkIs(type, "fcTL") || ChunkIs(type, "fdAT"))
            return false;
        if (!isHeader && !isPalette && !isTransparency) {
            // Critical chunks we do not know are errors in libpng.
            if (!(type[0] & 0x20))
                return false;
            if (std::fseek(file, long(length) + 4, SEEK_CUR) != 0)
                return false;
            continue;
        }
        body.resize(std::size_t(length) + 4);
        if (!Read(file, body.data(), body.size()))
            return false;
        if (isHeader) {
            if (length != 13 || !ReadHeader(body.data(), maxBytes, png))
                return false;
        } else if (isPalette) {
            if (png->type == kGrey || png->type == kGreyAlpha || png->trns)
                return false;
            if (!ReadPalette(body.data(), length, png))
                return false;
        } else {
            // Checksums are not checked: the libpng path uses damaged chunks too.
            if (!ReadTransparency(body.data(), length, png))
                return false;
        }
    }
}

// ---------------------------------------------------------------- inflating

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

// How far the rows are inflated, shared between the inflating thread and
// the one that takes the rows.
struct Progress {
    // The last byte counts only once the checksum and the end are read, so
    // the last row waits for the verdict.
    static constexpr std::size_t kFailed = SIZE_MAX;
    static constexpr std::size_t kDone = SIZE_MAX - 1;
    std::atomic<std::size_t> inflated{0}; // bytes of rows, kDone or kFailed
    std::atomic<bool> stop{false};        // the rows are no longer wanted

    void Publish(std::size_t bytes)
    {
        inflated.store(bytes, std::memory_order_release);
        inflated.notify_all();
    }
    // Waits until at least bytes are inflated; false when inflating failed.
    bool WaitFor(std::size_t bytes)
    {
        std::size_t now = inflated.load(std::memory_order_acquire);
        while (now < bytes) {
            inflated.wait(now, std::memory_order_acquire);
            now = inflated.load(std::memory_order_acquire);
        }
        return now != kFailed;
    }
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

// ---------------------------------------------------------------- rows

inline std::uint8_t Paeth(int a, int b, int c)
{
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc)
        return std::uint8_t(a);
    return std::uint8_t(pb <= pc ? b : c);
}

#if !defined(__SSE2__)
// Sub, Average and Paeth for whole pixels of B bytes, so that the pixel to
// the left stays in registers.
template <int B>
void UnfilterPixels(int filter, const std::uint8_t* in, std::uint8_t* out, const std::uint8_t* prev, std::size_t n)
{
    int left[B] = {}, upLeft[B] = {};
    for (std::size_t i = 0; i + B <= n; i += B) {
        for (int c = 0; c < B; ++c) {
            const int up = prev[i + std::size_t(c)];
            int v = in[i + std::size_t(c)];
            if (filter == 1)
                v += left[c];
            else if (filter == 3)
                v += (left[c] + up) >> 1;
            else
                v += Paeth(left[c], up, upLeft[c]);
            left[c] = v & 0xFF;
            upLeft[c] = up;
            out[i + std::size_t(c)] = std::uint8_t(v);
        }
    }
}
#endif

#if defined(__SSE2__)
// In registers: a 3-byte copy through memory stalls the load that follows.
template <int B>
inline __m128i LoadPixel(const std::uint8_t* p)
{
    std::uint32_t v;
    if constexpr (B == 4) {
        std::memcpy(&v, p, 4);
    } else {
        std::uint16_t low;
        std::memcpy(&low, p, 2);
        v = low | std::uint32_t(p[2]) << 16;
    }
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(v)), _mm_setzero_si128());
}

template <int B>
inline void StorePixel(std::uint8_t* p, __m128i samples)
{
    const auto v = std::uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(samples, samples)));
    if constexpr (B == 4) {
        std::memcpy(p, &v, 4);
    } else {
        const auto low = std::uint16_t(v);
        std::memcpy(p, &low, 2);
        p[2] = std::uint8_t(v >> 16);
    }
}

inline __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// The same with a pixel's samples side by side in 16-bit lanes: Paeth's
// choice is made for all of them at once, without branches.
template <int B, int Filter>
void UnfilterPixelsSse2(const std::uint8_t* in, std::uint8_t* out, const std::uint8_t* prev, std::size_t n)
{
    const __m128i bytes = _mm_set1_epi16(0xFF);
    __m128i a = _mm_setzero_si128(), c = a; // left and upper left, unfiltered
    for (std::size_t i = 0; i + B <= n; i += B) {
        const __m128i b = LoadPixel<B>(prev + i);
        __m128i predictor;
        if constexpr (Filter == 1) {
            predictor = a;
        } else if constexpr (Filter == 3) {
            predictor = _mm_srli_epi16(_mm_add_epi16(a, b), 1);
        } else {
            const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c);
            const __m128i pa = Abs16(bc), pb = Abs16(ac), pc = Abs16(_mm_add_epi16(bc, ac));
            const __m128i least = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
            const __m128i takeA = _mm_cmpeq_epi16(pa, least), takeB = _mm_cmpeq_epi16(pb, least);
            predictor = _mm_or_si128(_mm_and_si128(takeB, b), _mm_andnot_si128(takeB, c));
            predictor = _mm_or_si128(_mm_and_si128(takeA, a), _mm_andnot_si128(takeA, predictor));
            c = b;
        }
        a = _mm_and_si128(_mm_add_epi16(LoadPixel<B>(in + i), predictor), bytes);
        StorePixel<B>(out + i, a);
    }
}
#endif

#if defined(__SSE2__)
// Paeth is one long chain from each pixel to the next, so a row is slow
// however wide the registers. Two Paeth rows in one go: the upper half of
// each register works on the second row one pixel behind the first, whose
// pixel just done is the second row's pixel above. Twice the pixels for the
// same chain.
template <int B>
void UnfilterPaethPairSse2(const std::uint8_t* in, const std::uint8_t* in2, std::uint8_t* out, std::uint8_t* out2,
                           const std::uint8_t* prev, std::size_t n)
{
    const __m128i bytes = _mm_set1_epi16(0xFF);
    const std::size_t pixels = n / B;
    // Lanes 0-3: the first row at pixel k; lanes 4-7: the second at k - 1.
    __m128i a = _mm_setzero_si128(), c = a;
    for (std::size_t k = 0; k <= pixels; ++k) {
        const bool first = k < pixels, second = k > 0;
        const __m128i up = first ? LoadPixel<B>(prev + k * B) : _mm_setzero_si128();
        const __m128i b = _mm_unpacklo_epi64(up, a);
        const __m128i x = _mm_unpacklo_epi64(first ? LoadPixel<B>(in + k * B) : _mm_setzero_si128(),
                                             second ? LoadPixel<B>(in2 + (k - 1) * B) : _mm_setzero_si128());
        const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c);
        const __m128i pa = Abs16(bc), pb = Abs16(ac), pc = Abs16(_mm_add_epi16(bc, ac));
        const __m128i least = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        const __m128i takeA = _mm_cmpeq_epi16(pa, least), takeB = _mm_cmpeq_epi16(pb, least);
        __m128i predictor = _mm_or_si128(_mm_and_si128(takeB, b), _mm_andnot_si128(takeB, c));
        predictor = _mm_or_si128(_mm_and_si128(takeA, a), _mm_andnot_si128(takeA, predictor));
        a = _mm_and_si128(_mm_add_epi16(x, predictor), bytes);
        c = b;
        if (first)
            StorePixel<B>(out + k * B, a);
        // At k = 0 the second row's lanes work on zeros alone and stay zero:
        // nothing to the left of its first pixel.
        if (second)
            StorePixel<B>(out2 + (k - 1) * B, _mm_unpackhi_epi64(a, a));
    }
}
#endif

// Both rows Paeth-filtered, of whole pixels of 3 or 4 bytes: unfiltered
// together. False when they are not, and nothing is written.
bool UnfilterPaethPair(const std::uint8_t* row, const std::uint8_t* row2, std::uint8_t* out, std::uint8_t* out2,
                       const std::uint8_t* prev, std::size_t n, int bpp)
{
#if defined(__SSE2__)
    if (row[0] != 4 || row2[0] != 4 || (bpp != 3 && bpp != 4) || n % std::size_t(bpp) != 0)
        return false;
    if (bpp == 3)
        UnfilterPaethPairSse2<3>(row + 1, row2 + 1, out, out2, prev, n);
    else
        UnfilterPaethPairSse2<4>(row + 1, row2 + 1, out, out2, prev, n);
    return true;
#else
    (void)row, (void)row2, (void)out, (void)out2, (void)prev, (void)n, (void)bpp;
    return false;
#endif
}

template <int B>
void UnfilterWholePixels(int filter, const std::uint8_t* in, std::uint8_t* out, const std::uint8_t* prev, std::size_t n)
{
#if defined(__SSE2__)
    if (filter == 1)
        UnfilterPixelsSse2<B, 1>(in, out, prev, n);
    else if (filter == 3)
        UnfilterPixelsSse2<B, 3>(in, out, prev, n);
    else
        UnfilterPixelsSse2<B, 4>(in, out, prev, n);
#else
    UnfilterPixels<B>(filter, in, out, prev, n);
#endif
}

// Undoes the row's filter: in is the row as inflated, prev the row above
// unfiltered (zeros for the first row). The unfiltered row is written to
// out, or is in itself when the row has no filter; null for a filter that
// does not exist. The inflated data is never written: it is still being
// read as history while later rows are inflated.
const std::uint8_t* Unfilter(int filter, const std::uint8_t* in, std::uint8_t* out, const std::uint8_t* prev,
                             std::size_t n, int bpp)
{
    if ((filter == 1 || filter == 3 || filter == 4) && n % std::size_t(bpp) == 0) {
        if (bpp == 3) {
            UnfilterWholePixels<3>(filter, in, out, prev, n);
            return out;
        }
        if (bpp == 4) {
            UnfilterWholePixels<4>(filter, in, out, prev, n);
            return out;
        }
    }
    const std::size_t b = std::min(std::size_t(bpp), n);
    switch (filter) {
    case 0:
        return in;
    case 1:
        std::memcpy(out, in, b);
        for (std::size_t i = b; i < n; ++i)
            out[i] = std::uint8_t(in[i] + out[i - b]);
        return out;
    case 2:
        for (std::size_t i = 0; i < n; ++i)
            out[i] = std::uint8_t(in[i] + prev[i]);
        return out;
    case 3:
        for (std::size_t i = 0; i < b; ++i)
            out[i] = std::uint8_t(in[i] + (prev[i] >> 1));
        for (std::size_t i = b; i < n; ++i)
            out[i] = std::uint8_t(in[i] + ((unsigned(out[i - b]) + prev[i]) >> 1));
        return out;
    case 4:
        for (std::size_t i = 0; i < b; ++i)
            out[i] = std::uint8_t(in[i] + prev[i]);
        for (std::size_t i = b; i < n; ++i)
            out[i] = std::uint8_t(in[i] + Paeth(out[i - b], prev[i], prev[i - b]));
        return out;
    default:
        return nullptr;
    }
}

// libpng's png_set_scale_16: the nearest 8-bit value.
inline std::uint8_t Scale16(const std::uint8_t* p)
{
    int v = p[0];
    v += ((int(p[1]) - v + 128) * 65535) >> 24;
    return std::uint8_t(v);
}

inline QRgb Grey(std::uint8_t v, std::uint8_t a) { return QRgb(a) << 24 | QRgb(v) << 16 | QRgb(v) << 8 | v; }

// One unfiltered row as QRgb, not premultiplied: what libpng gives with
// expand, scale_16, gray_to_rgb, bgr and an opaque filler.
void ExpandRow(const Png& png, const std::uint8_t* s, QRgb* out)
{
    const std::uint32_t w = png.width;
    const bool trns = png.trns;
    switch (png.type) {
    case kGrey:
        if (png.depth < 8) {
            const int depth = png.depth;
            const unsigned mask = (1u << depth) - 1;
            const unsigned scale = 255 / mask;
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::size_t bit = std::size_t(x) * unsigned(depth);
                const unsigned v = (s[bit / 8] >> (8 - depth - bit % 8)) & mask;
                out[x] = Grey(std::uint8_t(v * scale), trns && v == png.trnsValue[0] ? 0 : 255);
            }
        } else if (png.depth == 8) {
            for (std::uint32_t x = 0; x < w; ++x)
                out[x] = Grey(s[x], trns && s[x] == png.trnsValue[0] ? 0 : 255);
        } else {
            for (std::uint32_t x = 0; x < w; ++x, s += 2)
                out[x] = Grey(Scale16(s), trns && Be16(s) == png.trnsValue[0] ? 0 : 255);
        }
        break;
    case kPalette:
        if (png.depth < 8) {
            const int depth = png.depth;
            const unsigned mask = (1u << depth) - 1;
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::size_t bit = std::size_t(x) * unsigned(depth);
                out[x] = png.palette[(s[bit / 8] >> (8 - depth - bit % 8)) & mask];
            }
        } else {
            for (std::uint32_t x = 0; x < w; ++x)
                out[x] = png.palette[s[x]];
        }
        break;
    case kGreyAlpha:
        if (png.depth == 8) {
            for (std::uint32_t x = 0; x < w; ++x, s += 2)
                out[x] = Grey(s[0], s[1]);
        } else {
            for (std::uint32_t x = 0; x < w; ++x, s += 4)
                out[x] = Grey(Scale16(s), Scale16(s + 2));
        }
        break;
    case kRgb:
        if (png.depth == 8) {
            const std::uint8_t tr = std::uint8_t(png.trnsValue[0]), tg = std::uint8_t(png.trnsValue[1]),
                               tb = std::uint8_t(png.trnsValue[2]);
            for (std::uint32_t x = 0; x < w; ++x, s += 3) {
                const bool clear = trns && s[0] == tr && s[1] == tg && s[2] == tb;
                out[x] = qRgba(s[0], s[1], s[2], clear ? 0 : 255);
            }
        } else {
            for (std::uint32_t x = 0; x < w; ++x, s += 6) {
                const bool clear = trns && Be16(s) == png.trnsValue[0] && Be16(s + 2) == png.trnsValue[1] &&
                                   Be16(s + 4) == png.trnsValue[2];
                out[x] = qRgba(Scale16(s), Scale16(s + 2), Scale16(s + 4), clear ? 0 : 255);
            }
        }
        break;
    case kRgba:
        if (png.depth == 8) {
            for (std::uint32_t x = 0; x < w; ++x, s += 4)
                out[x] = qRgba(s[0], s[1], s[2], s[3]);
        } else {
            for (std::uint32_t x = 0; x < w; ++x, s += 8)
                out[x] = qRgba(Scale16(s), Scale16(s + 2), Scale16(s + 4), Scale16(s + 6));
        }
        break;
    }
}

// Qt's premultiplication (qPremultiply), for bytes.
inline std::uint8_t Premultiply(unsigned c, unsigned a)
{
    const unsigned t = c * a;
    return std::uint8_t((t + (t >> 8) + 0x80) >> 8);
}

// Walks the rows as they are inflated, unfiltering each and handing it on.
template <typename Sink>
bool ForEachRow(Png* png, Progress& progress, Sink&& sink)
{
    const std::size_t n = png->rowBytes;
    std::vector<std::uint8_t> zeros(n, 0), rows[3] = {std::vector<std::uint8_t>(n), std::vector<std::uint8_t>(n),
                                                      std::vector<std::uint8_t>(n)};
    const std::uint8_t* prev = zeros.data();
    // Two rows to write that are not the one above.
    const auto free = [&](int i) {
        for (std::vector<std::uint8_t>& r : rows)
            if (r.data() != prev && i-- == 0)
                return r.data();
        return rows[0].data();
    };
    const std::uint8_t* row = png->raw.get();
    for (std::uint32_t y = 0; y < png->height;) {
        if (!progress.WaitFor((std::size_t(y) + 1) * (n + 1)))
            return false;
        if (y % kStopCheckRows < 2 && DecodeStopRequested())
            return false;
        if (y + 1 < png->height && row[0] == 4) {
            if (!progress.WaitFor((std::size_t(y) + 2) * (n + 1)))
                return false;
            std::uint8_t* out = free(0);
            std::uint8_t* out2 = free(1);
            if (UnfilterPaethPair(row, row + n + 1, out, out2, prev, n, png->bpp)) {
                sink(y, out);
                sink(y + 1, out2);
                prev = out2;
                y += 2;
                row += 2 * (n + 1);
                continue;
            }
        }
        prev = Unfilter(row[0], row + 1, free(0), prev, n, png->bpp);
        if (!prev)
            return false;
        sink(y, prev);
        ++y;
        row += n + 1;
    }
    return true;
}

QImage DecodeWhole(Png* png, Progress& progress)
{
    QImage image(int(png->width), int(png->height), png->alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return {};
    const bool ok = ForEachRow(png, progress, [&](std::uint32_t y, const std::uint8_t* row) {
        ExpandRow(*png, row, reinterpret_cast<QRgb*>(image.scanLine(int(y))));
    });
    return ok ? image : QImage();
}

// 8-bit RGBA to premultiplied B G R A bytes, as Premultiply does.
void PremultiplyRgba(const std::uint8_t* in, std::uint8_t* out, std::uint32_t pixels)
{
    std::uint32_t x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi16(0x80);
    const __m128i alphaLanes = _mm_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0);
    const auto twoPixels = [&](__m128i v) {
        const __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xFF), 0xFF);
        const __m128i t = _mm_mullo_epi16(v, a); // at most 255 * 255
        __m128i p = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), half), 8);
        p = _mm_or_si128(_mm_andnot_si128(alphaLanes, p), _mm_and_si128(alphaLanes, v));
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(p, _MM_SHUFFLE(3, 0, 1, 2)), _MM_SHUFFLE(3, 0, 1, 2));
    };
    for (; x + 4 <= pixels; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + std::size_t(x) * 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + std::size_t(x) * 4),
                         _mm_packus_epi16(twoPixels(_mm_unpacklo_epi8(v, zero)), twoPixels(_mm_unpackhi_epi8(v, zero))));
    }
#endif
    for (; x < pixels; ++x) {
        const std::uint8_t* p = in + std::size_t(x) * 4;
        std::uint8_t* o = out + std::size_t(x) * 4;
        const unsigned a = p[3];
        o[0] = Premultiply(p[2], a);
        o[1] = Premultiply(p[1], a);
        o[2] = Premultiply(p[0], a);
        o[3] = std::uint8_t(a);
    }
}

// Reduces to size while the rows come.
QImage DecodeReduced(Png* png, QSize size, Progress& progress)
{
    const bool alpha = png->alpha;
    const std::uint32_t W = png->width;
    // Rows are summed as bytes: R G B straight from an 8-bit RGB file,
    // otherwise B G R A from QRgb (premultiplied).
    const bool direct = png->type == kRgb && png->depth == 8 && !png->trns;
    const bool directAlpha = png->type == kRgba && png->depth == 8;
    AreaReducer reducer(QSize(int(png->width), int(png->height)), size,
                        direct ? AreaReducer::Layout::Rgb24 : AreaReducer::Layout::Bgra32,
                        alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    if (!reducer.Ok())
        return {};
    std::vector<QRgb> expanded(direct ? 0 : W);
    const bool ok = ForEachRow(png, progress, [&](std::uint32_t, const std::uint8_t* row) {
        const std::uint8_t* bytes = row;
        if (directAlpha) {
            PremultiplyRgba(row, reinterpret_cast<std::uint8_t*>(expanded.data()), W);
            bytes = reinterpret_cast<const std::uint8_t*>(expanded.data());
        } else if (!direct) {
            ExpandRow(*png, row, expanded.data());
            if (alpha)
                for (QRgb& p : expanded)
                    p = qPremultiply(p);
            bytes = reinterpret_cast<const std::uint8_t*>(expanded.data());
        }
        reducer.AddRow(bytes);
    });
    return ok ? reducer.Take() : QImage();
}

} // namespace

QImage DecodePngFast(std::FILE* file, QSize size, std::size_t maxBytes)
{
    if (!file)
        return {};
    auto png = std::make_unique<Png>();
    std::uint32_t firstLength = 0;
    if (!ReadChunks(file, maxBytes, png.get(), &firstLength) || png->rawSize > UINT32_MAX ||
        !png->raw.Allocate(png->rawSize))
        return {};
    // Large pictures are inflated on an idle decoding thread while this one
    // unfilters and reduces the rows already there; with none idle, this
    // thread inflates first.
    Progress progress;
    DecodeService::Borrowed inflating;
    if (png->rawSize >= kThreadedBytes)
        inflating = DecodeService::TryBorrow([&] { InflateRows(file, firstLength, png.get(), &progress); });
    if (!inflating)
        InflateRows(file, firstLength, png.get(), &progress);
    struct Join {
        Progress& progress;
        DecodeService::Borrowed& inflating;
        ~Join()
        {
            progress.stop = true;
            inflating.Wait();
        }
    } join{progress, inflating};
    const QSize natural(int(png->width), int(png->height));
    const bool reduce = size.width() > 0 && size.height() > 0 && size.width() <= natural.width() &&
                        size.height() <= natural.height() && size != natural;
    return reduce ? DecodeReduced(png.get(), size, progress) : DecodeWhole(png.get(), progress);
}
