#pragma once

#include "answer.h"
#include "meterstate.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace metersim {

enum class LineParity
{
    None,
    Odd,
    Even
};

// A meter on a serial line: a pseudo-terminal whose other side a master opens like any
// serial port, or a real device (a USB adapter wired to the master's). The meter runs on
// its own thread once started: it cuts what arrives into frames (by their known length, or
// by the line falling silent), answers each with AnswerRequest and sends the answer, bent
// by the misbehaviour that is set. All members may be called from any thread.
class MeterSimulator
{
public:
    enum class Direction
    {
        Request, // one whole request frame as received
        Reply    // one piece of a reply as written
    };
    // Called on the meter's thread, never with the meter's lock held.
    using TrafficLog = std::function<void(Direction, std::span<const std::uint8_t>)>;

    // A new pseudo-terminal in raw mode; the master opens devicePath(). Null on failure,
    // with the reason in *error when given.
    static std::unique_ptr<MeterSimulator> OnPseudoTerminal(MeterKind kind,
                                                            std::string* error = nullptr);
    // A serial device at baud (1200 to 115200) and parity, 8 data bits, 1 stop bit. The
    // meter's baud and parity codes start as the line's. After a write that changes them,
    // the meter sends its reply and then switches the line, as a real meter does.
    static std::unique_ptr<MeterSimulator> OnDevice(MeterKind kind, const std::string& path,
                                                    int baud, LineParity parity,
                                                    std::string* error = nullptr);

    ~MeterSimulator();
    MeterSimulator(const MeterSimulator&) = delete;
    MeterSimulator& operator=(const MeterSimulator&) = delete;

    MeterKind kind() const { return m_kind; }
    // The path a master opens: /dev/pts/N, or the device given.
    const std::string& devicePath() const { return m_path; }

    void start();
    // Ends the thread; a reply being sent (or waited for) is abandoned. Idempotent.
    void stop();
    bool isRunning() const { return m_thread.joinable(); }

    MeterState state() const;
    void setState(const MeterState& state);
    // Changes the state under the meter's lock, between two requests.
    void updateState(const std::function<void(MeterState&)>& change);

    Misbehaviour misbehaviour() const;
    void setMisbehaviour(const Misbehaviour& misbehaviour);

    // How long the line must stay silent to end a frame whose length is not known.
    void setSilenceMs(int ms);
    // Set before start().
    void setTrafficLog(TrafficLog log);

    // Frames received (including ignored ones) and replies sent completely.
    std::uint64_t requestsSeen() const;
    std::uint64_t repliesSent() const;
    std::vector<std::uint8_t> lastRequest() const;
    // Wait until the counters reach count; false on timeout.
    bool waitForRequests(std::uint64_t count, std::chrono::milliseconds timeout) const;
    bool waitForReplies(std::uint64_t count, std::chrono::milliseconds timeout) const;

    // Ends the silence the meter keeps before a reply or between its pieces now, as though it
    // had run its length: for tests that keep the meter's time on a clock of their own and
    // set silences far longer than any test. One release ends one silence; given while none
    // is kept, it ends the next one at once.
    void releaseSilence();

    // The device vanishes: the line is closed, the master sees a hang-up. The thread keeps
    // running (idle) until stop().
    void closeLine();
    bool lineOpen() const;

private:
    MeterSimulator(MeterKind kind, int lineFd, int holdFd, int wakeRead, int wakeWrite,
                   std::string path, bool device);

    void run();
    void handleFrame(const std::vector<std::uint8_t>& frame);
    void send(const Response& response);
    bool pause(int ms);
    bool writeAll(std::span<const std::uint8_t> bytes);
    void closeLineNow();
    void wake();
    void log(Direction direction, std::span<const std::uint8_t> bytes) const;
    bool waitFor(const std::atomic<std::uint64_t>& counter, std::uint64_t count,
                 std::chrono::milliseconds timeout) const;

    const MeterKind m_kind;
    const std::string m_path;
    const bool m_device;
    int m_lineFd;
    int m_holdFd; // the pseudo-terminal's other side, held open so a master may come and go
    const int m_wakeRead;
    const int m_wakeWrite;
    const int m_release; // an eventfd counting releases of silences

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    MeterState m_state;
    Misbehaviour m_misbehaviour;
    std::vector<std::uint8_t> m_lastRequest;
    bool m_lineOpen = true;
    int m_silenceMs;
    TrafficLog m_log;

    std::atomic<std::uint64_t> m_requests{0};
    std::atomic<std::uint64_t> m_replies{0};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_closeRequested{false};
    std::thread m_thread;
};

} // namespace metersim
