#include "exchange.h"

#include "crc.h"
#include "hextext.h"

#include <algorithm>
#include <cstring>

ExchangeResult RunExchange(const Link& link, const Traffic& traffic, RecvBuffer& buffer,
                           const ExchangeSteps& steps, std::size_t* replyLength)
{
    const Frame& request = steps.request;
    traffic.showSend(FormatHexBytes(request.data(), request.size()));
    if (!link.isOpen()) {
        return ExchangeResult::PortClosed;
    }
    const auto length = static_cast<std::uint32_t>(request.size());
    if (link.write(length, request.data()) != length) {
        return ExchangeResult::ShortWrite;
    }
    buffer.fill(0);
    link.sleep(steps.waitMs);
    const std::size_t n = std::min<std::size_t>(link.read(kRecvBufferSize, buffer.data(), kReadWaitMs),
                                                kRecvBufferSize);
    if (n == 0) {
        return ExchangeResult::NoReply;
    }
    if (replyLength) {
        *replyLength = n;
    }
    if (steps.shown == ReplyShown::BeforeTest) {
        traffic.showRecv(FormatHexBytes(buffer.data(), n));
    }
    if (!steps.accept(buffer, n)) {
        return ExchangeResult::Rejected;
    }
    if (steps.shown == ReplyShown::AfterTest) {
        traffic.showRecv(FormatHexBytes(buffer.data(), n));
    }
    return ExchangeResult::Accepted;
}

std::optional<std::size_t> GatherReply(const Link& link, RecvBuffer& buffer, const GatherSteps& steps,
                                       std::size_t* gatheredCount)
{
    // A reply cut by silences more often than this will not come whole: another device is
    // talking on the bus, and waiting for it to stop could hold the window for good.
    constexpr int kMaxRestarts = 3;
    int restarts = 0;
    std::size_t count = 0;
    const auto report = [&](std::optional<std::size_t> result) {
        if (gatheredCount) {
            *gatheredCount = count;
        }
        return result;
    };

    buffer.fill(0);
    link.sleep(steps.firstWaitMs);
    RecvBuffer scratch;
    for (;;) {
        scratch.fill(0);
        std::size_t n = link.read(kRecvBufferSize, scratch.data(), kReadWaitMs);
        if (n == 0) {
            // The meter may still be answering: start again from nothing, once.
            count = 0;
            steps.debug("读回数据为0,1111");
            if (restarts++ == kMaxRestarts) {
                steps.debug("读回数据为0,2222");
                return report(std::nullopt);
            }
            link.sleep(steps.firstWaitMs);
            n = link.read(kRecvBufferSize, scratch.data(), kReadWaitMs);
            if (n == 0) {
                steps.debug("读回数据为0,2222");
                return report(std::nullopt);
            }
        }
        n = std::min(n, kRecvBufferSize);
        const std::size_t room = kRecvBufferSize - count;
        std::memcpy(buffer.data() + count, scratch.data(), std::min(n, room));
        steps.debug("收到的数据长度：" + std::to_string(n));
        if (n >= room) {
            // A full buffer is far beyond any reply this request can have: a line full of
            // noise or a babbling device. Stop here instead of running past the buffer.
            count = kRecvBufferSize;
            return report(std::nullopt);
        }
        count += n;
        const std::size_t expected = steps.expectedLength();
        if (expected == 0 || count == expected) {
            return report(count);
        }
        link.sleep(steps.pauseMs());
    }
}
