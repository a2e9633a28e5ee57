#include "transaction.h"

#include "framelog.h"
#include "hextext.h"

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

void Tap(const Session& session, FrameDirection direction, Reply bytes)
{
    if (session.tap && !bytes.empty()) {
        session.tap(direction, bytes);
    }
}

bool HungUp(const Session& session) { return session.link.hungUp && session.link.hungUp(); }

// One read of at most `want` bytes into room bytes at `into`. The capacity passed never
// exceeds the room, so that a link writing more than it may still stays inside; a count above
// the capacity is not believed.
std::size_t ReadInto(const Link& link, std::uint8_t* into, std::size_t room, std::size_t want)
{
    const std::size_t capacity = std::min(want + 1, room);
    if (capacity < 2) {
        return 0;
    }
    const std::uint32_t n = link.read(static_cast<std::uint32_t>(capacity), into, 0);
    return std::min<std::size_t>(n, capacity - 1);
}

// Bytes that came while no reply was awaited (a late reply, another device, noise) are
// taken off the line and logged, never read as the reply to what comes next. A device that
// never stops talking is given up on after a few buffers' worth, rather than holding the
// command for ever.
void DrainStray(Session& session)
{
    RecvBuffer stray;
    for (std::size_t drained = 0; drained < 4 * kRecvBufferSize;) {
        const std::size_t n = ReadInto(session.link, stray.data(), stray.size(), stray.size());
        if (n == 0) {
            return;
        }
        Tap(session, FrameDirection::Rx, {stray.data(), n});
        drained += n;
    }
}

// Waits until the line has fallen quiet after a reply that did not end as it should: until
// the rest of its announced length has come (`rest`), and then until no byte has come for
// 3.5 characters, the silence that ends a frame on an RS-485 line. While the rest is awaited
// a pause may last as long as the meter may take to answer at all: a meter pausing in the
// middle of its reply is still in it. Everything that comes is logged as stray. Bounded, so
// that a device that never stops talking cannot hold the line for ever.
void WaitForQuiet(Session& session, std::size_t rest)
{
    const unsigned frameGapMs = std::max(2u, (LineTimeMs(session.line, 7) + 1) / 2);
    const auto limit = Clock::now() + std::chrono::milliseconds(2 * LineTimeMs(session.line, std::max<std::size_t>(rest, 256)) +
                                                                2 * session.responseTimeoutMs + frameGapMs);
    RecvBuffer stray;
    while (Clock::now() < limit) {
        const unsigned quietMs = rest > 0 ? std::max(frameGapMs, session.responseTimeoutMs) : frameGapMs;
        if (!session.link.waitReadable(quietMs)) {
            return;
        }
        const std::size_t n = ReadInto(session.link, stray.data(), stray.size(), stray.size());
        if (n == 0) {
            if (!session.link.isOpen() || HungUp(session)) {
                return;
            }
            continue;
        }
        Tap(session, FrameDirection::Rx, {stray.data(), n});
        rest -= std::min(rest, n);
    }
}

std::optional<CommandFault> TransactInWindowTiming(Session& session, const Frame& request, unsigned waitMs,
                                                   ReplyShown shown, const ReplyCheck& check, Reply* reply)
{
    RecvBuffer& buffer = session.recvBuffer();
    std::optional<CommandFault> fault;
    std::size_t length = 0;
    Link link = session.link;
    link.write = [&session, &request](std::uint32_t count, const std::uint8_t* bytes) {
        const std::uint32_t written = session.link.write(count, bytes);
        if (written == request.size()) {
            Tap(session, FrameDirection::Tx, request.bytes());
        }
        return written;
    };
    link.read = [&session, &length](std::uint32_t capacity, std::uint8_t* into, std::uint32_t waitMs) {
        const std::uint32_t n = session.link.read(capacity, into, waitMs);
        Tap(session, FrameDirection::Rx, {into, std::min<std::size_t>(n, capacity)});
        return n;
    };
    const Traffic traffic{
        [&session](const std::string& hex) {
            if (session.traffic.showSend) {
                session.traffic.showSend(hex);
            }
        },
        [&session](const std::string& hex) {
            if (session.traffic.showRecv) {
                session.traffic.showRecv(hex);
            }
        },
    };
    const ExchangeSteps steps{
        request,
        waitMs,
        [&check, &fault](const RecvBuffer& received, std::size_t count) {
            fault = check({received.data(), std::min(count, received.size())});
            return !fault;
        },
        shown,
    };
    const ExchangeResult result = RunExchange(link, traffic, buffer, steps, &length);
    session.lastReceived = length;
    switch (result) {
    case ExchangeResult::PortClosed:
        return CommandFault{Fault::PortClosed};
    case ExchangeResult::ShortWrite:
        return CommandFault{Fault::ShortWrite};
    case ExchangeResult::NoReply:
        return CommandFault{Fault::NoReply};
    case ExchangeResult::Rejected:
        return fault;
    case ExchangeResult::Accepted:
        break;
    }
    if (reply) {
        *reply = Reply{buffer.data(), length};
    }
    return std::nullopt;
}

} // namespace

unsigned LineTimeMs(const LineTiming& line, std::size_t count)
{
    if (line.baud == 0) {
        return 0;
    }
    const unsigned long long bits = static_cast<unsigned long long>(count) * (line.parity ? 11 : 10);
    return static_cast<unsigned>((bits * 1000 + line.baud - 1) / line.baud);
}

unsigned ReplyBudgetMs(const Session& session, Reply request)
{
    return LineTimeMs(session.line, request.size() + LongestReplyLength(request)) + session.responseTimeoutMs +
           session.extraLatencyMs;
}

std::optional<CommandFault> WriteRequest(Session& session, const Frame& request)
{
    if (!session.link.isOpen()) {
        return CommandFault{HungUp(session) ? Fault::Disconnected : Fault::PortClosed};
    }
    if (request.size() == 0) {
        // A request that did not fit its frame was refused when it was built.
        return CommandFault{Fault::BadValue};
    }
    if (session.timing == Timing::WireSpeed) {
        DrainStray(session);
    }
    const auto length = static_cast<std::uint32_t>(request.size());
    if (session.link.write(length, request.data()) != length) {
        return CommandFault{HungUp(session) ? Fault::Disconnected : Fault::ShortWrite};
    }
    Tap(session, FrameDirection::Tx, request.bytes());
    return std::nullopt;
}

std::optional<CommandFault> AwaitReply(Session& session, const Frame& request, unsigned budgetMs, Reply* reply)
{
    RecvBuffer& buffer = session.recvBuffer();
    buffer.fill(0);
    std::size_t count = 0;
    std::size_t expected = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budgetMs);
    while (expected == 0 || count < expected) {
        // Rounded up: a wait cut to whole milliseconds downwards would end before its budget.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || !session.link.waitReadable(static_cast<std::uint32_t>(left))) {
            break;
        }
        // Only up to the end of the reply once its length is known: what follows is not its.
        const std::size_t want = expected ? expected - count : buffer.size();
        const std::size_t got = ReadInto(session.link, buffer.data() + count, buffer.size() - count, want);
        if (got == 0) {
            // Readable but nothing to read: the device has gone, or a line error ate the bytes.
            if (!session.link.isOpen() || HungUp(session)) {
                break;
            }
            continue;
        }
        count += got;
        expected = ExpectedReplyLength(request.bytes(), {buffer.data(), count});
    }
    session.lastReceived = count;
    const Reply received{buffer.data(), count};
    if (count == 0) {
        return CommandFault{HungUp(session) ? Fault::Disconnected : Fault::NoReply};
    }
    // A piece that brought the end of the reply may have brought what follows it too.
    const bool complete = expected != 0 && count >= expected;
    const std::size_t length = complete ? expected : count;
    Tap(session, FrameDirection::Rx, received.first(length));
    Tap(session, FrameDirection::Rx, received.subspan(length));
    if (complete) {
        DrainStray(session);
    } else {
        if (HungUp(session)) {
            return CommandFault{Fault::Disconnected};
        }
        // The meter may still be talking: whatever it says now must not be taken for the
        // reply to the next request, nor may that request go out over it.
        const bool started = CanStartReply(request.bytes(), received);
        WaitForQuiet(session, started && expected > count ? expected - count : 0);
        if (started && count >= 2) {
            return CommandFault{Fault::Incomplete, 0, static_cast<std::uint16_t>(count),
                                static_cast<std::uint16_t>(expected)};
        }
    }
    if (reply) {
        *reply = received.first(length);
    }
    return std::nullopt;
}

std::optional<CommandFault> ReceiveAtWireSpeed(Session& session, const Frame& request, Reply* reply)
{
    if (const auto fault = WriteRequest(session, request)) {
        return fault;
    }
    return AwaitReply(session, request, ReplyBudgetMs(session, request.bytes()), reply);
}

std::optional<CommandFault> Transact(Session& session, const Frame& request, unsigned waitMs, ReplyShown shown,
                                     const ReplyCheck& check, Reply* reply)
{
    if (session.timing == Timing::Window) {
        return TransactInWindowTiming(session, request, waitMs, shown, check, reply);
    }
    if (session.traffic.showSend) {
        session.traffic.showSend(FormatHexBytes(request.data(), request.size()));
    }
    Reply received;
    if (const auto fault = ReceiveAtWireSpeed(session, request, &received)) {
        return fault;
    }
    const auto show = [&] {
        if (session.traffic.showRecv) {
            session.traffic.showRecv(FormatHexBytes(received.data(), received.size()));
        }
    };
    if (shown == ReplyShown::BeforeTest) {
        show();
    }
    if (const auto fault = check(received)) {
        return fault;
    }
    if (shown == ReplyShown::AfterTest) {
        show();
    }
    if (reply) {
        *reply = received;
    }
    return std::nullopt;
}
