#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The traffic log: what each frame on the line means, in words, and a bounded store of the
// frames seen. The window's log and the command-line twin's --log share it, so that both
// say the same thing about the same bytes.

enum class FrameDirection
{
    Tx,
    Rx
};

// What a frame means, in one line: the function, register, count or values, the CRC (or the
// DL/T 645 checksum) good or bad, a Modbus exception with its code, the DL/T 645 clear frame
// and its reply. `request` is the last request sent on the same line (may be empty): a reply
// alone does not say which register it answers. Any bytes at all are accepted.
std::string DescribeFrame(FrameDirection direction, std::span<const std::uint8_t> bytes,
                          std::span<const std::uint8_t> request = {});

struct LoggedFrame
{
    std::chrono::system_clock::time_point time;
    std::string port; // device path; empty in the window, which has one port
    FrameDirection direction = FrameDirection::Tx;
    std::vector<std::uint8_t> bytes;
    std::string meaning; // DescribeFrame
};

// The frame of bytes crossing a line now, its meaning read against the line's last request,
// which lastRequest keeps (a request replaces it).
LoggedFrame MakeLoggedFrame(FrameDirection direction, std::span<const std::uint8_t> bytes, std::string port,
                            std::vector<std::uint8_t>& lastRequest);

// ISO 8601 local time with milliseconds and the offset from UTC:
// "2026-12-07T17:11:59.123+01:00".
std::string FormatLogTime(std::chrono::system_clock::time_point time);

// "TX" or "RX".
const char* DirectionText(FrameDirection direction);

// The bytes as upper-case hex, one space between two bytes, none after the last.
std::string FormatLogHex(std::span<const std::uint8_t> bytes);

// One line, fields separated by a tab: time, port (left out when empty), TX or RX, the hex
// bytes, the meaning. A tab never occurs inside a field, so the line splits unambiguously.
std::string FormatLogLine(const LoggedFrame& frame);

// The last `capacity` frames; older ones are dropped and counted. Every frame gets a
// sequence number, counting from 0 in order of appending and never reused (not even after
// clear()), so that a reader can tell which frames it has already seen. All members may be
// called from any thread.
class FrameLog
{
public:
    static constexpr std::size_t kDefaultCapacity = 100000;

    // The frames held, as sequence numbers: [first, end). end is the number of frames ever
    // appended; dropped counts those pushed out by the bound since the last clear().
    struct Bounds
    {
        std::uint64_t first = 0;
        std::uint64_t end = 0;
        std::uint64_t dropped = 0;
    };

    explicit FrameLog(std::size_t capacity = kDefaultCapacity);
    FrameLog(const FrameLog&) = delete;
    FrameLog& operator=(const FrameLog&) = delete;

    void append(LoggedFrame frame);
    // Every frame held, oldest first.
    std::vector<LoggedFrame> snapshot() const;
    // The frame with this sequence number, while it is held.
    std::optional<LoggedFrame> at(std::uint64_t sequence) const;
    Bounds bounds() const;

    std::size_t capacity() const { return m_capacity; }
    std::size_t size() const;
    std::uint64_t dropped() const;
    std::uint64_t appended() const;
    // Forgets every frame held and the count of dropped ones; sequence numbers go on.
    void clear();

    // Called after each append, on the appending thread, outside the log's lock: a window
    // queues its refresh from here. Calls are never concurrent, and once setListener returns
    // the previous listener is not running and will not be called again, so an owner may
    // clear it in its destructor. The listener must not call setListener.
    void setListener(std::function<void()> listener);

private:
    const std::size_t m_capacity;
    mutable std::mutex m_mutex; // guards the frames and the counts
    std::deque<LoggedFrame> m_frames;
    std::uint64_t m_appended = 0;
    std::uint64_t m_dropped = 0;
    std::mutex m_listenerMutex; // held while the listener runs or is replaced
    std::function<void()> m_listener;
};
