#include "bcd.h"

#include "hextext.h"

#include <algorithm>

namespace {

int DigitValue(char32_t c) { return (c >= U'0' && c <= U'9') ? static_cast<int>(c - U'0') : 0; }

// One packed byte from up to two characters: the first in the high nibble.
std::uint8_t PackGroup(std::u32string_view text, std::size_t first, std::size_t length)
{
    int high = 0;
    int low = 0;
    if (first < text.size()) {
        high = DigitValue(text[first]);
        if (length > 1 && first + 1 < text.size()) {
            low = DigitValue(text[first + 1]);
        }
    }
    return static_cast<std::uint8_t>(high << 4 | low);
}

// The leading run of decimal digits, as reading the text as an integer would take them.
std::string_view LeadingDigits(std::string_view text)
{
    const auto end = std::find_if(text.begin(), text.end(), [](char c) { return c < '0' || c > '9'; });
    return text.substr(0, static_cast<std::size_t>(end - text.begin()));
}

// The text read as a decimal integer is 0: no digits at all, or only zeros.
bool ReadsAsZero(std::string_view text)
{
    const std::string_view digits = LeadingDigits(text);
    return digits.find_first_not_of('0') == std::string_view::npos;
}

// The number written without leading zeros; kept as text so that no digit count overflows.
std::string_view WithoutLeadingZeros(std::string_view digits)
{
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view{} : digits.substr(first);
}

std::string_view LastChars(std::string_view text, std::size_t n)
{
    return n >= text.size() ? text : text.substr(text.size() - n);
}

std::string_view DropLastChars(std::string_view text, std::size_t n)
{
    return n >= text.size() ? std::string_view{} : text.substr(0, text.size() - n);
}

} // namespace

std::array<std::uint8_t, 4> PackSerialNumber(std::u32string_view text)
{
    // The last group is the last two characters, wherever they fall: a short text overlaps
    // the groups before it, a long one skips the characters in between.
    const std::size_t lastGroup = text.size() >= 2 ? text.size() - 2 : 0;
    return {PackGroup(text, 0, 2), PackGroup(text, 2, 2), PackGroup(text, 4, 2), PackGroup(text, lastGroup, 2)};
}

std::array<std::uint8_t, 2> PackPassword(std::u32string_view text)
{
    const std::size_t lastGroup = text.size() >= 2 ? text.size() - 2 : 0;
    return {PackGroup(text, 0, 2), PackGroup(text, lastGroup, 2)};
}

std::string BcdToText(const std::uint8_t* bytes, int count, int decimals)
{
    std::string hex;
    for (int i = 0; i < count; ++i) {
        hex += FormatHexBytes(bytes + i, 1).substr(0, 2);
    }
    const std::string_view digits = WithoutLeadingZeros(LeadingDigits(hex));
    if (digits.empty()) {
        return "0";
    }
    const auto d = static_cast<std::size_t>(std::max(decimals, 0));
    const std::string_view fraction = d == 0 ? std::string_view{} : LastChars(hex, d);
    const std::string_view integer = DropLastChars(digits, d);
    if (ReadsAsZero(fraction)) {
        return std::string(integer);
    }
    std::string text = integer.empty() ? std::string(1, '0') : std::string(integer);
    text += '.';
    text += fraction;
    return text;
}

std::string InsertDecimalPoint(std::string_view digits, int decimals)
{
    if (ReadsAsZero(digits)) {
        return "0";
    }
    const auto d = static_cast<std::size_t>(std::max(decimals, 0));
    const std::string_view fraction = d == 0 ? std::string_view{} : LastChars(digits, d);
    const std::string_view integer = DropLastChars(digits, d);
    if (ReadsAsZero(fraction)) {
        return std::string(integer);
    }
    std::string text = integer.empty() ? std::string(1, '0') : std::string(integer);
    text += '.';
    text.append(d - fraction.size(), '0');
    text += fraction;
    return text;
}

std::string SignedBcdToText(const std::uint8_t* bytes)
{
    if ((bytes[0] & 0x80) == 0) {
        return BcdToText(bytes, 4, 1);
    }
    // The magnitude of a two's-complement value, in unsigned arithmetic so that the most
    // negative code cannot overflow.
    const auto value = static_cast<std::uint32_t>(BytesToInt(bytes, 4));
    const std::uint32_t magnitude = ~(value - 1u);
    const std::uint8_t magnitudeBytes[4] = {
        static_cast<std::uint8_t>(magnitude >> 24), static_cast<std::uint8_t>(magnitude >> 16),
        static_cast<std::uint8_t>(magnitude >> 8), static_cast<std::uint8_t>(magnitude)};
    std::string text(1, '-');
    text += BcdToText(magnitudeBytes, 4, 1);
    return text;
}
