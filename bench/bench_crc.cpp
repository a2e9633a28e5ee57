// Throughput of CalcCrc16 over a 1 MiB buffer, next to two baselines on the same buffer: a
// byte loop whose every step depends on the one before (as the CRC's does) and memcpy.
// The ratios travel from one machine to another better than the MB/s do.

#include "benchutil.h"
#include "crc.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kBufferSize = 1 << 20;
// The CRC routine takes at most 65 535 bytes at a time, as any frame is far shorter.
constexpr std::size_t kChunk = 0xFFFF;
constexpr int kRuns = 21;
constexpr int kPassesPerRun = 8;

// Keeps a result alive so that the compiler cannot drop the loop that made it.
volatile std::uint32_t g_sink = 0;

double MegabytesPerSecond(double milliseconds)
{
    const double bytes = static_cast<double>(kBufferSize) * kPassesPerRun;
    return bytes / 1e6 / (milliseconds / 1e3);
}

Sample Throughput(const Sample& times)
{
    // The fastest run has the highest throughput: min and max change places.
    return {MegabytesPerSecond(times.median), MegabytesPerSecond(times.max),
            MegabytesPerSecond(times.min)};
}

std::uint32_t CrcOverBuffer(const std::vector<std::uint8_t>& buffer)
{
    std::uint32_t combined = 0;
    for (std::size_t offset = 0; offset < buffer.size(); offset += kChunk) {
        const std::size_t length = std::min(kChunk, buffer.size() - offset);
        combined ^= CalcCrc16(buffer.data() + offset, static_cast<std::uint16_t>(length));
    }
    return combined;
}

// One multiply and add per byte, each on the result of the last: no vector unit helps.
std::uint32_t DependentByteLoop(const std::vector<std::uint8_t>& buffer)
{
    std::uint32_t hash = 2166136261u;
    for (const std::uint8_t byte : buffer) {
        hash = (hash ^ byte) * 16777619u;
    }
    return hash;
}

} // namespace

int main()
{
    std::vector<std::uint8_t> buffer(kBufferSize);
    std::mt19937 random(12345);
    for (std::uint8_t& byte : buffer) {
        byte = static_cast<std::uint8_t>(random());
    }
    std::vector<std::uint8_t> copy(kBufferSize);

    const Sample crc = Throughput(MeasureMs(kRuns, [&] {
        for (int pass = 0; pass < kPassesPerRun; ++pass) {
            g_sink = g_sink + CrcOverBuffer(buffer);
        }
    }));
    const Sample loop = Throughput(MeasureMs(kRuns, [&] {
        for (int pass = 0; pass < kPassesPerRun; ++pass) {
            g_sink = g_sink + DependentByteLoop(buffer);
        }
    }));
    const Sample memcpyRate = Throughput(MeasureMs(kRuns, [&] {
        for (int pass = 0; pass < kPassesPerRun; ++pass) {
            buffer[static_cast<std::size_t>(pass)] ^= 1; // a fresh source each pass
            std::memcpy(copy.data(), buffer.data(), buffer.size());
            g_sink = g_sink + copy[static_cast<std::size_t>(pass) * 4099];
        }
    }));

    PrintHeader();
    PrintRow("CalcCrc16 over 1 MiB", crc, "MB/s");
    PrintRow("dependent byte loop over 1 MiB (baseline)", loop, "MB/s");
    PrintRow("memcpy of 1 MiB (baseline)", memcpyRate, "MB/s");
    // The ratios of the medians; the spread is that of the CRC runs against the median
    // baseline.
    PrintRow("CalcCrc16 / dependent byte loop",
             {crc.median / loop.median, crc.min / loop.median, crc.max / loop.median}, "×");
    PrintRow(
        "CalcCrc16 / memcpy",
        {crc.median / memcpyRate.median, crc.min / memcpyRate.median, crc.max / memcpyRate.median},
        "×");
    return 0;
}
