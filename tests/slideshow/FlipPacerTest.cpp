// Pacing the pictures of a held key: decodes on two cores that finish in
// pairs, key repeats every 33 ms, and the step as the show takes it (wait
// for the picture, hold it as the pacer says, show it; keys that arrive
// meanwhile are dropped).
#include "slideshow/FlipPacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace {

using Clock = FlipPacer::Clock;
using Ms = std::chrono::duration<double, std::milli>;

Clock::time_point At(double ms) { return Clock::time_point() + std::chrono::duration_cast<Clock::duration>(Ms(ms)); }
double MsOf(Clock::duration d) { return Ms(d).count(); }

struct Flips {
    std::vector<double> gaps; // between pictures shown
    double seconds = 0;
};

// Pictures 0..count-1, picture i ready at ready(i), each decoded in
// decodeMs; keys every keyMs from 1000 ms on (the show started at 0).
Flips HoldKey(int count, double decodeMs, double keyMs, const std::function<double(int)>& ready, bool pace = true)
{
    FlipPacer pacer(2);
    pacer.Shown(At(0));
    std::vector<double> shown;
    double busyUntil = 0;
    int next = 0;
    for (double key = 1000; next < count; key += keyMs) {
        if (key < busyUntil)
            continue; // dropped, as keys are while a picture loads
        const double start = std::max(key, ready(next));
        const double hold = pace ? MsOf(pacer.HoldFor(std::chrono::duration_cast<Clock::duration>(Ms(decodeMs)), At(start))) : 0;
        busyUntil = start + hold;
        pacer.Shown(At(busyUntil));
        shown.push_back(busyUntil);
        ++next;
    }
    Flips run;
    for (std::size_t i = 1; i < shown.size(); ++i)
        run.gaps.push_back(shown[i] - shown[i - 1]);
    run.seconds = (shown.back() - shown.front()) / 1000;
    return run;
}

double WorstOverMedian(std::vector<double> gaps)
{
    std::sort(gaps.begin(), gaps.end());
    return gaps.back() / gaps[gaps.size() / 2];
}

TEST(FlipPacer, EvensOutDecodesThatFinishInPairs)
{
    // Four pictures decoded before the key, then two every 100 ms.
    const auto pairs = [](int i) { return i < 4 ? 0.0 : 1000 + 100.0 * ((i - 4) / 2 + 1); };
    const Flips bursty = HoldKey(120, 100, 33, pairs, false);
    ASSERT_GT(WorstOverMedian(bursty.gaps), 2.0); // what there is to even out
    const Flips paced = HoldKey(120, 100, 33, pairs);
    EXPECT_LE(WorstOverMedian(paced.gaps), 1.5);
    // Decodes far slower than the key (two pictures every 700 ms): the
    // pace is theirs from the start of the run, so the pictures decoded
    // ahead are not used up at the key's pace, leaving a long wait after.
    const auto slowPairs = [](int i) { return i < 4 ? 0.0 : 1000 + 700.0 * ((i - 4) / 2 + 1); };
    ASSERT_GT(WorstOverMedian(HoldKey(40, 700, 33, slowPairs, false).gaps), 2.0);
    EXPECT_LE(WorstOverMedian(HoldKey(40, 700, 33, slowPairs).gaps), 1.5);
    // As many pictures a second as the decodes give.
    EXPECT_LT(paced.seconds, bursty.seconds * 1.05);
    // At the decoders' pace (100 ms on two) from the second picture on:
    // the pictures decoded ahead are not used up in a burst.
    for (std::size_t i = 0; i < paced.gaps.size(); ++i)
        EXPECT_GE(paced.gaps[i], 50 - 0.5) << i;
}

TEST(FlipPacer, NeverHoldsQuickDecodesOrStepsAfterAPause)
{
    // Decodes quicker than the key: the key sets the pace, nothing waits.
    const Flips quick = HoldKey(30, 20, 33, [](int) { return 0.0; });
    for (double gap : quick.gaps)
        EXPECT_NEAR(gap, 33, 0.5);

    // Slow decodes (400 ms a picture on two cores): a step within the run
    // waits, a step after a pause does not.
    FlipPacer pacer(2);
    const auto decode = std::chrono::duration_cast<Clock::duration>(Ms(800));
    pacer.Shown(At(0));
    EXPECT_GT(pacer.HoldFor(decode, At(250)), Clock::duration::zero());
    pacer.Shown(At(250));
    EXPECT_EQ(pacer.HoldFor(decode, At(250 + 305)), Clock::duration::zero());
    // A picture not decoded ahead tells nothing of the decodes.
    FlipPacer fresh(2);
    fresh.Shown(At(0));
    EXPECT_EQ(fresh.HoldFor(Clock::duration::zero(), At(10)), Clock::duration::zero());
}

} // namespace
