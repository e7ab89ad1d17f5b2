// Holding a key in another viewer: XTest key presses at 30 Hz (the
// keyboard's auto-repeat) to its window, timing every change of the window
// title, which bench/peers has the viewer set to the file shown.
//
//   bench_titlewatch WINDOW KEY SECONDS FIRST-TITLE
//
// Waits until the title is FIRST-TITLE (the first picture is up), then sends
// KEY for SECONDS and prints "pictures/s median-pause-ms worst-pause-ms".
// Titles that change after the last press are not counted: the viewer may
// still be working through the presses that queued up meanwhile.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Title(Display* display, Window window)
{
    static const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    static const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    for (const auto& [name, type] : {std::pair{netName, utf8}, std::pair{Atom(XA_WM_NAME), Atom(AnyPropertyType)}}) {
        Atom actual = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, name, 0, 1024, False, type, &actual, &format, &items, &after, &data) ==
                Success &&
            data) {
            std::string title(reinterpret_cast<char*>(data), items);
            XFree(data);
            if (!title.empty())
                return title;
        }
    }
    return {};
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_titlewatch WINDOW KEY SECONDS FIRST-TITLE\n");
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
    const std::string first = argv[4];
    int event = 0, error = 0, major = 0, minor = 0;
    if (!key || !XTestQueryExtension(display, &event, &error, &major, &minor)) {
        std::fprintf(stderr, "no key %s or no XTest\n", argv[2]);
        return 1;
    }
    XSelectInput(display, window, PropertyChangeMask);
    XSync(display, False);

    const auto give_up = Clock::now() + std::chrono::seconds(60);
    std::string last = Title(display, window);
    while (last != first && Clock::now() < give_up) {
        XEvent e;
        while (XPending(display))
            XNextEvent(display, &e);
        poll(nullptr, 0, 20);
        last = Title(display, window);
    }
    if (last != first) {
        std::fprintf(stderr, "the title never became %s (it is \"%s\")\n", first.c_str(), last.c_str());
        return 1;
    }
    // No window manager: the keys go to whoever has the focus.
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    XSync(display, False);

    const auto period = std::chrono::microseconds(33333);
    const auto start = Clock::now(), end = start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(seconds));
    auto nextKey = start;
    std::vector<Clock::time_point> changes;
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    for (auto now = start; now < end; now = Clock::now()) {
        if (now >= nextKey) {
            XTestFakeKeyEvent(display, key, True, CurrentTime);
            XTestFakeKeyEvent(display, key, False, CurrentTime);
            XFlush(display);
            nextKey += period;
        }
        while (XPending(display)) {
            XEvent e;
            XNextEvent(display, &e);
            if (e.type != PropertyNotify)
                continue;
            const std::string title = Title(display, window);
            if (!title.empty() && title != last) {
                last = title;
                changes.push_back(Clock::now());
            }
        }
        const auto until = std::min(nextKey, end);
        poll(&fd, 1, std::max(0, int(Ms(until - Clock::now()))));
    }

    std::vector<double> gaps;
    for (std::size_t i = 1; i < changes.size(); ++i)
        gaps.push_back(Ms(changes[i] - changes[i - 1]));
    std::sort(gaps.begin(), gaps.end());
    std::printf("%.2f %.0f %.0f\n", double(changes.size()) / seconds, gaps.empty() ? 0 : gaps[gaps.size() / 2],
                gaps.empty() ? 0 : gaps.back());
    XCloseDisplay(display);
    return 0;
}
