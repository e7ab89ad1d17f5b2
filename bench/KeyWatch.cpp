// Holding a key in another viewer: XTest key presses at 30 Hz (the
// keyboard's auto-repeat) to its window, timing every new picture on the
// screen.
//
//   bench_keywatch WINDOW KEY SECONDS
//
// Waits until the window shows a picture, then sends KEY for SECONDS and
// prints "pictures/s median-pause-ms worst-pause-ms". Pictures that come up
// after the last press are not counted: the viewer may still be working
// through the presses that queued up meanwhile.
//
// A picture counts when a 16 x 16 patch at the centre of the window changes
// to other pixels, not to a flat colour. The window title is no use here:
// nsxiv sets it only once the input stops, though it keeps drawing. feh and
// nsxiv both draw into a pixmap and then put it up whole, so the patch never
// shows half a picture.
#include <X11/extensions/XTest.h>

#include "ScreenPatch.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_keywatch WINDOW KEY SECONDS\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    const Window window = Window(std::strtoul(argv[1], nullptr, 0));
    const KeyCode key = XKeysymToKeycode(display, XStringToKeysym(argv[2]));
    const double seconds = std::atof(argv[3]);
    int event = 0, error = 0, major = 0, minor = 0;
    if (!key || !XTestQueryExtension(display, &event, &error, &major, &minor)) {
        std::fprintf(stderr, "no key %s or no XTest\n", argv[2]);
        return 1;
    }
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes)) {
        std::fprintf(stderr, "no window %s\n", argv[1]);
        return 1;
    }
    const int x = attributes.width / 2 - kPatch / 2, y = attributes.height / 2 - kPatch / 2;

    // The first picture is up when the patch has held still for 300 ms.
    const auto giveUp = Clock::now() + std::chrono::seconds(60);
    std::vector<unsigned long> last;
    auto still = Clock::now();
    while (Clock::now() < giveUp) {
        const auto now = Patch(display, window, x, y);
        if (now.empty() || now != last) {
            last = now;
            still = Clock::now();
        } else if (Clock::now() - still > std::chrono::milliseconds(300)) {
            break;
        }
        poll(nullptr, 0, 20);
    }
    if (last.empty() || Clock::now() >= giveUp) {
        std::fprintf(stderr, "no picture came up\n");
        return 1;
    }
    // No window manager: the keys go to whoever has the focus.
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    XSync(display, False);

    const auto period = std::chrono::microseconds(33333);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto nextKey = start;
    std::vector<Clock::time_point> changes;
    for (auto now = start; now < end; now = Clock::now()) {
        // As the X server repeats a held key: a release and a press
        // together. Press-release pairs instead would have nsxiv drop every
        // press, as it drops a press with the same key's events queued.
        if (now >= nextKey) {
            if (now > start)
                XTestFakeKeyEvent(display, key, False, CurrentTime);
            XTestFakeKeyEvent(display, key, True, CurrentTime);
            XFlush(display);
            nextKey += period;
        }
        const auto patch = Patch(display, window, x, y);
        if (!patch.empty() && patch != last) {
            last = patch;
            changes.push_back(Clock::now());
        }
        poll(nullptr, 0, 4);
    }
    XTestFakeKeyEvent(display, key, False, CurrentTime);
    XFlush(display);

    std::vector<double> gaps;
    for (std::size_t i = 1; i < changes.size(); ++i)
        gaps.push_back(Ms(changes[i] - changes[i - 1]));
    std::sort(gaps.begin(), gaps.end());
    std::printf("%.2f %.0f %.0f\n", double(changes.size()) / seconds, gaps.empty() ? 0 : gaps[gaps.size() / 2],
                gaps.empty() ? 0 : gaps.back());
    XCloseDisplay(display);
    return 0;
}
