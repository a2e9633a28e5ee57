// The acceptance tests of a reply: the CRC check over a reply of any length, the write
// acknowledgement and the clear-to-zero acknowledgement over the zero-filled receive buffer.
//
// The targets look for crashes and reads out of bounds, and check what must hold whatever the
// bytes: properties of a CRC, conditions an accepted reply cannot lack, and replies shaped
// from the input whose verdict is known by their shape. The exact verdicts on chosen replies
// are the seeds' and the unit tests' business.

#include "fuzzsupport.h"

#include "crc.h"
#include "exchange.h"
#include "replies.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using fuzz::Require;

void CheckCrc(const std::uint8_t* data, std::size_t size)
{
    // Over the input as it is, so that a read past its end is caught.
    const bool matches = ReplyCrcMatches(data, size);
    if (size < 2) {
        Require(!matches, "fewer than two bytes match a CRC");
        return;
    }
    if (size - 2 > 0xFFFF) {
        return;
    }
    // The body with the CRC that CalcCrc16 gives, byte sent first in its high half.
    std::vector<std::uint8_t> framed(data, data + size);
    const std::uint16_t crc = CalcCrc16(data, static_cast<std::uint16_t>(size - 2));
    framed[size - 2] = static_cast<std::uint8_t>(crc >> 8);
    framed[size - 1] = static_cast<std::uint8_t>(crc & 0xFF);
    Require(ReplyCrcMatches(framed.data(), size), "a reply with its own CRC does not match");

    // A CRC-16 catches every single flipped bit.
    const std::size_t bit = (std::size_t{data[0]} << 8 | data[size - 1]) % (8 * size);
    framed[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    Require(!ReplyCrcMatches(framed.data(), size), "a flipped bit went unnoticed");
}

void CheckClearZeroAck(const RecvBuffer& reply, std::size_t count)
{
    if (!CheckClearZeroReply({reply.data(), count})) {
        Require(count > 0 && reply[1] == 0xFE && reply[count - 1] == 0x16,
                "clear ack without wake-up byte 1 or end byte");
    }
}

// A DL/T 645 reply shaped from the input: wake-up bytes, 68, six address bytes, 68, the
// control code, the rest of the input, the end byte 16. The meter's refusal (control code
// with bit 6) is never an acknowledgement; its normal reply always is, whatever follows.
void CheckShapedClearReplies(const std::uint8_t* data, std::size_t size)
{
    if (size < 8) {
        return;
    }
    const std::size_t wakeUps = 2 + data[0] % 4;
    RecvBuffer reply{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < wakeUps; ++i) {
        reply[at++] = 0xFE;
    }
    reply[at++] = 0x68;
    for (std::size_t i = 1; i <= 6; ++i) {
        reply[at++] = data[i];
    }
    reply[at++] = 0x68;
    const std::size_t control = at++;
    const std::size_t rest = std::min(size - 8, kRecvBufferSize - at - 1);
    std::copy_n(data + 8, rest, reply.begin() + static_cast<std::ptrdiff_t>(at));
    at += rest;
    reply[at++] = 0x16;

    reply[control] = static_cast<std::uint8_t>(data[7] | 0x40);
    Require(CheckClearZeroReply({reply.data(), at}).has_value(), "the meter's refusal taken for an acknowledgement");
    reply[control] = static_cast<std::uint8_t>(data[7] & ~0x40);
    Require(!CheckClearZeroReply({reply.data(), at}), "the meter's normal reply refused");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CheckCrc(data, size);

    // As the exchange hands a reply over: in the zero-filled buffer, never more than it holds.
    RecvBuffer buffer{};
    const std::size_t count = std::min(size, kRecvBufferSize);
    std::copy_n(data, count, buffer.begin());
    // Against a request of the reply's own register and count: an echo accepted is eight
    // bytes of function 0x10 with their CRC right, whatever trails them.
    if (!CheckWriteEcho({buffer.data(), count}, {buffer.data(), std::min<std::size_t>(count, 6)})) {
        Require(count >= 8 && buffer[1] == 0x10 && ReplyCrcMatches(buffer.data(), 8),
                "write echo without function 0x10 or its CRC");
    }
    CheckClearZeroAck(buffer, count);
    CheckShapedClearReplies(data, size);
    return 0;
}
