// The time from starting a picture viewer to its first picture on screen:
// starts the command, then looks at a 16 x 16 patch of the screen every
// millisecond until it shows a picture (other pixels than one flat colour),
// and ends the viewer.
//
//   bench_firstshown X Y COMMAND [ARGS...]
//
// Prints "milliseconds cpu-milliseconds" (the viewer's user and system time
// until it was ended), or nothing when no picture came within 60 s.
#include "ScreenPatch.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool ShowsAPicture(Display* display, int x, int y)
{
    return !Patch(display, DefaultRootWindow(display), x, y).empty();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_firstshown X Y COMMAND [ARGS...]\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    const int x = std::atoi(argv[1]), y = std::atoi(argv[2]);
    if (ShowsAPicture(display, x, y)) {
        std::fprintf(stderr, "the screen is not flat there before the start\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t viewer = fork();
    if (viewer == 0) {
        setpgid(0, 0);
        execvp(argv[3], argv + 3);
        _exit(127);
    }
    double shownMs = -1;
    for (;;) {
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (ShowsAPicture(display, x, y)) {
            shownMs = ms;
            break;
        }
        if (ms > 60000 || waitpid(viewer, nullptr, WNOHANG) == viewer)
            break;
        usleep(1000);
    }
    kill(-viewer, SIGKILL);
    rusage usage{};
    int status = 0;
    wait4(viewer, &status, 0, &usage);
    const double cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    // Until the screen is flat again: the next round starts from black.
    for (int i = 0; i < 5000 && ShowsAPicture(display, x, y); ++i)
        usleep(1000);
    if (shownMs >= 0)
        std::printf("%.1f %.1f\n", shownMs, cpuMs);
    XCloseDisplay(display);
    return shownMs >= 0 ? 0 : 1;
}
