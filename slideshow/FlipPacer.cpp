#include "slideshow/FlipPacer.h"

#include <algorithm>
#include <numeric>

FlipPacer::FlipPacer(int decoders) : mDecoders(std::max(1, decoders)) {}

FlipPacer::Clock::duration FlipPacer::HoldFor(Clock::duration decodeTime, Clock::time_point now)
{
    if (decodeTime > Clock::duration::zero()) {
        mDecodeMs[mNext] = std::chrono::duration<double, std::milli>(decodeTime).count();
        mNext = (mNext + 1) % mDecodeMs.size();
    }
    if (!mLastShown || now - *mLastShown >= kRunGap)
        return Clock::duration::zero();
    const auto known = std::count_if(mDecodeMs.begin(), mDecodeMs.end(), [](double ms) { return ms > 0; });
    if (known == 0)
        return Clock::duration::zero();
    // With every decoder busy, a picture is ready every decode time / decoders.
    const double perPicture = std::accumulate(mDecodeMs.begin(), mDecodeMs.end(), 0.0) / double(known) / mDecoders;
    // From the second picture of a run on: the pace the decoders keep up,
    // not the key's, which would use up the pictures decoded ahead and
    // then wait for the next decode.
    const auto gap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(perPicture));
    return std::max(Clock::duration::zero(), *mLastShown + gap - now);
}

void FlipPacer::Shown(Clock::time_point now)
{
    mLastShown = now;
}
