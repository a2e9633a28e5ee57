// The single-phase read-meter reply decoded into display texts, from a reply of any length
// and content.

#include "fuzzsupport.h"

#include "meterdata.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

namespace {

using fuzz::Require;

// Checks a BCD text against the reference where the bytes are valid BCD, and its characters
// where they are not (nibbles A-F are garbage a meter should not send).
void CheckBcd(const std::string& text, const std::uint8_t* bytes, std::size_t count, std::size_t d,
              const char* what)
{
    if (fuzz::IsValidBcd(bytes, count)) {
        Require(text == fuzz::ExpectedBcdText(bytes, count, d), what, text);
    } else {
        Require(fuzz::OnlyChars(text, "0123456789ABCDEF.") && text.size() <= 2 * count + 2, what,
                text);
    }
}

void CheckSignedBcd(const std::string& text, const std::uint8_t* bytes, const char* what)
{
    if ((bytes[0] & 0x80) == 0) {
        CheckBcd(text, bytes, 4, 1, what);
        return;
    }
    const std::uint32_t magnitude = 0u - static_cast<std::uint32_t>(fuzz::ReadInt32(bytes));
    const std::uint8_t m[4] = {
        static_cast<std::uint8_t>(magnitude >> 24), static_cast<std::uint8_t>(magnitude >> 16),
        static_cast<std::uint8_t>(magnitude >> 8), static_cast<std::uint8_t>(magnitude)};
    Require(!text.empty() && text.front() == '-', what, text);
    CheckBcd(text.substr(1), m, 4, 1, what);
}

// Mode 1 goes through single precision: one decimal, close to the exact value.
void CheckEnergyMode1(const std::string& text, const std::uint8_t* bytes)
{
    if (!fuzz::IsValidBcd(bytes, 4)) {
        return;
    }
    const std::size_t point = text.find('.');
    Require(point != std::string::npos && point + 2 == text.size() &&
                fuzz::OnlyChars(text, "0123456789."),
            "mode 1 energy is not one decimal", text);
    long exact = 0;
    for (int i = 0; i < 4; ++i) {
        exact = exact * 100 + (bytes[i] >> 4) * 10 + (bytes[i] & 0x0F);
    }
    const double shown = std::strtod(text.c_str(), nullptr);
    Require(std::fabs(shown - static_cast<double>(exact) / 100.0) <= 0.2, "mode 1 energy is off",
            text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const SinglePhaseValues v = DecodeSinglePhase(std::span(data, size));

    // The reference view: the reply in a zero-filled frame of full size.
    std::array<std::uint8_t, kSinglePhaseReplySize> r{};
    for (std::size_t i = 0; i < size && i < r.size(); ++i) {
        r[i] = data[i];
    }
    const auto at = [&r](int reg) { return r.data() + 3 + 2 * reg; };

    const int mode = r[57] << 8 | r[58];
    Require(v.decimalModeRegister == mode, "decimal mode register");
    const bool energies = mode == 1 || mode == 2;
    Require(v.activeKWh.has_value() == energies && v.positiveKWh.has_value() == energies &&
                v.reverseKWh.has_value() == energies,
            "energies present only with mode 1 or 2");
    if (energies) {
        const std::string* texts[] = {&*v.activeKWh, &*v.positiveKWh, &*v.reverseKWh};
        for (int i = 0; i < 3; ++i) {
            if (mode == 2) {
                CheckBcd(*texts[i], at(2 * i), 4, 2, "mode 2 energy");
            } else {
                CheckEnergyMode1(*texts[i], at(2 * i));
            }
        }
    }
    CheckBcd(v.voltageL1, at(6), 4, 1, "voltage");
    CheckBcd(v.currentL1, at(8), 4, 3, "current");
    CheckSignedBcd(v.activePower, at(10), "active power");
    CheckSignedBcd(v.reactivePower, at(12), "reactive power");
    CheckSignedBcd(v.apparentPower, at(14), "apparent power");
    CheckBcd(v.powerFactor, at(16), 4, 3, "power factor");
    CheckBcd(v.frequency, at(18), 4, 2, "frequency");
    Require(v.serialNumber.size() == 8 && fuzz::OnlyChars(v.serialNumber, "0123456789abcdef"),
            "serial number", v.serialNumber);
    CheckBcd(v.constant, at(22), 4, 0, "constant");
    CheckBcd(v.tariffNumber, at(28), 2, 0, "tariff number");
    return 0;
}
