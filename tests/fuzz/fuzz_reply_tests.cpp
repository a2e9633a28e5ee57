// The acceptance tests of a reply: the CRC check over a reply of any length, the write
// acknowledgement and the clear-to-zero acknowledgement over the zero-filled receive buffer.

#include "fuzzsupport.h"

#include "crc.h"
#include "exchange.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

// The textbook CRC bit by bit; its low byte goes on the wire first.
bool ReferenceCrcMatches(const std::uint8_t* reply, std::size_t n)
{
    if (n < 2) {
        return false;
    }
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i + 2 < n; ++i) {
        crc ^= reply[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u)
                             : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return reply[n - 2] == (crc & 0xFF) && reply[n - 1] == (crc >> 8);
}

// Wake-up bytes 0xFE (byte 1 among them), the end byte 0x16, and no DL/T 645 abnormal reply:
// where a frame 68, six address bytes, 68 follows the wake-up bytes, its control code must
// not carry bit 6.
bool ReferenceClearZeroAck(const RecvBuffer& reply, std::size_t count)
{
    if (count == 0 || reply[1] != 0xFE || reply[count - 1] != 0x16) {
        return false;
    }
    std::size_t start = 0;
    while (start < count && reply[start] == 0xFE) {
        ++start;
    }
    if (start + 8 >= count || reply[start] != 0x68 || reply[start + 7] != 0x68) {
        return true;
    }
    return (reply[start + 8] & 0x40) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Over the input as it is, so that a read past its end is caught.
    fuzz::Require(ReplyCrcMatches(data, size) == ReferenceCrcMatches(data, size),
                  "ReplyCrcMatches differs from the bitwise CRC");

    // As the exchange hands a reply over: in the zero-filled buffer, never more than it holds.
    RecvBuffer buffer{};
    const std::size_t count = std::min(size, kRecvBufferSize);
    std::copy_n(data, count, buffer.begin());

    fuzz::Require(ReplyIsWriteAck(buffer, count) ==
                      (buffer[1] == 0x10 && ReferenceCrcMatches(buffer.data(), count)),
                  "ReplyIsWriteAck");
    fuzz::Require(ReplyIsClearZeroAck(buffer, count) == ReferenceClearZeroAck(buffer, count),
                  "ReplyIsClearZeroAck");
    return 0;
}
