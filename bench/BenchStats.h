#pragma once
// The few statistics every benchmark prints: median and spread of rounds
// that alternate the contenders, the CPU time they took, and the machine.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

inline double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double Min(const std::vector<double>& v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

inline double Max(const std::vector<double>& v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// User plus system time of the whole process (all its threads), in ms.
inline double ProcessCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Cores and CPU model, so that a figure says where it was measured.
inline std::string MachineLine()
{
    std::ifstream info("/proc/cpuinfo");
    std::string line, model = "unknown CPU";
    while (std::getline(info, line))
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            model = colon == std::string::npos ? line : line.substr(colon + 2);
            break;
        }
    return "machine: " + std::to_string(std::thread::hardware_concurrency()) + " cores, " + model;
}

// One contender's rounds: wall and CPU time of each run, in ms.
struct Rounds {
    std::vector<double> wall, cpu;
    bool failed = false;
    double Median() const { return ::Median(wall); }
    double Cpu() const { return ::Median(cpu); }
};

// Round r runs every contender once, starting with contender r (mod n), so
// that none always runs first or after the same neighbour; whatever else the
// machine does spreads over all of them. A contender returning false fails.
inline std::vector<Rounds> Alternate(const std::vector<std::function<bool()>>& contenders, int rounds)
{
    std::vector<Rounds> out(contenders.size());
    const std::size_t n = contenders.size();
    for (int r = 0; r < rounds; ++r)
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t c = (std::size_t(r) + k) % n;
            if (out[c].failed)
                continue;
            const double cpu = ProcessCpuMs();
            const auto start = std::chrono::steady_clock::now();
            const bool ok = contenders[c]();
            const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            out[c].cpu.push_back(ProcessCpuMs() - cpu);
            out[c].wall.push_back(wall);
            out[c].failed = !ok;
        }
    return out;
}

// "412.3 ms (405.1-430.8), CPU 520.0 ms"
inline std::string Figure(const Rounds& r)
{
    char text[96];
    std::snprintf(text, sizeof text, "%7.1f ms (%.1f-%.1f), CPU %6.1f ms", r.Median(), Min(r.wall), Max(r.wall),
                  r.Cpu());
    return text;
}
