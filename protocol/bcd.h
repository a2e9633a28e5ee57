#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Packed BCD of the serial number: four groups of characters (1-2, 3-4, 5-6 and the last
// two of the text, which may overlap or run short), each giving one byte with its first
// character's digit in the high nibble and its second's in the low nibble. A character that
// is not a decimal digit counts as 0; a missing character as 0.
std::array<std::uint8_t, 4> PackSerialNumber(std::u32string_view text);

// Packed BCD of a 4-character password: the first two and the last two characters.
std::array<std::uint8_t, 2> PackPassword(std::u32string_view text);

// The decimal value of count packed-BCD bytes with the given decimals: "220.5", "220",
// "0.05", "0.100", "1234", "0". A zero fraction is left out altogether.
std::string BcdToText(const std::uint8_t* bytes, int count, int decimals);

// The same for a number given as decimal digit text: "22050",1 -> "2205"; "5",2 -> "0.05".
std::string InsertDecimalPoint(std::string_view digits, int decimals);

// Signed packed BCD with one decimal: a negative value is the 32-bit two's complement of the
// BCD code of its magnitude (FF FF ED CC -> "-123.4").
std::string SignedBcdToText(const std::uint8_t* bytes);
