#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The measured values of one read-meter reply, decoded into display text. Decoders take the
// reply as gathered; a byte beyond its end reads 0, as it does in the zero-filled buffer.

inline constexpr std::uint16_t kSinglePhaseRegisters = 29;
inline constexpr std::uint16_t kThreePhaseRegisters = 46;
inline constexpr std::size_t kSinglePhaseReplySize = 5 + 2 * kSinglePhaseRegisters; // 63
inline constexpr std::size_t kThreePhaseReplySize = 5 + 2 * kThreePhaseRegisters;   // 97

struct SinglePhaseValues
{
    // Register 27 as sent; 1 or 2 sets the decimal mode, anything else clears it.
    std::int32_t decimalModeRegister = 0;
    // Absent when the decimal mode register holds neither 1 nor 2: the energies are skipped.
    std::optional<std::string> activeKWh, positiveKWh, reverseKWh;
    std::string voltageL1, currentL1, activePower, reactivePower, apparentPower, powerFactor,
        frequency, serialNumber, constant, tariffNumber;
};
SinglePhaseValues DecodeSinglePhase(std::span<const std::uint8_t> reply);

// Single-phase energy rule: mode 1 goes through single precision ("%.1f" of BCD/100),
// mode 2 is BcdToText with 2 decimals.
std::string SinglePhaseEnergyText(const std::uint8_t* bytes, int decimalMode);

// Three-phase values in reply order (register pairs 0-1 .. 44-45), 23 texts.
enum ThreePhaseValue
{
    TpActiveKWh,
    TpPositiveKWh,
    TpReverseKWh,
    TpReactiveKWh,
    TpVoltageL1,
    TpVoltageL2,
    TpVoltageL3,
    TpCurrentL1,
    TpCurrentL2,
    TpCurrentL3,
    TpActivePowerL1,
    TpActivePowerL2,
    TpActivePowerL3,
    TpReactivePowerL1,
    TpReactivePowerL2,
    TpReactivePowerL3,
    TpPowerFactorL1,
    TpPowerFactorL2,
    TpPowerFactorL3,
    TpActivePower,
    TpReactivePower,
    TpPowerFactor,
    TpFrequency,
    TpValueCount,
};
std::array<std::string, TpValueCount> DecodeThreePhase(std::span<const std::uint8_t> reply,
                                                        int decimalMode);

// A signed binary value with d decimals, the sign kept in front: -866,3 -> "-0.866".
std::string ThreePhaseValueText(std::int32_t value, int decimals);
// Three-phase energy rule: mode 1 drops the last digit and keeps one decimal; mode 2 keeps
// two decimals.
std::string ThreePhaseEnergyText(std::int32_t value, int decimalMode);
