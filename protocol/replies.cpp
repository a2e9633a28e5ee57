#include "replies.h"

#include "crc.h"
#include "dlt645.h"
#include "hextext.h"
#include "meterdata.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::uint8_t kReadFunction = 0x04;
constexpr std::uint8_t kWriteFunction = 0x10;
constexpr std::uint8_t kExceptionBit = 0x80;
constexpr std::size_t kExceptionLength = 5; // address, function | 0x80, code, CRC
constexpr std::size_t kWriteEchoLength = 8; // address, 0x10, register, count, CRC


std::uint8_t At(Reply reply, std::size_t i) { return i < reply.size() ? reply[i] : 0; }

bool CrcMatches(Reply bytes) { return ReplyCrcMatches(bytes.data(), bytes.size()); }

// An exception reply to function: the function with its top bit set, and a right CRC.
std::optional<CommandFault> ExceptionIn(Reply reply, std::uint8_t function)
{
    if (reply.size() == kExceptionLength && reply[1] == (function | kExceptionBit) && CrcMatches(reply)) {
        return CommandFault{Fault::Exception, reply[2]};
    }
    return std::nullopt;
}

const char* ExceptionName(std::uint8_t code)
{
    switch (code) {
    case 0x01:
        return "illegal function";
    case 0x02:
        return "illegal data address";
    case 0x03:
        return "illegal data value";
    case 0x04:
        return "server device failure";
    case 0x05:
        return "acknowledge";
    case 0x06:
        return "server device busy";
    case 0x08:
        return "memory parity error";
    case 0x0A:
        return "gateway path unavailable";
    case 0x0B:
        return "gateway target device failed to respond";
    default:
        return "unknown exception";
    }
}

std::string Hex2(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

} // namespace

bool IsDlt645Frame(Reply frame)
{
    std::size_t start = 0;
    while (start < frame.size() && frame[start] == kDltWakeUp) {
        ++start;
    }
    const Reply rest = frame.subspan(start);
    return rest.size() >= kDltFrameOverhead && rest[0] == kDltStart && rest[7] == kDltStart &&
           rest.size() == kDltFrameOverhead + rest[9] && rest.back() == kDltEnd;
}

std::string DescribeFault(const CommandFault& fault)
{
    switch (fault.fault) {
    case Fault::PortClosed:
        return "the port is not open";
    case Fault::ShortWrite:
        return "the request could not be written in full";
    case Fault::NoReply:
        return "no reply";
    case Fault::Incomplete:
        if (fault.expected == 0) {
            return "incomplete reply (" + std::to_string(fault.received) + (fault.received == 1 ? " byte)" : " bytes)");
        }
        return "incomplete reply (" + std::to_string(fault.received) + " of " + std::to_string(fault.expected) +
               " bytes)";
    case Fault::Disconnected:
        return "device disconnected";
    case Fault::BadCrc:
        return "reply with a bad CRC";
    case Fault::Exception:
        return "Modbus exception " + Hex2(fault.code) + " (" + ExceptionName(fault.code) + ")";
    case Fault::WrongFunction:
        return "reply of the wrong function";
    case Fault::WrongLength:
        return "reply of the wrong length";
    case Fault::WrongRegister:
        return "reply for another register or register count";
    case Fault::WrongAddress:
        return "reply from another address";
    case Fault::Refused:
        return "the meter refused (DL/T 645 abnormal reply)";
    case Fault::UnknownValue:
        return "the meter reported an unknown code " + Hex2(fault.code);
    case Fault::NotSupported:
        return "not on this meter type";
    case Fault::BadValue:
        return "a value the meter cannot take";
    }
    return "unknown fault";
}

std::optional<CommandFault> CheckReadReply(Reply reply, std::initializer_list<std::uint8_t> byteCounts,
                                           std::uint8_t requestAddress)
{
    if (reply.empty()) {
        return CommandFault{Fault::NoReply};
    }
    if (const auto exception = ExceptionIn(reply, kReadFunction)) {
        return exception;
    }
    if (reply.size() < kExceptionLength) {
        return CommandFault{Fault::WrongLength};
    }
    const std::size_t framed = 5u + reply[2];
    if (!CrcMatches(reply)) {
        // A whole reply with bytes after it is too long, not damaged.
        const bool overlong = framed < reply.size() && CrcMatches(reply.first(framed));
        return CommandFault{overlong ? Fault::WrongLength : Fault::BadCrc};
    }
    if (reply[1] != kReadFunction) {
        return CommandFault{Fault::WrongFunction};
    }
    const bool countListed =
        byteCounts.size() == 0 || std::find(byteCounts.begin(), byteCounts.end(), reply[2]) != byteCounts.end();
    if (reply.size() != framed || !countListed) {
        return CommandFault{Fault::WrongLength};
    }
    if (requestAddress != 0 && reply[0] != requestAddress) {
        return CommandFault{Fault::WrongAddress};
    }
    return std::nullopt;
}

std::optional<CommandFault> CheckWriteEcho(Reply reply, Reply request)
{
    if (reply.empty()) {
        return CommandFault{Fault::NoReply};
    }
    if (const auto exception = ExceptionIn(reply, kWriteFunction)) {
        return exception;
    }
    // The echo is its first eight bytes: whatever trails it (line noise, padding) does not
    // undo a setting the meter has confirmed.
    const Reply echo = reply.first(std::min(reply.size(), kWriteEchoLength));
    if (!CrcMatches(echo)) {
        if (!CrcMatches(reply)) {
            return CommandFault{Fault::BadCrc};
        }
        return CommandFault{reply[1] == kWriteFunction ? Fault::WrongLength : Fault::WrongFunction};
    }
    if (echo[1] != kWriteFunction) {
        return CommandFault{Fault::WrongFunction};
    }
    if (echo.size() != kWriteEchoLength) {
        return CommandFault{Fault::WrongLength};
    }
    // Register (bytes 2-3) and register count (bytes 4-5) as the request had them.
    for (std::size_t i = 2; i < 6; ++i) {
        if (echo[i] != At(request, i)) {
            return CommandFault{Fault::WrongRegister};
        }
    }
    return std::nullopt;
}

std::optional<CommandFault> CheckClearZeroReply(Reply reply)
{
    if (reply.empty()) {
        return CommandFault{Fault::NoReply};
    }
    if (reply.size() < 2 || reply[1] != kDltWakeUp || reply.back() != kDltEnd) {
        return CommandFault{Fault::WrongFunction};
    }
    std::size_t start = 0;
    while (start < reply.size() && reply[start] == kDltWakeUp) {
        ++start;
    }
    constexpr std::size_t kControlOffset = 8; // 68, six address bytes, 68, control
    const bool framed =
        start + kControlOffset < reply.size() && reply[start] == kDltStart && reply[start + 7] == kDltStart;
    if (framed && (reply[start + kControlOffset] & kDltAbnormalBit)) {
        return CommandFault{Fault::Refused, At(reply, start + kControlOffset + 2)};
    }
    return std::nullopt;
}

std::optional<CommandFault> CheckReadMeterReply(Reply reply, ReadMeterCrc* crc)
{
    if (reply.empty()) {
        return CommandFault{Fault::NoReply};
    }
    if (const auto exception = ExceptionIn(reply, kReadFunction)) {
        return exception;
    }
    // Either type's byte count, whichever type is selected.
    const std::uint8_t count = At(reply, 2);
    if ((count != 2 * kThreePhaseRegisters && count != 2 * kSinglePhaseRegisters) || reply.size() < 2) {
        return CommandFault{Fault::WrongLength};
    }
    const std::size_t n = reply.size();
    const ReadMeterCrc found{CalcCrc16(reply.data(), static_cast<std::uint16_t>(std::min<std::size_t>(n - 2, 0xFFFF))),
                             static_cast<std::uint16_t>(reply[n - 2] * 256 + reply[n - 1])};
    if (crc) {
        *crc = found;
    }
    if (found.computed != found.received) {
        return CommandFault{Fault::BadCrc};
    }
    // Zeros after a whole reply keep its CRC matching.
    if (n != 5u + count) {
        return CommandFault{Fault::WrongLength};
    }
    return std::nullopt;
}

std::size_t ExpectedReplyLength(Reply request, Reply received)
{
    if (IsDlt645Frame(request)) {
        // FE.. 68 A0..A5 68 C L data CS 16: twelve bytes around L bytes of data.
        std::size_t start = 0;
        while (start < received.size() && received[start] == kDltWakeUp) {
            ++start;
        }
        constexpr std::size_t kLengthOffset = 9;
        if (start + kLengthOffset >= received.size()) {
            return 0;
        }
        return start + 12 + received[start + kLengthOffset];
    }
    if (received.size() < 2) {
        return 0;
    }
    if (received[1] & kExceptionBit) {
        return kExceptionLength;
    }
    if (received[1] == kReadFunction) {
        return received.size() < 3 ? 0 : 5u + received[2];
    }
    if (At(request, 1) == kWriteFunction) {
        return kWriteEchoLength;
    }
    // A read answered with another function: its length cannot be known, so the response
    // time ends it.
    return received.size() < 3 ? 0 : 5u + received[2];
}

std::size_t LongestReplyLength(Reply request)
{
    if (IsDlt645Frame(request)) {
        // Four wake-up bytes and the refusal, which carries one byte of data: 4 + 12 + 1.
        return 17;
    }
    if (request.size() < 6) {
        return 0;
    }
    if (request[1] == kReadFunction) {
        return 5u + 2u * (request[4] * 256u + request[5]);
    }
    if (request[1] == kWriteFunction) {
        return kWriteEchoLength;
    }
    return 0;
}

bool CanStartReply(Reply request, Reply received)
{
    if (IsDlt645Frame(request)) {
        for (const std::uint8_t byte : received) {
            if (byte != kDltWakeUp) {
                return byte == kDltStart;
            }
        }
        return !received.empty();
    }
    if (received.empty() || request.size() < 2) {
        return false;
    }
    if (request[0] != 0 && received[0] != request[0]) { // a request to 0 is answered by any meter
        return false;
    }
    return received.size() < 2 || (received[1] & ~kExceptionBit) == request[1];
}

int FirstRegister(Reply reply) { return At(reply, 3) * 256 + At(reply, 4); }

std::uint8_t ByteBeforeCrc(Reply reply, std::size_t back)
{
    return reply.size() >= 2 + back ? reply[reply.size() - 2 - back] : 0;
}

std::string SerialNumberText(Reply reply)
{
    const std::uint8_t digits[4] = {At(reply, 3), At(reply, 4), At(reply, 5), At(reply, 6)};
    return FormatLowerHexDigits(digits, 4);
}

std::string PasswordText(Reply reply)
{
    const std::uint8_t digits[2] = {ByteBeforeCrc(reply, 2), ByteBeforeCrc(reply, 1)};
    return FormatLowerHexDigits(digits, 2);
}

AddressReply DecodeAddressReply(Reply reply)
{
    AddressReply decoded;
    decoded.address = FirstRegister(reply);
    // Address, screen number, display time, decimals (bytes 9-10), serial number (11-14).
    constexpr std::size_t kDecimalsEnd = 11;
    constexpr std::size_t kSerialEnd = 15;
    const std::size_t data = 3u + At(reply, 2);
    if (data >= kDecimalsEnd && reply.size() >= kDecimalsEnd) {
        decoded.decimalsRegister = reply[9] * 256 + reply[10];
    }
    if (data >= kSerialEnd && reply.size() >= kSerialEnd) {
        decoded.serialNumber = FormatLowerHexDigits(reply.data() + 11, 4);
    }
    return decoded;
}
