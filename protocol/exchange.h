#pragma once

#include "frame.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// What one exchange needs from the outside: the port and a clock. The window wires these to
// the port module and to its Sleep; tests wire them to fakes.
//
// read puts at most capacity - 1 bytes into the buffer and returns their number. The
// exchanges rely on no more than that, and pass a capacity no larger than the room left, so
// that even a link breaking the rule cannot write past the receive buffer; a count above the
// capacity is cut to it.
struct Link
{
    std::function<bool()> isOpen;
    std::function<std::uint32_t(std::uint32_t count, const std::uint8_t* bytes)> write;
    std::function<std::uint32_t(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs)> read;
    std::function<void(unsigned milliseconds)> sleep;
    // Waits until input is queued or the time has passed; true when bytes are waiting. Only
    // the wire-speed timing asks.
    std::function<bool(std::uint32_t waitMs)> waitReadable = {};
    // True once the device has gone under an open port (unplugged, hung up): what turns a
    // failed write into "device disconnected" rather than a short write. Empty: never.
    std::function<bool()> hungUp = {};
};

inline constexpr std::size_t kRecvBufferSize = 1024;
inline constexpr std::uint32_t kReadWaitMs = 1000;
using RecvBuffer = std::array<std::uint8_t, kRecvBufferSize>;

// Where frames are shown as hex text: the send area and the receive area.
struct Traffic
{
    std::function<void(const std::string&)> showSend;
    std::function<void(const std::string&)> showRecv;
};

enum class ReplyShown
{
    BeforeTest, // the reply is shown as soon as it is read
    AfterTest,  // only a reply that passed the test is shown
};

// The acceptance test of a reply: the zero-filled buffer and the count read.
using ReplyTest = std::function<bool(const RecvBuffer& reply, std::size_t count)>;

struct ExchangeSteps
{
    const Frame& request;
    unsigned waitMs;
    ReplyTest accept;
    ReplyShown shown;
};

enum class ExchangeResult
{
    PortClosed, // the port module said closed: nothing sent
    ShortWrite, // fewer bytes written than the request holds
    NoReply,    // nothing arrived within the wait
    Rejected,   // a reply arrived and failed the test
    Accepted,
};

// One request and its reply, in the order every command keeps: the request is shown before
// the port is used, the buffer is zero-filled before the wait, the wait comes before the read.
// On Rejected and Accepted, *replyLength holds the count read.
ExchangeResult RunExchange(const Link& link, const Traffic& traffic, RecvBuffer& buffer,
                           const ExchangeSteps& steps, std::size_t* replyLength = nullptr);

// The gathering of the read-meter reply, after its request was written: zero-fill the
// buffer, wait firstWaitMs, then read pieces until exactly expectedLength() bytes are there,
// pausing pauseMs() between pieces. An empty read drops what was gathered and is retried once
// after firstWaitMs; a second empty read ends the gathering, and so does a fourth such
// restart. The gathered bytes never leave the buffer: a piece that would overflow it is cut
// to fit and ends the gathering, since the reply can then no longer have the expected length.
// Debug lines go to debug. Returns the count gathered, or nothing when the gathering ended
// without the expected length.
struct GatherSteps
{
    unsigned firstWaitMs;
    // Read again at each pass, as the meter type may be read: 0 leaves the loop at once.
    std::function<std::size_t()> expectedLength;
    std::function<unsigned()> pauseMs;
    std::function<void(const std::string&)> debug;
};
std::optional<std::size_t> GatherReply(const Link& link, RecvBuffer& buffer, const GatherSteps& steps,
                                       std::size_t* gatheredCount = nullptr);
