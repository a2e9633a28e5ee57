#include "registermap.h"

#include <algorithm>

namespace {

struct RegisterRow
{
    MeterProperty property;
    std::uint16_t singlePhase; // 0: the single-phase meter has no such register
    std::uint16_t threePhase;
};

constexpr RegisterRow kRegisterMap[] = {
    {MeterProperty::SerialNumber, 0x0014, 0x0033},
    {MeterProperty::Address, 0x0018, 0x002F},
    {MeterProperty::DisplayTime, 0x0019, 0x0031},
    {MeterProperty::ScreenNumber, 0x001A, 0x0030},
    {MeterProperty::DecimalPlaces, 0x001B, 0x0032},
    {MeterProperty::BaudRate, 0x001D, 0x002E},
    {MeterProperty::CtRatio, 0x0000, 0x0044},
    {MeterProperty::Password, 0x0000, 0x0046},
    {MeterProperty::Parity, 0x0050, 0x0050},
};

// Meter codes of the parities, in the order the window's lists show them.
constexpr std::array<std::uint8_t, 3> kParityCodes{2, 1, 0};

} // namespace

MeterType MeterTypeFromIndex(int index)
{
    switch (index) {
    case 0:
        return MeterType::SinglePhase;
    case 1:
        return MeterType::ThreePhase;
    default:
        return MeterType::Other;
    }
}

std::uint16_t RegisterOf(MeterProperty property, MeterType type)
{
    for (const RegisterRow& row : kRegisterMap) {
        if (row.property == property) {
            switch (type) {
            case MeterType::SinglePhase:
                return row.singlePhase;
            case MeterType::ThreePhase:
                return row.threePhase;
            case MeterType::Other:
                // Parity is the one register both types share, so it needs no type.
                return row.singlePhase == row.threePhase ? row.singlePhase : 0;
            }
        }
    }
    return 0;
}

std::uint16_t ReadCountOf(MeterProperty property, MeterType type)
{
    switch (property) {
    case MeterProperty::SerialNumber:
        return 2;
    case MeterProperty::Address:
        // A three-phase meter's address read takes the decimals and the serial number along.
        return type == MeterType::ThreePhase ? 6 : 1;
    default:
        return 1;
    }
}

std::uint8_t BaudCode(int baudRate)
{
    const auto* found = std::find(kBaudRates.begin(), kBaudRates.end(), baudRate);
    if (found == kBaudRates.end()) {
        return 0;
    }
    return static_cast<std::uint8_t>(0x04 << (found - kBaudRates.begin()));
}

std::optional<int> BaudIndexFromCode(std::uint8_t code)
{
    for (std::size_t i = 0; i < kBaudRates.size(); ++i) {
        if (code == (0x04 << i)) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

std::optional<std::uint8_t> ParityCodeFromText(std::string_view text)
{
    for (std::size_t i = 0; i < kParityTexts.size(); ++i) {
        if (text == kParityTexts[i]) {
            return kParityCodes[i];
        }
    }
    return std::nullopt;
}

std::optional<int> ParityIndexFromCode(std::uint8_t code)
{
    for (std::size_t i = 0; i < kParityCodes.size(); ++i) {
        if (kParityCodes[i] == code) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}
