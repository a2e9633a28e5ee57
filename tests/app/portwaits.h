#pragma once

#include "port.h"

#include <chrono>
#include <cstdint>
#include <thread>

// How a bench's window waits for its meter.
enum class Waits
{
    OnTheMeter, // each wait ends when what it lets in has reached the port
    Real,       // the commands' own waits, in real time
};

// How long an event that must come (a request heard, a reply on its way) may take on a loaded
// machine before the test fails.
constexpr auto kWaitBackstop = std::chrono::seconds(10);

// Polls the port's input queue until it holds at least count bytes; false after the backstop.
inline bool WaitForQueued(std::uint32_t count)
{
    const auto until = std::chrono::steady_clock::now() + kWaitBackstop;
    while (PortInQueueCount() < count) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
