// The quick PNG path's rows: unfiltering as they are inflated (two Paeth
// rows at a time where it can), turning them into pixels as libpng would,
// and the whole picture or its reduction fed row by row.
#include "imaging/PngFastParts.h"

#include "imaging/AreaReducer.h"
#include "imaging/DecodeService.h"

#include <cstdlib>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pngfast {

namespace {

using codec::ErrorKind;

// Rows unfiltered between two looks at whether the decode should stop.
constexpr std::uint32_t kStopCheckRows = 16;

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

codec::Error DataDamaged() { return codec::Fail(ErrorKind::Damaged, "picture data damaged"); }

// Walks the rows as they are inflated, unfiltering each and handing it on.
template <typename Sink>
codec::Result<void> ForEachRow(Png* png, Progress& progress, Sink&& sink)
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
            return DataDamaged();
        if (y % kStopCheckRows < 2 && DecodeStopRequested())
            return codec::Fail(ErrorKind::Stopped, "decoding stopped");
        if (y + 1 < png->height && row[0] == 4) {
            if (!progress.WaitFor((std::size_t(y) + 2) * (n + 1)))
                return DataDamaged();
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
            return codec::Fail(ErrorKind::Damaged, "unknown row filter");
        sink(y, prev);
        ++y;
        row += n + 1;
    }
    return {};
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

} // namespace

codec::Result<QImage> DecodeWhole(Png* png, Progress& progress)
{
    QImage image(int(png->width), int(png->height), png->alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return codec::Fail(ErrorKind::OutOfMemory, "no memory for the picture");
    const codec::Result<void> rows = ForEachRow(png, progress, [&](std::uint32_t y, const std::uint8_t* row) {
        ExpandRow(*png, row, reinterpret_cast<QRgb*>(image.scanLine(int(y))));
    });
    if (!rows)
        return rows.error();
    return image;
}

// Reduces to size while the rows come.
codec::Result<QImage> DecodeReduced(Png* png, QSize size, Progress& progress)
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
        return codec::Fail(ErrorKind::OutOfMemory, "no memory for the reduced picture");
    std::vector<QRgb> expanded(direct ? 0 : W);
    const codec::Result<void> rows = ForEachRow(png, progress, [&](std::uint32_t, const std::uint8_t* row) {
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
    if (!rows)
        return rows.error();
    return reducer.Take();
}

} // namespace pngfast
