#include "meterdata.h"

#include "bcd.h"
#include "hextext.h"

#include <algorithm>
#include <charconv>

namespace {

// The reply copied into a zero-filled frame of its full size, so that a short reply reads
// zeros where its bytes are missing, as it does in the window's zero-filled buffer.
template <std::size_t N> std::array<std::uint8_t, N> ZeroPadded(std::span<const std::uint8_t> reply)
{
    std::array<std::uint8_t, N> bytes{};
    std::copy_n(reply.begin(), std::min(reply.size(), N), bytes.begin());
    return bytes;
}

// Register r of a reply starts at byte 3 + 2r.
constexpr std::size_t ByteOfRegister(int reg) { return 3 + 2 * static_cast<std::size_t>(reg); }

// Applies a rule to the digits of a "%ld" text and puts a minus sign back in front.
template <class Rule> std::string KeepingSign(std::int32_t value, Rule rule)
{
    const std::string text = std::to_string(value);
    if (text.front() == '-') {
        std::string negative(1, '-');
        negative += rule(std::string_view(text).substr(1));
        return negative;
    }
    return rule(text);
}

} // namespace

std::string SinglePhaseEnergyText(const std::uint8_t* bytes, int decimalMode)
{
    if (decimalMode == 1) {
        // Meters of this kind send two decimals; mode 1 shows one, and the value goes through
        // single precision on the way, which decides how a trailing 5 rounds.
        // Parsed and printed without the C locale functions: a decimal comma in the
        // operator's locale must not turn 123.4 into 123 or "123,4".
        const std::string bcd = BcdToText(bytes, 4, 1);
        float value = 0.0f;
        std::from_chars(bcd.data(), bcd.data() + bcd.size(), value);
        value /= 10.0f;
        char text[64];
        const auto end = std::to_chars(text, text + sizeof text, static_cast<double>(value), std::chars_format::fixed, 1);
        return std::string(text, end.ptr);
    }
    return BcdToText(bytes, 4, 2);
}

SinglePhaseValues DecodeSinglePhase(std::span<const std::uint8_t> reply)
{
    const auto bytes = ZeroPadded<kSinglePhaseReplySize>(reply);
    const auto at = [&bytes](int reg) { return bytes.data() + ByteOfRegister(reg); };

    SinglePhaseValues values;
    values.decimalModeRegister = BytesToInt(at(27), 2);
    const int mode = values.decimalModeRegister;
    if (mode == 1 || mode == 2) {
        values.activeKWh = SinglePhaseEnergyText(at(0), mode);
        values.positiveKWh = SinglePhaseEnergyText(at(2), mode);
        values.reverseKWh = SinglePhaseEnergyText(at(4), mode);
    }
    values.voltageL1 = BcdToText(at(6), 4, 1);
    values.currentL1 = BcdToText(at(8), 4, 3);
    values.activePower = SignedBcdToText(at(10));
    values.reactivePower = SignedBcdToText(at(12));
    values.apparentPower = SignedBcdToText(at(14));
    values.powerFactor = BcdToText(at(16), 4, 3);
    values.frequency = BcdToText(at(18), 4, 2);
    values.serialNumber = FormatLowerHexDigits(at(20), 4);
    values.constant = BcdToText(at(22), 4, 0);
    values.tariffNumber = BcdToText(at(28), 2, 0);
    return values;
}

std::string ThreePhaseValueText(std::int32_t value, int decimals)
{
    return KeepingSign(value, [decimals](std::string_view digits) { return InsertDecimalPoint(digits, decimals); });
}

std::string ThreePhaseEnergyText(std::int32_t value, int decimalMode)
{
    if (decimalMode != 1) {
        return ThreePhaseValueText(value, 2);
    }
    // Mode 1 drops the second decimal (truncating). A value of -9 to -1 keeps no digit at
    // all and shows "0": a minus sign on a zero would only make the operator look twice.
    const std::string text = KeepingSign(value, [](std::string_view digits) {
        return InsertDecimalPoint(digits.substr(0, digits.size() - 1), 1);
    });
    return text == "-0" ? "0" : text;
}

std::array<std::string, TpValueCount> DecodeThreePhase(std::span<const std::uint8_t> reply, int decimalMode)
{
    // Decimals of each value in reply order; energies follow the decimal mode instead.
    constexpr int kEnergy = -1;
    constexpr std::array<int, TpValueCount> kDecimals{
        kEnergy, kEnergy, kEnergy, kEnergy, // active, positive, reverse, reactive energy
        1, 1, 1,                            // voltages
        2, 2, 2,                            // currents
        2, 2, 2,                            // active powers
        2, 2, 2,                            // reactive powers
        3, 3, 3,                            // power factors
        2, 2, 3,                            // total active, reactive power, power factor
        2,                                  // frequency
    };
    const auto bytes = ZeroPadded<kThreePhaseReplySize>(reply);
    std::array<std::string, TpValueCount> texts;
    for (int i = 0; i < TpValueCount; ++i) {
        const std::int32_t value = BytesToInt(bytes.data() + ByteOfRegister(2 * i), 4);
        texts[i] = kDecimals[i] == kEnergy ? ThreePhaseEnergyText(value, decimalMode)
                                           : ThreePhaseValueText(value, kDecimals[i]);
    }
    return texts;
}
