#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// Repeats a measurement and reports its median with the spread (min to max), so that one
// slow run on a busy machine does not decide the figure.
struct Sample
{
    double median = 0;
    double min = 0;
    double max = 0;
};

template <class F> Sample MeasureMs(int runs, F&& run)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.front(), times.back()};
}

inline void PrintRow(const std::string& what, const Sample& sample, const char* unit)
{
    std::printf("| %-44s | %10.3f %s | %10.3f – %.3f |\n", what.c_str(), sample.median, unit, sample.min, sample.max);
}

// Resident memory of this process in KiB, from /proc.
inline long ResidentKiB()
{
    long kib = -1;
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) {
                break;
            }
        }
        std::fclose(status);
    }
    return kib;
}
