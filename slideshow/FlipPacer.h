#pragma once
// Keeps the pictures of a held key (or of quick clicks) coming at an even
// pace. Pictures decoded ahead on several cores tend to finish together;
// shown as soon as each is ready, they would flip in bursts: two at once,
// then a long wait. Within a run of quick steps a picture decoded ahead is
// held back until the time the decoders need per picture has passed since
// the last picture was shown, so that the gaps even out and the pictures
// decoded ahead are not used up at once. A step after a pause is never held.
#include <array>
#include <chrono>
#include <optional>

class FlipPacer {
public:
    using Clock = std::chrono::steady_clock;
    // Steps further apart than this do not belong to one run.
    static constexpr std::chrono::milliseconds kRunGap{300};

    // decoders: how many pictures are decoded at once.
    explicit FlipPacer(int decoders);

    // A picture decoded ahead, whose decode took decodeTime, is about to be
    // shown at now: how long it should wait first.
    Clock::duration HoldFor(Clock::duration decodeTime, Clock::time_point now);
    // A picture was shown at now.
    void Shown(Clock::time_point now);

private:
    int mDecoders;
    std::optional<Clock::time_point> mLastShown;
    // The last few decode times; 0 where none yet.
    std::array<double, 8> mDecodeMs{};
    std::size_t mNext = 0;
};
