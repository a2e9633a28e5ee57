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
#include <optional>
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

// Meters on a serial line: a pseudo-terminal whose other side a master opens like any
// serial port, or a real device (a USB adapter wired to the master's). There is one meter
// at first; addMeter() puts more on the same line, each with its own state. The line runs
// on its own thread once started: it cuts what arrives into frames (by their known length,
// or by the line falling silent), hands each to the meter it is addressed to, answers with
// AnswerRequest and sends the answer, bent by the misbehaviour that is set. A request to
// every meter (Modbus address 0, a DL/T 645 wildcard) is taken by the first meter alone:
// meters that all answered it would only garble each other's replies. All members may be
// called from any thread.
//
// A pseudo-terminal moves bytes at memory speed. With wire time on, it behaves like the
// line it stands for: a request counts as received once its bytes would have crossed the
// line at the master's speed, every reply byte arrives when its stop bit would have
// (10 bits a character, 11 when the meter's parity setting has a parity bit), and a meter
// answers only when the master's speed is its own (its baud setting). Parity is not
// compared: a pseudo-terminal does not keep it. A device needs none of this, its hardware
// paces and matches, so wire time changes nothing there.
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

    // The first meter's state (the one meter of most lines).
    MeterState state() const;
    void setState(const MeterState& state);
    // Changes the state under the line's lock, between two requests.
    void updateState(const std::function<void(MeterState&)>& change);

    // Another meter of the same kind on the line; returns its index (the first meter is 0).
    // Give each its own address: of meters that share one, only the first ever answers.
    std::size_t addMeter(const MeterState& state);
    std::size_t meterCount() const;
    // The meter-indexed twins of the three above; meter must be below meterCount().
    MeterState state(std::size_t meter) const;
    void setState(std::size_t meter, const MeterState& state);
    void updateState(std::size_t meter, const std::function<void(MeterState&)>& change);

    // For every meter on the line; setting it restarts the count of spoilEvery.
    Misbehaviour misbehaviour() const;
    void setMisbehaviour(const Misbehaviour& misbehaviour);

    // Off at first; see the class comment. May change while the line runs.
    void setWireTime(bool on);
    bool wireTime() const;
    // With wire time, a meter addressed at a speed that is not its own stays silent, as a
    // meter does that hears only garbage; with this on, it answers NoiseFor its reply
    // instead, spread over the time the reply would take, the way a reply looks to a master
    // at a speed close to the meter's. Either way the request is not carried out.
    void setNoiseAtWrongSpeed(bool on);
    // The speed the line is set to now, in baud: on a pseudo-terminal the speed its master
    // last set (9600 until one does), on a device the device's. 0 when unknown or closed.
    int lineBaud() const;

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

    using Clock = std::chrono::steady_clock;

    // When each byte of a reply may go out. Off: at once.
    struct Pacing
    {
        bool on = false;
        Clock::time_point start;              // the request in, the meter's turnaround begins
        std::chrono::nanoseconds byteTime{0}; // one character on the line
    };

    struct Meter
    {
        MeterState state;
        std::uint64_t replies = 0; // since the misbehaviour was set
    };

    void run();
    // arrived: when the frame's last byte is in, on the line the master sees; baud: the
    // master's speed when it came (0 unknown).
    void handleFrame(const std::vector<std::uint8_t>& frame, Clock::time_point arrived, int baud);
    std::optional<std::size_t> addressee(std::span<const std::uint8_t> frame) const;
    void send(const Response& response, const Pacing& pacing);
    bool waitUntil(Clock::time_point until);
    bool writePaced(std::span<const std::uint8_t> bytes, Clock::time_point start,
                    std::chrono::nanoseconds byteTime);
    bool writeAll(std::span<const std::uint8_t> bytes);
    int lineBaudNow() const;
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
    std::vector<Meter> m_meters; // never empty
    Misbehaviour m_misbehaviour;
    bool m_wireTime = false;
    bool m_noiseAtWrongSpeed = false;
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
