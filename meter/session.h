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

// Everything a command needs besides its own arguments: the line, the timing, and who wants
// to see the traffic. One session per line; sessions on different lines are independent, so
// that several lines can be driven from several threads at once.
struct Session
{
    Link link;
    Timing timing = Timing::Window;
    // Wire speed: how long after the request the whole reply may take.
    unsigned responseTimeoutMs = 1000;
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
