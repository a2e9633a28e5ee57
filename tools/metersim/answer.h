#pragma once

#include "meterstate.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace metersim {

// Modbus exception codes the meter answers with.
inline constexpr std::uint8_t kIllegalFunction = 0x01;
inline constexpr std::uint8_t kIllegalDataAddress = 0x02;
inline constexpr std::uint8_t kIllegalDataValue = 0x03;

// The meter's answer to one request frame, as a meter that behaves would send it; empty when
// the meter stays silent (bad CRC or checksum, another address, a frame it cannot parse).
// Carries the request out on state: writes, the DL/T 645 clear, and the slow growth of the
// energies after a read of the measured values.
//
// Modbus: function 0x04 reads any register range (unknown registers read as 0); 0x10 and
// 0x06 write the setting registers and are echoed. A write that touches a register without
// a setting, or a value the meter cannot take (address outside 1-254, an unknown baud or
// parity code, decimals other than 1 or 2), is refused whole with an exception reply, as a
// Modbus slave does, and changes nothing. Other functions get "illegal function". Requests
// to address 0 are answered like those to the meter's own address.
//
// DL/T 645: the clear frame (control 0x1A) to the wildcard or the meter's own address with a
// correct checksum; with the expected password it zeroes the energies and gets the normal
// reply, otherwise the abnormal reply with the "unauthorised" error bit.
std::vector<std::uint8_t> AnswerRequest(MeterState& state, MeterKind kind,
                                        std::span<const std::uint8_t> request);

// True when a meter in this state takes the request: a whole Modbus frame with a good CRC
// sent to address 0 or to its own address, or a DL/T 645 frame with a good checksum sent to
// the wildcard or to its own address. AnswerRequest leaves every other request unanswered.
bool Addresses(std::span<const std::uint8_t> request, const MeterState& state);

// True when the request is meant for whichever meter hears it: Modbus address 0, or a
// DL/T 645 address with a wildcard byte.
bool ToEveryMeter(std::span<const std::uint8_t> request);

// What a master whose line runs at lineBaud makes of a reply sent at meterBaud: fewer
// characters when the master is the slower (several of the meter's bytes fall into one of
// its characters), as many when it is the faster, and never a frame whose CRC matches.
// Deterministic, so that a test sees the same noise every time. Empty for an empty reply.
std::vector<std::uint8_t> NoiseFor(std::span<const std::uint8_t> reply, int meterBaud,
                                   int lineBaud);

// The length of the request frame at the front of bytes received so far, when it is
// complete and its CRC or checksum is right; 0 when the frame end can only be told by the
// line falling silent. Lets the meter answer without waiting out the silence.
std::size_t CompleteFrameLength(std::span<const std::uint8_t> received);


// The six address bytes a DL/T 645 reply carries, low byte first: the bus address as a
// 12-digit BCD number.
std::array<std::uint8_t, 6> Dlt645Address(const MeterState& state);

// What goes on the line in answer to one request: the pieces in order, the silence before
// the first and between two of them. No pieces: nothing is sent.
struct Response
{
    std::vector<std::vector<std::uint8_t>> pieces;
    int delayMs = 0;
    int gapMs = 0;
};

// AnswerRequest with the misbehaviour applied. The request is carried out on state unless
// a canned or exception reply takes the answer's place.
Response Serve(MeterState& state, MeterKind kind, std::span<const std::uint8_t> request,
               const Misbehaviour& misbehaviour);

// The reply bent by the misbehaviour (without delay and pieces).
std::vector<std::uint8_t> BendReply(std::vector<std::uint8_t> reply,
                                    std::span<const std::uint8_t> request,
                                    const Misbehaviour& misbehaviour);

// Cuts bytes into at most n pieces of nearly equal length, the longer ones first.
std::vector<std::vector<std::uint8_t>> SplitIntoPieces(std::span<const std::uint8_t> bytes, int n);

} // namespace metersim
