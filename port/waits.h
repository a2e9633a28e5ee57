#pragma once

#include <chrono>
#include <cstdint>

// The longest any single wait of the port lasts. Waits arrive as unsigned milliseconds, and
// poll takes a signed int in which everything past INT_MAX turns negative, which poll reads
// as "wait for ever": a stuck meter would then hang its caller. No exchange with a meter
// needs more than a few seconds; a caller that wants to wait longer waits again.
constexpr std::uint32_t kLongestWaitMs = 60'000;

inline std::chrono::milliseconds ClampedWait(std::uint32_t waitMs)
{
    return std::chrono::milliseconds(waitMs < kLongestWaitMs ? waitMs : kLongestWaitMs);
}

// The poll timeout for the time left until a deadline: 0 once it has passed, rounded up so
// that a wait never ends early, and never beyond the longest wait.
inline int PollTimeout(std::chrono::steady_clock::duration left)
{
    if (left <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms < kLongestWaitMs ? static_cast<int>(ms) : static_cast<int>(kLongestWaitMs);
}
