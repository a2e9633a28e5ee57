#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// The meter type as combo 1159 offers it: index 0 single phase, 1 three phase. Any other
// selection is kept as Other: requests then carry 0 where the type would decide.
enum class MeterType
{
    SinglePhase,
    ThreePhase,
    Other,
};
MeterType MeterTypeFromIndex(int index);

enum class MeterProperty
{
    SerialNumber,
    Address,
    DisplayTime,
    ScreenNumber,
    DecimalPlaces,
    BaudRate,
    CtRatio,
    Password,
    Parity,
};

// The register holding a property on a meter type; 0 where the type has none.
std::uint16_t RegisterOf(MeterProperty property, MeterType type);

// Register count a property read asks for (read address reads six on a three-phase meter).
std::uint16_t ReadCountOf(MeterProperty property, MeterType type);

// Baud rates travel as one bit per rate: 1200 -> 0x04, 2400 -> 0x08, 4800 -> 0x10,
// 9600 -> 0x20. A rate not listed has code 0.
inline constexpr std::array<int, 4> kBaudRates{1200, 2400, 4800, 9600};
std::uint8_t BaudCode(int baudRate);
// Position of a baud code in kBaudRates (and in the window's baud lists), if listed.
std::optional<int> BaudIndexFromCode(std::uint8_t code);

// Parity codes of the meter: "Even check" 0, "Odd check" 1, "None check" 2. The window's
// parity lists put them in another order: "None check", "Odd check", "Even check".
inline constexpr std::array<std::string_view, 3> kParityTexts{"None check", "Odd check", "Even check"};
// Code for a list text compared exactly (case-sensitive); nothing for another text.
std::optional<std::uint8_t> ParityCodeFromText(std::string_view text);
// Position in the window's parity lists for a code the meter reported, if known.
std::optional<int> ParityIndexFromCode(std::uint8_t code);
