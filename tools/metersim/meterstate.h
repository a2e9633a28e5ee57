#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace metersim {

// Which register map the simulated meter answers. Both answers the setting registers of
// either type (they lie apart except parity at 0x50); a read that starts in the
// single-phase settings block (0x14 to 0x1D) or reads 29 registers from register 0 (the
// single-phase measured layout) is answered from the single-phase map, every other read
// from the three-phase one. That is the meter for a demo in which the operator may pick
// either type.
enum class MeterKind
{
    SinglePhase,
    ThreePhase,
    Both
};

// Everything the meter knows. Measured quantities are fixed-point integers in the unit named
// beside each; each register layout scales them to the decimals it carries. L1 is index 0.
struct MeterState
{
    // Settings, as the setting registers hold them.
    std::uint8_t address = 1;      // bus address, 1 to 254
    std::uint8_t baudCode = 0x20;  // 0x04 1200, 0x08 2400, 0x10 4800, 0x20 9600
    std::uint8_t parityCode = 2;   // 0 even, 1 odd, 2 none
    std::uint16_t displayTime = 5; // seconds
    std::uint16_t screenNumber = 6;
    std::uint16_t decimals = 2; // decimals of the energies shown by the meter: 1 or 2
    std::array<std::uint8_t, 4> serialNumber{0x12, 0x34, 0x56, 0x78}; // packed BCD, as sent
    std::array<std::uint8_t, 2> password{0x00, 0x00};                 // packed BCD, as sent
    std::uint16_t ctRatio = 1;

    // Measured values.
    std::array<std::int64_t, 3> voltage{2300, 2300, 2300};           // 0.1 V
    std::array<std::int64_t, 3> current{5000, 5000, 5000};           // 0.001 A
    std::array<std::int64_t, 3> activePower{112700, 112700, 112700}; // 0.01 W
    std::array<std::int64_t, 3> reactivePower{22884, 22884, 22884};  // 0.01 var
    std::int64_t apparentPower = 115000;                             // 0.01 VA, L1
    std::array<std::int64_t, 3> powerFactor{980, 980, 980};          // 0.001
    std::int64_t totalPowerFactor = 980;                             // 0.001
    std::int64_t frequency = 5000;                                   // 0.01 Hz
    std::int64_t constant = 1600;                                    // impulses per kWh
    std::int64_t tariffNumber = 1;

    // Energies in 0.01 kWh (0.01 kvarh), whatever the decimals setting: the decimals only
    // tell the reader how many of them to show.
    std::int64_t activeEnergy = 123456;
    std::int64_t positiveEnergy = 123456;
    std::int64_t reverseEnergy = 0;
    std::int64_t reactiveEnergy = 2345;
    // Added to the active and positive energy after every reply that carries register 0,
    // so that successive readings differ as they would on a loaded meter.
    std::int64_t energyStep = 1;

    // The password field a DL/T 645 clear frame must carry, before the 0x33 offset:
    // privilege level, then the three password bytes, in the order sent.
    std::array<std::uint8_t, 4> clearPassword{0x02, 0x00, 0x00, 0x00};
};

// How the next reply (or every reply) goes wrong. A default-constructed value is a meter
// that behaves. Applied in the order: canned reply, exception, reply address, CRC, overlong,
// garbage prefix, then the delay and the pieces on the line. Requests the meter ignores
// (bad CRC, another address) stay unanswered whatever is set here.
struct Misbehaviour
{
    int delayMs = 0;     // silence before the reply starts
    int splitPieces = 1; // the reply goes out in this many pieces...
    int splitGapMs = 50; // ...with this much silence between them
    bool corruptCrc = false;
    // Sent instead of the answer, as given (no CRC is added); the request is then not
    // carried out. Reaches any reply a test can think of.
    std::vector<std::uint8_t> cannedReply;
    // A Modbus exception reply (function | 0x80, this code) instead of the answer; the
    // request is then not carried out.
    std::optional<std::uint8_t> exceptionCode;
    // No reply at all. The request is still carried out: the reply is what gets lost.
    bool silent = false;
    std::vector<std::uint8_t> garbagePrefix; // bytes sent before the reply
    // When larger than the reply, zero bytes are appended until the reply is this long.
    std::size_t overlongTotal = 0;
    // The reply claims to come from this address (the CRC is made to match).
    std::optional<std::uint8_t> replyAddress;
    // When above 0, the Nth, 2Nth, 3Nth... reply a meter sends gets a bad CRC, counted per
    // meter from the moment this value is set, so that a long run knows in advance which
    // replies fail. MeterSimulator does the counting (by setting corruptCrc for the reply
    // concerned); Serve alone knows no history and ignores it.
    int spoilEvery = 0;
};

} // namespace metersim
