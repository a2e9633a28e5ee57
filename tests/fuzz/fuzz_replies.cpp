// The reply checks of the meter commands, the expected reply length and the reply decoders,
// over any bytes a line can bring.
//
// Input: byte 0 chooses the request (bits 0-1: a read, a write, the clear frame, a read of
// the address; bits 2-7: the address asked), bytes 1-2 its register and byte 3 its register
// count; the rest is the reply, handed over at its exact size so that a read past its end is
// caught.

#include "fuzzsupport.h"

#include "frame.h"
#include "replies.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

using fuzz::Require;

// The textbook CRC bit by bit; its low byte goes on the wire first.
bool ReferenceCrcMatches(const std::uint8_t* bytes, std::size_t n)
{
    if (n < 2) {
        return false;
    }
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i + 2 < n; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u)
                             : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return bytes[n - 2] == (crc & 0xFF) && bytes[n - 1] == (crc >> 8);
}

// A reply a check called an exception must be one: five bytes, the function with its top bit
// set, the code kept, the CRC right.
void RequireException(const std::optional<CommandFault>& fault, Reply reply, std::uint8_t function,
                      const char* what)
{
    if (!fault || fault->fault != Fault::Exception) {
        return;
    }
    Require(reply.size() == 5 && reply[1] == (function | 0x80) && fault->code == reply[2] &&
                ReferenceCrcMatches(reply.data(), reply.size()),
            what, "exception that is none");
}

// Once the length can be told from the bytes received, more bytes must not change it: a
// reader stops at the first length it is given.
void RequireSteadyLength(Reply request, Reply reply)
{
    std::size_t known = 0;
    for (std::size_t n = 0; n <= reply.size(); ++n) {
        const std::size_t length = ExpectedReplyLength(request, reply.first(n));
        if (known != 0) {
            Require(length == known, "ExpectedReplyLength", "changed as bytes came");
        }
        known = length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kHeader = 4;
    if (size < kHeader) {
        return 0;
    }
    const std::uint8_t address = data[0] >> 2;
    const auto first = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
    const std::uint8_t count = data[3];
    const Reply reply(data + kHeader, size - kHeader);

    Frame request;
    switch (data[0] & 3) {
    case 0:
    case 3:
        request = BuildReadRequest(address, first, count);
        break;
    case 1: {
        const std::vector<std::uint8_t> values(2u * (count % 3 + 1), 0x11);
        request = BuildWriteRequest(address, first, values);
        break;
    }
    case 2:
        request = BuildClearZeroFrame();
        break;
    }
    RequireSteadyLength(request.bytes(), reply);
    const std::size_t expected = ExpectedReplyLength(request.bytes(), reply);

    // A read reply taken is whole: function 0x04, one of the counts, 5 + count bytes, the
    // CRC right, the address asked; a reader at wire speed would have stopped right at its end.
    const auto read = CheckReadReply(reply, {2, 4, 12}, address);
    RequireException(read, reply, 0x04, "CheckReadReply");
    if (!read) {
        Require(reply.size() >= 5 && reply[1] == 0x04 && reply.size() == 5u + reply[2] &&
                    (reply[2] == 2 || reply[2] == 4 || reply[2] == 12) &&
                    ReferenceCrcMatches(reply.data(), reply.size()) &&
                    (address == 0 || reply[0] == address),
                "CheckReadReply", "accepted a reply that is not whole");
        if (request[1] == 0x04) {
            Require(expected == reply.size(), "ExpectedReplyLength", "of an accepted read reply");
        }
    }
    const auto anyCount = CheckReadReply(reply, {});
    Require(anyCount.has_value() || reply.size() == 5u + reply[2], "CheckReadReply",
            "accepted a reply longer or shorter than its count");

    // A write echo taken carries the request's register and count under a right CRC.
    const auto echo = CheckWriteEcho(reply, request.bytes());
    RequireException(echo, reply, 0x10, "CheckWriteEcho");
    if (!echo) {
        Require(reply.size() >= 8 && reply[1] == 0x10 && ReferenceCrcMatches(reply.data(), 8) &&
                    std::equal(reply.begin() + 2, reply.begin() + 6, request.data() + 2),
                "CheckWriteEcho", "accepted another echo");
        if (request[1] == 0x10) {
            Require(expected == 8, "ExpectedReplyLength", "of an accepted echo");
        }
    }

    // The clear reply taken starts with wake-up bytes and ends with 0x16.
    const auto clear = CheckClearZeroReply(reply);
    if (!clear) {
        Require(reply.size() >= 2 && reply[1] == 0xFE && reply.back() == 0x16,
                "CheckClearZeroReply", "accepted a reply that is not framed");
    }

    ReadMeterCrc crc;
    const auto meter = CheckReadMeterReply(reply, &crc);
    RequireException(meter, reply, 0x04, "CheckReadMeterReply");
    if (!meter) {
        Require((reply[2] == 58 || reply[2] == 92) &&
                    ReferenceCrcMatches(reply.data(), reply.size()) && crc.computed == crc.received,
                "CheckReadMeterReply", "accepted a reply of another count or CRC");
    }

    // The decoders take only what arrived.
    const AddressReply decoded = DecodeAddressReply(reply);
    Require(decoded.address >= 0 && decoded.address <= 0xFFFF, "DecodeAddressReply", "address");
    if (decoded.decimalsRegister) {
        Require(reply.size() >= 11 && reply[2] >= 8, "DecodeAddressReply",
                "decimals that did not arrive");
    }
    if (decoded.serialNumber) {
        Require(reply.size() >= 15 && reply[2] >= 12 && decoded.serialNumber->size() == 8 &&
                    fuzz::OnlyChars(*decoded.serialNumber, "0123456789abcdef"),
                "DecodeAddressReply", "serial number that did not arrive");
    }
    Require(SerialNumberText(reply).size() == 8 && PasswordText(reply).size() == 4, "digit texts",
            "of the wrong size");
    const auto at = [reply](std::size_t i) -> int { return i < reply.size() ? reply[i] : 0; };
    Require(FirstRegister(reply) == at(3) * 256 + at(4), "FirstRegister");
    const std::size_t back = count % 8;
    Require(ByteBeforeCrc(reply, back) ==
                (reply.size() >= 2 + back ? at(reply.size() - 2 - back) : 0),
            "ByteBeforeCrc");

    for (const auto& fault : {read, echo, clear, meter}) {
        if (fault) {
            Require(!DescribeFault(*fault).empty(), "DescribeFault", "empty");
        }
    }
    return 0;
}
