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
// A command writes its request, waits, and reads what has come; read meter waits and reads
// again. A piece of the reply that the meter sends d ms after the request is in for a read
// once the command's waits so far add up to d or more, and missing before. The simulated
// meter tells its timing in advance (its answer to a request is worked out from its state
// and misbehaviour), so a wait here returns as soon as every piece due by then is in the
// port's input queue, and at once when none is.
//
// Short silences the meter keeps for real. A silence of Held(ms) is kept on this clock
// instead: the meter holds it until the window's waits have passed ms, and the clock then
// releases it. So a piece due after a wait is missing when the window reads, and there when
// it reads after a later wait, however busy the machine is: the waits are for events, never
// for a guess at how long something takes.

namespace meterclock {

// Silences from this length up are held on the test's clock (about twelve days: longer than
// any test).
constexpr int kHeldBase = 1 << 30;

// A meter silence (delay or gap) of ms on the test's clock.
constexpr int Held(int ms)
{
    return kHeldBase + ms;
}

// Held past every wait of any command: the piece never comes while the bench runs.
constexpr int kNever = Held(kHeldBase - 1);

// The clock of a window wired to a simulated meter. Built before the meter starts (the meter
// takes its traffic log then); installed as the window's waits for its lifetime.
class SimulatedWaits
{
public:
    explicit SimulatedWaits(metersim::MeterSimulator& meter) : m_meter(meter)
    {
        m_meter.setTrafficLog(
            [this](metersim::MeterSimulator::Direction direction,
                   std::span<const std::uint8_t> bytes) { logged(direction, bytes); });
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

    // The waits the last command asked for, in order.
    const std::vector<unsigned>& waitsAsked() const { return m_waitsAsked; }

private:
    // A request as the meter heard it, with what it knew then.
    struct Heard
    {
        std::vector<std::uint8_t> frame;
        metersim::MeterState state;
        metersim::Misbehaviour misbehaviour;
        std::size_t piecesBefore; // pieces sent before it: the meter answers one at a time
    };
    // A piece of the reply: when it is due after the request, its size, and whether the
    // silence before it is held for the clock to release.
    struct Piece
    {
        long long dueMs;
        std::uint32_t size;
        bool held;
        bool released = false;
    };

    // On the meter's thread. A request is logged before the meter answers it, so its state is
    // still the one it answers from.
    void logged(metersim::MeterSimulator::Direction direction, std::span<const std::uint8_t> bytes)
    {
        if (direction == metersim::MeterSimulator::Direction::Request) {
            Heard request{{bytes.begin(), bytes.end()}, m_meter.state(), m_meter.misbehaviour(), 0};
            const std::lock_guard lock(m_mutex);
            request.piecesBefore = m_piecesSent;
            m_requests.push_back(std::move(request));
        } else {
            const std::lock_guard lock(m_mutex);
            ++m_piecesSent;
        }
        m_changed.notify_all();
    }

    void wait(unsigned ms)
    {
        if (m_armed) {
            m_waitsAsked.clear();
        }
        m_waitsAsked.push_back(ms);
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
        for (std::size_t i = 0; i < m_schedule.size() && m_schedule[i].dueMs <= m_elapsedMs; ++i) {
            Piece& piece = m_schedule[i];
            due += piece.size;
            if (piece.held && !piece.released && !release(i)) {
                return;
            }
            piece.released = true;
        }
        if (due > m_taken && !WaitForQueued(due - m_taken)) {
            QTest::qFail("the meter's reply did not reach the port", __FILE__, __LINE__);
        }
        m_queuedAtReturn = PortInQueueCount();
    }

    // Ends the held silence before piece i, once the meter has sent the pieces before it: it
    // is then keeping that very silence, and no other takes the release.
    bool release(std::size_t piece)
    {
        std::unique_lock lock(m_mutex);
        const std::size_t before = m_piecesBefore + piece;
        if (!m_changed.wait_for(lock, kWaitBackstop, [&] { return m_piecesSent >= before; })) {
            QTest::qFail("the meter did not send the pieces before a held one", __FILE__, __LINE__);
            return false;
        }
        m_meter.releaseSilence();
        return true;
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
            m_piecesBefore = requests.front().piecesBefore;
        }
        m_inCommand = true;
        m_elapsedMs = 0;
        m_taken = 0;
        m_schedule.clear();
        // The meter answers one request after the other.
        long long at = 0;
        for (Heard& request : requests) {
            const metersim::Response response =
                metersim::Serve(request.state, m_meter.kind(), request.frame, request.misbehaviour);
            for (std::size_t i = 0; i < response.pieces.size(); ++i) {
                const int silence = i == 0 ? response.delayMs : response.gapMs;
                const bool held = silence >= kHeldBase;
                at += held ? silence - kHeldBase : silence;
                m_schedule.push_back(
                    {at, static_cast<std::uint32_t>(response.pieces[i].size()), held});
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
    std::size_t m_piecesSent = 0;   // under m_mutex: pieces of replies sent
    bool m_armed = false;

    // The command in progress, on the window's thread only.
    bool m_inCommand = false;
    long long m_elapsedMs = 0;
    std::vector<Piece> m_schedule;
    std::size_t m_piecesBefore = 0;     // pieces the meter sent before this command's
    std::uint32_t m_taken = 0;          // bytes of the reply the window has read
    std::uint32_t m_queuedAtReturn = 0; // the input queue when the last wait ended
    std::vector<unsigned> m_waitsAsked;
};

} // namespace meterclock
