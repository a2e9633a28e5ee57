#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// Repeats a measurement and reports its median with the spread (min to max), so that one
// slow run on a busy machine does not decide the figure.
struct Sample
{
    double median = 0;
    double min = 0;
    double max = 0;
};

// The median of an odd count is its middle value; of an even count, the mean of the two.
inline Sample SampleOf(std::vector<double> values)
{
    if (values.empty()) {
        return {};
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    const double median =
        values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    return {median, values.front(), values.back()};
}

template <class F> Sample MeasureMs(int runs, F&& run)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    return SampleOf(std::move(times));
}

inline void PrintHeader()
{
    std::printf("| %-44s | %13s | %19s |\n", "measure", "median", "spread (min – max)");
    std::printf("|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(15, '-').c_str(),
                std::string(21, '-').c_str());
}

inline void PrintRow(const std::string& what, const Sample& sample, const char* unit)
{
    std::printf("| %-44s | %10.3f %s | %10.3f – %.3f |\n", what.c_str(), sample.median, unit,
                sample.min, sample.max);
}

// A figure measured once, or a count: no spread.
inline void PrintValue(const std::string& what, double value, const char* unit, int decimals = 0)
{
    std::printf("| %-44s | %10.*f %s | %19s |\n", what.c_str(), decimals, value, unit, "—");
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
