#pragma once

#include "portwaits.h"

#include "answer.h"
#include "port.h"
#include "simulator.h"
#include "sinks.h"

#include <QTest>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

// The waits of the window's commands, ended by what the meter does rather than by time.
//
// A command writes its request, waits, and reads what has come. What a wait of w ms lets in
// follows from the meter's own timing: a piece of the reply that the meter sends d ms after
// the request is read after the wait when d <= w, and not when d > w. The simulated meter
// tells its timing in advance (its answer to a request is worked out from its state and
// misbehaviour), so a wait here returns as soon as every piece due within it is in the
// port's input queue, and at once when none is. A piece due later is held by the meter for
// real, so it is still missing when the window reads. Rows keep their meaning on a busy
// machine: the wait is for events, never for a guess at how long they take.

namespace meterclock {

// A meter delay beyond every wait a command makes (read meter's listening, the longest, is a
// few seconds): the meter holds the piece until the bench stops it.
constexpr int kAfterEveryWait = 10 * 60 * 1000;

// The clock of a window wired to a simulated meter. Built before the meter starts (the meter
// takes its traffic log then); installed as the window's waits for its lifetime.
class SimulatedWaits
{
public:
    explicit SimulatedWaits(metersim::MeterSimulator& meter) : m_meter(meter)
    {
        m_meter.setTrafficLog([this](metersim::MeterSimulator::Direction direction,
                                     std::span<const std::uint8_t> bytes) {
            if (direction == metersim::MeterSimulator::Direction::Request) {
                heard(bytes);
            }
        });
        m_previous = SetSleepFunction([this](unsigned ms) { wait(ms); });
    }
    ~SimulatedWaits() { SetSleepFunction(std::move(m_previous)); }
    SimulatedWaits(const SimulatedWaits&) = delete;
    SimulatedWaits& operator=(const SimulatedWaits&) = delete;

    // A command is about to run: its first wait follows its request.
    void commandStarts()
    {
        const std::lock_guard lock(m_mutex);
        m_firstRequest = m_requests.size();
        m_armed = true;
    }

    // Runs once in the next command's first wait, once the meter has the request.
    void duringNextWait(std::function<void()> action) { m_during = std::move(action); }

private:
    // A request as the meter heard it, with what it knew then.
    struct Heard
    {
        std::vector<std::uint8_t> frame;
        metersim::MeterState state;
        metersim::Misbehaviour misbehaviour;
    };
    // A piece of the reply: when the meter sends it after the request, and its size.
    struct Piece
    {
        long long atMs;
        std::uint32_t size;
    };

    // On the meter's thread, before it answers: its state is still the one it answers from.
    void heard(std::span<const std::uint8_t> frame)
    {
        Heard request{{frame.begin(), frame.end()}, m_meter.state(), m_meter.misbehaviour()};
        {
            const std::lock_guard lock(m_mutex);
            m_requests.push_back(std::move(request));
        }
        m_changed.notify_all();
    }

    void wait(unsigned ms)
    {
        if (m_armed) {
            if (!startCommand()) {
                return;
            }
        } else if (!m_inCommand) {
            return; // no request went out: nothing to wait for
        } else {
            // A later wait of the same command (read meter): the window has read since.
            const std::uint32_t queued = PortInQueueCount();
            m_taken += m_queuedAtReturn > queued ? m_queuedAtReturn - queued : 0;
        }
        m_elapsedMs += ms;
        std::uint32_t due = 0;
        for (const Piece& piece : m_schedule) {
            if (piece.atMs <= m_elapsedMs) {
                due += piece.size;
            }
        }
        if (due > m_taken && !WaitForQueued(due - m_taken)) {
            QTest::qFail("the meter's reply did not reach the port", __FILE__, __LINE__);
        }
        m_queuedAtReturn = PortInQueueCount();
    }

    // The first wait of a command: the meter must have the request, whose answer then sets
    // what each wait lets in.
    bool startCommand()
    {
        std::vector<Heard> requests;
        {
            std::unique_lock lock(m_mutex);
            m_armed = false;
            m_inCommand = false;
            if (!m_changed.wait_for(lock, kWaitBackstop,
                                    [this] { return m_requests.size() > m_firstRequest; })) {
                QTest::qFail("the meter never heard the request", __FILE__, __LINE__);
                return false;
            }
            requests.assign(m_requests.begin() + static_cast<std::ptrdiff_t>(m_firstRequest),
                            m_requests.end());
        }
        m_inCommand = true;
        m_elapsedMs = 0;
        m_taken = 0;
        m_schedule.clear();
        long long start = 0;
        for (Heard& request : requests) {
            const metersim::Response response =
                metersim::Serve(request.state, m_meter.kind(), request.frame, request.misbehaviour);
            // The meter answers one request after the other.
            long long at = start + response.delayMs;
            for (const std::vector<std::uint8_t>& piece : response.pieces) {
                m_schedule.push_back({at, static_cast<std::uint32_t>(piece.size())});
                start = at;
                at += response.gapMs;
            }
        }
        if (m_during) {
            std::exchange(m_during, {})();
        }
        return true;
    }

    metersim::MeterSimulator& m_meter;
    SleepFunction m_previous;
    std::function<void()> m_during;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Heard> m_requests;  // under m_mutex
    std::size_t m_firstRequest = 0; // under m_mutex
    bool m_armed = false;

    // The command in progress, on the window's thread only.
    bool m_inCommand = false;
    long long m_elapsedMs = 0;
    std::vector<Piece> m_schedule;
    std::uint32_t m_taken = 0;          // bytes of the reply the window has read
    std::uint32_t m_queuedAtReturn = 0; // the input queue when the last wait ended
};

} // namespace meterclock
