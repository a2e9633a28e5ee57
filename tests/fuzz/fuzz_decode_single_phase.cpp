// The single-phase read-meter reply decoded into display texts, from a reply of any length
// and content.
//
// Which value sits where, and with how many decimals, is the unit tests' business. Here:
// every text stays within the digits it was given, the energies are there exactly when the
// decimal mode register asks for them, and a reply cut short decodes as the same reply
// completed with zeros.

#include "fuzzsupport.h"

#include "meterdata.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using fuzz::Require;

std::vector<std::string> Texts(const SinglePhaseValues& v)
{
    std::vector<std::string> texts{v.voltageL1,     v.currentL1,   v.activePower, v.reactivePower,
                                   v.apparentPower, v.powerFactor, v.frequency,   v.serialNumber,
                                   v.constant,      v.tariffNumber};
    for (const auto& energy : {v.activeKWh, v.positiveKWh, v.reverseKWh}) {
        texts.push_back(energy.value_or("(none)"));
    }
    texts.push_back(std::to_string(v.decimalModeRegister));
    return texts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const SinglePhaseValues v = DecodeSinglePhase(std::span(data, size));

    const int mode = v.decimalModeRegister;
    Require(mode >= 0 && mode <= 0xFFFF, "decimal mode register beyond two bytes");
    const bool energies = mode == 1 || mode == 2;
    Require(v.activeKWh.has_value() == energies && v.positiveKWh.has_value() == energies &&
                v.reverseKWh.has_value() == energies,
            "energies present only with mode 1 or 2");
    if (mode == 1) {
        // Through single precision to one decimal: always one decimal, never a sign.
        for (const auto& energy : {v.activeKWh, v.positiveKWh, v.reverseKWh}) {
            const std::size_t point = energy->find('.');
            Require(point != std::string::npos && point + 2 == energy->size() &&
                        fuzz::OnlyChars(*energy, "0123456789."),
                    "mode 1 energy is not one decimal", *energy);
        }
    }
    for (const std::string& text :
         {v.voltageL1, v.currentL1, v.activePower, v.reactivePower, v.apparentPower, v.powerFactor,
          v.frequency, v.constant, v.tariffNumber, v.activeKWh.value_or("0"),
          v.positiveKWh.value_or("0"), v.reverseKWh.value_or("0")}) {
        // Four bytes give eight digits at most, with a point, a sign or a leading "0.".
        Require(text.size() <= 11 && fuzz::OnlyChars(text, "-0123456789ABCDEF."), "value text",
                text);
    }
    Require(v.serialNumber.size() == 8 && fuzz::OnlyChars(v.serialNumber, "0123456789abcdef"),
            "serial number", v.serialNumber);

    std::vector<std::uint8_t> padded(data, data + std::min(size, kSinglePhaseReplySize));
    padded.resize(kSinglePhaseReplySize, 0);
    Require(Texts(DecodeSinglePhase(padded)) == Texts(v),
            "a short reply differs from the reply completed with zeros");
    return 0;
}
