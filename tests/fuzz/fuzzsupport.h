#pragma once

// Checks shared by the fuzz targets. None of them builds the text the code should have made:
// a text is read back and compared with the value it must show, or checked for what every
// text of its kind has. The exact texts of chosen inputs are the seeds' and the unit tests'.

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

// The digits packed BCD stands for, two a byte, high nibble first.
inline std::string BcdDigits(const std::uint8_t* bytes, std::size_t count)
{
    std::string digits;
    for (std::size_t i = 0; i < count; ++i) {
        digits += static_cast<char>('0' + (bytes[i] >> 4));
        digits += static_cast<char>('0' + (bytes[i] & 0x0F));
    }
    return digits;
}

// A decimal text taken apart: an optional minus sign, the digits before the point (at least
// one), and those after it (none when there is no point).
struct DecimalParts
{
    bool wellFormed = false;
    bool negative = false;
    std::string integer;
    std::string fraction;
};

inline DecimalParts SplitDecimal(std::string_view text)
{
    DecimalParts parts;
    if (!text.empty() && text.front() == '-') {
        parts.negative = true;
        text.remove_prefix(1);
    }
    const std::size_t point = text.find('.');
    parts.integer = std::string(text.substr(0, point));
    if (point != std::string_view::npos) {
        parts.fraction = std::string(text.substr(point + 1));
    }
    parts.wellFormed = !parts.integer.empty() && OnlyChars(parts.integer, "0123456789") &&
                       OnlyChars(parts.fraction, "0123456789") &&
                       (point == std::string_view::npos || !parts.fraction.empty());
    return parts;
}

// What every number text shows: no leading zero before the point, no minus sign on a zero,
// and a fraction, when there is one, of at most maxDecimals digits that are not all zeros.
inline void RequireNumberText(const std::string& text, std::size_t maxDecimals, const char* what)
{
    const DecimalParts parts = SplitDecimal(text);
    Require(parts.wellFormed, what, "is no number: " + text);
    Require(parts.integer == "0" || parts.integer.front() != '0', what, "leading zero: " + text);
    Require(parts.fraction.size() <= maxDecimals, what, "too many decimals: " + text);
    Require(parts.fraction.empty() || parts.fraction.find_first_not_of('0') != std::string::npos,
            what, "a fraction of zeros kept: " + text);
    Require(!(parts.negative && parts.integer == "0" && parts.fraction.empty()), what,
            "minus zero: " + text);
}

// The text read back must be the number whose digits are given (any leading zeros), with d
// decimals and the given sign: the decimals written out in full unless they are all zeros,
// in which case they are dropped with the point.
inline void RequireShowsValue(const std::string& text, std::string_view digits, std::size_t d,
                              bool negative, const char* what)
{
    RequireNumberText(text, d, what);
    const std::string value = StripLeadingZeros(digits);
    if (value.empty()) {
        Require(text == "0", what, "zero shown as " + text);
        return;
    }
    const DecimalParts parts = SplitDecimal(text);
    Require(parts.negative == negative, what, "wrong sign: " + text);
    if (parts.fraction.empty()) {
        Require(StripLeadingZeros(parts.integer) + std::string(d, '0') == value, what,
                text + " for " + value);
    } else {
        Require(parts.fraction.size() == d &&
                    StripLeadingZeros(parts.integer + parts.fraction) == value,
                what, text + " for " + value);
    }
}

} // namespace fuzz
