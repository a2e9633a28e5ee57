#pragma once

#include "registermap.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

// What can go wrong with one command, from the port to the meter's answer. Every reply
// check below names the first thing wrong with a reply, so that a technician (or a script)
// learns why a meter "did not answer" rather than only that it did not.
enum class Fault
{
    PortClosed,    // the port is not open: nothing was sent
    ShortWrite,    // the request did not go out whole
    NoReply,       // nothing came back in time
    Incomplete,    // the start of a reply came, its end not within the time it had
    Disconnected,  // the device or the connection went away: unplugged, hung up
    BadCrc,        // bytes came back, their CRC (or DL/T 645 frame) is wrong
    Exception,     // the meter answered with a Modbus exception; its code is kept
    WrongFunction, // a reply of another function than the request's
    WrongLength,   // a reply shorter or longer than its own byte count, or an unexpected count
    WrongRegister, // a write echo of another register or register count
    WrongAddress,  // a reply from another meter than the one asked
    Refused,       // the DL/T 645 abnormal reply: the meter would not clear
    UnknownValue,  // a register holding a code that means nothing (a baud or parity code)
    NotSupported,  // the command does not exist on this meter type
    BadValue,      // a value the meter cannot be given
};

struct CommandFault
{
    Fault fault;
    std::uint8_t code = 0; // the exception code, or the value of UnknownValue
    // Incomplete: the bytes that came, and the reply's length as they announced it (0 when
    // too few came to tell).
    std::uint16_t received = 0;
    std::uint16_t expected = 0;

    bool operator==(const CommandFault&) const = default;
};

// "no reply", "incomplete reply (40 of 97 bytes)", "Modbus exception 0x02 (illegal data
// address)", ...
std::string DescribeFault(const CommandFault& fault);

using Reply = std::span<const std::uint8_t>;

// A Modbus read reply: function 0x04, one of the byte counts given, exactly 5 + byte count
// bytes long, CRC right. Anything after the CRC is not part of the reply: zeros there would
// even keep the CRC matching while shifting "the byte before it". A meter without the
// register answers "illegal data address", 00 84 02 <CRC>, whose exception code sits where a
// one-register reply has its byte count of 2: that is told apart first. An empty list of byte
// counts takes any. A request address other than 0 must come back in the reply.
std::optional<CommandFault> CheckReadReply(Reply reply, std::initializer_list<std::uint8_t> byteCounts,
                                           std::uint8_t requestAddress = 0);

// A write echo: function 0x10, 8 bytes, CRC right, and the request's first register and
// register count. Not its address: a new address is written to address 0, and the window
// accepts an echo from whichever meter answers. Bytes after the echo are not looked at.
std::optional<CommandFault> CheckWriteEcho(Reply reply, Reply request);

// The DL/T 645 clear reply: wake-up bytes 0xFE first, 0x16 last. Its checksum is not looked
// at and meters differ in the control code they answer with; what it must not be is the
// meter's refusal, whose control code carries the abnormal-reply bit.
std::optional<CommandFault> CheckClearZeroReply(Reply reply);

// The read-meter reply: a single-phase or a three-phase byte count (whichever type is
// selected) and a right CRC. The CRC as computed and as received, for the debug lines.
struct ReadMeterCrc
{
    std::uint16_t computed = 0;
    std::uint16_t received = 0;
};
std::optional<CommandFault> CheckReadMeterReply(Reply reply, ReadMeterCrc* crc = nullptr);

// True when the bytes are one whole DL/T 645 frame by its structure (wake-up bytes 0xFE
// allowed; the checksum is not looked at). A Modbus request to meter 0x68 or 0xFE starts
// like one but is none.
bool IsDlt645Frame(Reply frame);

// How long the reply to request will be, judged from the bytes received so far, so that a
// reader can stop as soon as it is complete: 8 for a write echo, 5 + byte count for a read
// reply, 5 for an exception, the DL/T 645 length byte for the clear reply (after any wake-up
// bytes). 0 while too few bytes have come to tell.
std::size_t ExpectedReplyLength(Reply request, Reply received);

// The longest reply the request can have, known before any of it came: what a reply's time
// on the line is reckoned from. 8 for a write, 5 + twice the register count for a read, the
// DL/T 645 refusal with four wake-up bytes for the clear frame; 0 for anything else.
std::size_t LongestReplyLength(Reply request);

// Whether the bytes can be the start of the reply to request: its address (any, for a request
// to address 0) and its function, or its exception; the DL/T 645 start for the clear frame.
// Bytes that cannot be are noise, whatever their number.
bool CanStartReply(Reply request, Reply received);

// What the property reads take from a reply that passed its check. A byte the reply does
// not have reads as 0.

// The first register of a read reply (bytes 3 and 4).
int FirstRegister(Reply reply);

// The byte just before the CRC, or the one `back` bytes before that: where the one-register
// reads of codes keep their low byte.
std::uint8_t ByteBeforeCrc(Reply reply, std::size_t back = 1);

// The serial number of a serial-number reply: bytes 3 to 6 as eight lower-case hex digits
// (packed BCD reads back as its decimal digits).
std::string SerialNumberText(Reply reply);

// The password of a password reply: the two bytes before the CRC as four digits.
std::string PasswordText(Reply reply);

// The address reply. A single-phase meter answers one register; a three-phase meter six:
// address, screen number, display time, decimals and the two of the serial number. Only what
// arrived is taken: a three-phase meter answering one register gives the address alone.
struct AddressReply
{
    int address = 0;
    std::optional<int> decimalsRegister;
    std::optional<std::string> serialNumber;
};
AddressReply DecodeAddressReply(Reply reply);
