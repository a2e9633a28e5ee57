#pragma once

#include "exchange.h"
#include "framelog.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

// How long a command waits for its reply.
enum class Timing
{
    // The fixed waits of the window: write, sleep the command's wait, read what came (read
    // meter gathers for up to 2.5 s). Technicians' habits and the slowest meters rely on them.
    Window,
    // The reply ends as soon as its expected length is in, or when the response timeout
    // passes: what scripts and production lines want.
    WireSpeed,
};

// The line's speed and framing: 10 bits a character without parity, 11 with.
struct LineTiming
{
    unsigned baud = 0;
    bool parity = false;
};

// How long count characters take on the line, rounded up to whole milliseconds; 0 at baud 0.
unsigned LineTimeMs(const LineTiming& line, std::size_t count);

// Everything a command needs besides its own arguments: the line, the timing, and who wants
// to see the traffic. One session per line; sessions on different lines are independent, so
// that several lines can be driven from several threads at once.
struct Session
{
    Link link;
    Timing timing = Timing::Window;
    // Wire speed: the line's speed, from which a reply's budget grows. At baud 0 the time on
    // the line is not counted and the budget is the response timeout alone.
    LineTiming line;
    // Wire speed: how long a reply may take beyond the request's and the reply's own time on
    // the line (the meter's turnaround and any slack), and what a network between us and the
    // line adds to that (a gateway's round trip).
    unsigned responseTimeoutMs = 1000;
    unsigned extraLatencyMs = 0;
    // The send and receive areas (hex text), when someone shows them.
    Traffic traffic;
    // Every frame as it crossed the line, for the traffic log: requests, replies, and bytes
    // that came when no reply was awaited.
    std::function<void(FrameDirection, std::span<const std::uint8_t>)> tap;
    // The debug lines of read meter.
    std::function<void(const std::string&)> debug;
    // The buffer replies are read into. The window keeps its own (and looks into it after a
    // command); without one the session uses its own.
    RecvBuffer* buffer = nullptr;

    // After each command: the bytes it received (the read-meter gathering's count included).
    std::size_t lastReceived = 0;

    RecvBuffer& recvBuffer() { return buffer ? *buffer : m_ownBuffer; }

private:
    RecvBuffer m_ownBuffer{};
};
