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

// Bytes that came while no reply was awaited (a late reply, another device, noise) are
// taken off the line and logged, never read as the reply to what comes next.
void DrainStray(Session& session)
{
    RecvBuffer stray;
    for (;;) {
        const std::uint32_t n = session.link.read(kRecvBufferSize, stray.data(), 0);
        if (n == 0) {
            return;
        }
        Tap(session, FrameDirection::Rx, {stray.data(), std::min<std::size_t>(n, stray.size())});
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

std::optional<CommandFault> WriteRequest(Session& session, const Frame& request)
{
    if (!session.link.isOpen()) {
        return CommandFault{Fault::PortClosed};
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
        return CommandFault{Fault::ShortWrite};
    }
    Tap(session, FrameDirection::Tx, request.bytes());
    return std::nullopt;
}

std::optional<CommandFault> ReceiveAtWireSpeed(Session& session, const Frame& request, Reply* reply)
{
    if (const auto fault = WriteRequest(session, request)) {
        return fault;
    }
    RecvBuffer& buffer = session.recvBuffer();
    buffer.fill(0);
    std::size_t count = 0;
    std::size_t expected = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(session.responseTimeoutMs);
    while (expected == 0 || count < expected) {
        // Rounded up: a wait cut to whole milliseconds downwards would end before its budget.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || count == buffer.size() ||
            !session.link.waitReadable(static_cast<std::uint32_t>(left))) {
            break;
        }
        // Only up to the end of the reply once its length is known: what follows is not its.
        const std::size_t want = expected ? expected - count : buffer.size() - count;
        const std::uint32_t n =
            session.link.read(static_cast<std::uint32_t>(std::min(want + 1, buffer.size() - count + 1)),
                              buffer.data() + count, 0);
        if (n == 0) {
            // Readable but nothing to read: the device has gone, or a line error ate the bytes.
            if (!session.link.isOpen()) {
                break;
            }
            continue;
        }
        count += std::min<std::size_t>(n, buffer.size() - count);
        expected = ExpectedReplyLength(request.bytes(), {buffer.data(), count});
    }
    session.lastReceived = count;
    if (count == 0) {
        return CommandFault{Fault::NoReply};
    }
    // A piece that brought the end of the reply may have brought what follows it too.
    const bool complete = expected != 0 && count >= expected;
    const std::size_t length = complete ? expected : count;
    Tap(session, FrameDirection::Rx, {buffer.data(), length});
    Tap(session, FrameDirection::Rx, {buffer.data() + length, count - length});
    if (complete) {
        DrainStray(session);
    }
    if (reply) {
        *reply = Reply{buffer.data(), length};
    }
    return std::nullopt;
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
