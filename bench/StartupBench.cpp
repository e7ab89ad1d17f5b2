// Start-up: from starting the program to its main window on screen
// (offscreen, warm cache). The parent starts itself as the program many
// times and times each start until the child reports its window shown.
//
//   bench_startup [runs]    (default 15)
#include "app/Form1.h"
#include "imaging/DecodeService.h"

#include <QApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

int Child(int argc, char** argv)
{
    QApplication app(argc, argv);
    DecodeService decoding;
    Form1 window;
    window.show();
    QApplication::processEvents();
    if (!window.isVisible())
        return 1;
    std::fputs("shown\n", stdout);
    std::fflush(stdout);
    std::_Exit(0); // the time after the window is on screen is not start-up
}

double StartOnce(const char* self)
{
    int out[2];
    if (pipe(out) != 0)
        std::exit(1);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(self, self, "--child", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char buffer[16] = {};
    const ssize_t n = read(out[0], buffer, sizeof buffer - 1);
    const auto shown = std::chrono::steady_clock::now();
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n <= 0 || std::strncmp(buffer, "shown", 5) != 0) {
        std::fprintf(stderr, "the program did not show its window\n");
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(shown - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return Child(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::vector<double> times;
    StartOnce(argv[0]); // warms the cache
    for (int i = 0; i < runs; ++i)
        times.push_back(StartOnce(argv[0]));
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("start-up to main window shown: median %.1f ms (%.1f-%.1f) (%d runs; target <= 300 ms) %s\n",
                median, times.front(), times.back(), runs, median <= 300 ? "ok" : "MISSED");
    return 0;
}
