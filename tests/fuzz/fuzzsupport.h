#pragma once

// Checks and reference results shared by the fuzz targets. The references are written
// independently of the protocol code, from the rules of the display texts, so that a target
// finds wrong results as well as crashes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// A failed check is a finding: report it and abort so that libFuzzer keeps the input.
inline void Require(bool condition, const char* what, const std::string& detail = {})
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s %s\n", what, detail.c_str());
        std::abort();
    }
}

inline bool IsValidBcd(const std::uint8_t* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if ((bytes[i] >> 4) > 9 || (bytes[i] & 0x0F) > 9) {
            return false;
        }
    }
    return true;
}

inline bool OnlyChars(std::string_view text, std::string_view allowed)
{
    return text.find_first_not_of(allowed) == std::string_view::npos;
}

inline std::string StripLeadingZeros(std::string_view digits)
{
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string() : std::string(digits.substr(first));
}

// Digit text of a number with d decimals: no leading zeros, "0" before a bare point, the
// fraction kept as sent unless it is all zeros, "0" for zero. digits must have no leading
// zeros, except a lone "0"; it may be empty (zero).
inline std::string ExpectedDecimalText(std::string_view digits, std::size_t d)
{
    if (StripLeadingZeros(digits).empty()) {
        return "0";
    }
    std::string integer;
    std::string fraction;
    if (digits.size() > d) {
        integer = std::string(digits.substr(0, digits.size() - d));
        fraction = std::string(digits.substr(digits.size() - d));
    } else {
        fraction = std::string(d - digits.size(), '0') + std::string(digits);
    }
    if (StripLeadingZeros(fraction).empty()) {
        return integer;
    }
    return (integer.empty() ? "0" : integer) + "." + fraction;
}

// Packed BCD (valid digits only) with d decimals, d at most the number of digits: the
// integer part loses its leading zeros, the fraction keeps all of its d digits.
inline std::string ExpectedBcdText(const std::uint8_t* bytes, std::size_t count, std::size_t d)
{
    std::string digits;
    for (std::size_t i = 0; i < count; ++i) {
        digits += static_cast<char>('0' + (bytes[i] >> 4));
        digits += static_cast<char>('0' + (bytes[i] & 0x0F));
    }
    if (StripLeadingZeros(digits).empty()) {
        return "0";
    }
    const std::string integer =
        StripLeadingZeros(std::string_view(digits).substr(0, digits.size() - d));
    const std::string fraction = digits.substr(digits.size() - d);
    if (StripLeadingZeros(fraction).empty()) {
        return integer;
    }
    return (integer.empty() ? "0" : integer) + "." + fraction;
}

// A signed value with d decimals in integer arithmetic: "-0.05" for -5 with 2.
inline std::string ExpectedFixed(std::int64_t value, int d)
{
    std::int64_t scale = 1;
    for (int i = 0; i < d; ++i) {
        scale *= 10;
    }
    const std::int64_t magnitude = value < 0 ? -value : value;
    const std::string sign = value < 0 ? "-" : "";
    const std::int64_t fraction = magnitude % scale;
    if (value == 0) {
        return "0";
    }
    if (fraction == 0) {
        return sign + std::to_string(magnitude / scale);
    }
    std::string fractionText = std::to_string(fraction);
    fractionText.insert(0, static_cast<std::size_t>(d) - fractionText.size(), '0');
    return sign + std::to_string(magnitude / scale) + "." + fractionText;
}

// Big-endian bytes as a signed 32-bit value, computed apart from the code under test.
inline std::int32_t ReadInt32(const std::uint8_t* bytes)
{
    const std::uint32_t u = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                            std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
    return static_cast<std::int32_t>(u);
}

} // namespace fuzz
