#include "imaging/AreaReducer.h"

#include <algorithm>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// sums[i] += from[i] * weight: the reduction's hot loop (from a row's bytes
// or from whole rows' sums), built a second time for processors with AVX2,
// which take eight samples at a time.
template <typename Source>
[[gnu::always_inline]] inline void AccumulateBody(std::uint32_t* __restrict sums, const Source* __restrict from,
                                                  std::size_t n, std::uint32_t weight)
{
    if (weight == 1) {
        for (std::size_t i = 0; i < n; ++i)
            sums[i] += from[i];
    } else {
        for (std::size_t i = 0; i < n; ++i)
            sums[i] += std::uint32_t(from[i]) * weight;
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_ACCUMULATE_AVX2 1
template <typename Source>
__attribute__((target("avx2"))) void AccumulateAvx2(std::uint32_t* sums, const Source* from, std::size_t n,
                                                    std::uint32_t weight)
{
    AccumulateBody(sums, from, n, weight);
}
const bool kAvx2 = __builtin_cpu_supports("avx2");
#endif

template <typename Source>
void Accumulate(std::uint32_t* sums, const Source* from, std::size_t n, std::uint32_t weight)
{
#if defined(VELMORA_ACCUMULATE_AVX2)
    if (kAvx2)
        return AccumulateAvx2(sums, from, n, weight);
#endif
    AccumulateBody(sums, from, n, weight);
}

} // namespace

AreaReducer::AreaReducer(QSize from, QSize to, Layout layout, QImage::Format format)
    : mW(std::uint32_t(from.width())), mH(std::uint32_t(from.height())), mw(std::uint32_t(to.width())),
      mh(std::uint32_t(to.height())), mChannels(layout == Layout::Rgb24 ? 3 : 4), mRgb24(layout == Layout::Rgb24)
{
    if (to.isEmpty() || from.width() < to.width() || from.height() < to.height() || from.height() > kMaxRows)
        return;
    mImage = QImage(to, format);
    if (mImage.isNull())
        return;
    const std::size_t samples = std::size_t(mW) * unsigned(mChannels);
    // One more sum than there are samples: the last pixel's four-wide read.
    mSums.assign(samples + 1, 0);
    mWhole.assign(samples + 1, 0);
    // A source pixel is mw units wide and an output pixel mW, so every
    // weight is a whole number.
    mSpans.assign(mw, Span{});
    mWeights.reserve(std::size_t(mW) + mw);
    for (std::uint32_t x = 0; x < mw; ++x) {
        const std::uint64_t start = std::uint64_t(x) * mW, end = start + mW;
        Span& span = mSpans[x];
        span.first = std::uint32_t(start / mw);
        span.offset = std::uint32_t(mWeights.size());
        for (std::uint64_t i = span.first; i * mw < end; ++i) {
            const std::uint64_t lo = std::max(start, i * mw), hi = std::min(end, (i + 1) * mw);
            mWeights.push_back(std::uint32_t(hi - lo));
            ++span.count;
        }
    }
}

// Each row is added into one output row's sums (or split between two).
// Rows wholly inside one output row all weigh the same, so they are added
// plainly and weighed once when the output row is finished.
void AreaReducer::AddRow(const std::uint8_t* row)
{
    if (!Ok() || mRow >= mH)
        return;
    const std::size_t samples = mSums.size() - 1; // without the padding
    // Source row y covers [y*h, (y+1)*h) in units where an output row is H.
    std::uint64_t at = std::uint64_t(mRow) * mh;
    const std::uint64_t end = at + mh;
    while (at < end) {
        const std::uint64_t oy = at / mH, boundary = (oy + 1) * mH;
        const std::uint64_t stop = std::min(end, boundary);
        if (stop - at == mh) {
            Accumulate(mWhole.data(), row, samples, 1);
            mAnyWhole = true;
        } else {
            Accumulate(mSums.data(), row, samples, std::uint32_t(stop - at));
        }
        at = stop;
        if (at == boundary)
            FinishRow(std::uint32_t(oy));
    }
    ++mRow;
}

void AreaReducer::AddRows(const QImage& image, int left, int top)
{
    if (mRgb24 || image.depth() != 32 || left < 0 || top < 0 || std::int64_t(image.width()) - left < mW)
        return;
    const int end = int(std::min<std::int64_t>(image.height(), std::int64_t(top) + (mH - mRow)));
    for (int y = top; y < end; ++y)
        AddRow(image.constScanLine(y) + std::size_t(left) * 4);
}

void AreaReducer::FinishRow(std::uint32_t oy)
{
    if (mAnyWhole) {
        Accumulate(mSums.data(), mWhole.data(), mSums.size(), mh);
        std::fill(mWhole.begin(), mWhole.end(), 0u);
        mAnyWhole = false;
    }
    const int n = mChannels;
    auto* out = reinterpret_cast<QRgb*>(mImage.scanLine(int(oy)));
#if defined(__SSE2__)
    if (std::uint64_t(mH) * 255 < (std::uint64_t(1) << 31)) {
        FinishRowSse(out);
        std::fill(mSums.begin(), mSums.end(), 0u);
        return;
    }
#endif
    const double scale = 1.0 / (double(mW) * double(mH));
    for (std::uint32_t x = 0; x < mw; ++x) {
        const Span& span = mSpans[x];
        const std::uint32_t* s = mSums.data() + std::size_t(span.first) * unsigned(n);
        const std::uint32_t* wt = mWeights.data() + span.offset;
        std::uint64_t t0 = 0, t1 = 0, t2 = 0, t3 = 0;
        for (std::uint32_t k = 0; k < span.count; ++k, s += n) {
            t0 += std::uint64_t(s[0]) * wt[k];
            t1 += std::uint64_t(s[1]) * wt[k];
            t2 += std::uint64_t(s[2]) * wt[k];
            if (n == 4)
                t3 += std::uint64_t(s[3]) * wt[k];
        }
        const auto v = [scale](std::uint64_t t) { return QRgb(double(t) * scale + 0.5); };
        out[x] = mRgb24 ? qRgb(int(v(t0)), int(v(t1)), int(v(t2))) : v(t3) << 24 | v(t2) << 16 | v(t1) << 8 | v(t0);
    }
    std::fill(mSums.begin(), mSums.end(), 0u);
}

#if defined(__SSE2__)
void AreaReducer::FinishRowSse(QRgb* out) const
{
    const int n = mChannels;
    // Across in single precision, a pixel's samples side by side: a sum is
    // at most 255 * H, and a few weighted ones lose nothing that shows.
    const __m128 scale = _mm_set1_ps(float(1.0 / (double(mW) * double(mH))));
    for (std::uint32_t x = 0; x < mw; ++x) {
        const Span& span = mSpans[x];
        const std::uint32_t* s = mSums.data() + std::size_t(span.first) * unsigned(n);
        const std::uint32_t* wt = mWeights.data() + span.offset;
        __m128 t = _mm_setzero_ps();
        for (std::uint32_t k = 0; k < span.count; ++k, s += n) {
            // Four sums from here; with three samples a pixel the fourth is
            // the next pixel's (or the padding) and is not used.
            const __m128 v = _mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
            t = _mm_add_ps(t, _mm_mul_ps(v, _mm_set1_ps(float(wt[k]))));
        }
        const __m128i i32 = _mm_cvtps_epi32(_mm_mul_ps(t, scale)); // rounded to nearest
        const __m128i i16 = _mm_packs_epi32(i32, i32);
        const auto bytes = std::uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(i16, i16)));
        // Rgb24 sums are R G B: into QRgb's B G R A in memory.
        out[x] = mRgb24 ? 0xFF000000u | (bytes & 0xFF) << 16 | (bytes & 0xFF00) | (bytes >> 16 & 0xFF) : bytes;
    }
}
#endif
