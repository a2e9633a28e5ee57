#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Each byte as two upper-case hex digits and one space ("%02X "), trailing space kept.
std::string FormatHexBytes(const std::uint8_t* bytes, std::size_t count);

// Each byte as two lower-case hex digits ("%02x"), no separator: how serial numbers and
// passwords, stored as packed BCD, read back as their decimal digits.
std::string FormatLowerHexDigits(const std::uint8_t* bytes, std::size_t count);

// count bytes read big-endian into a signed 32-bit value: four bytes with the top bit set
// give a negative number, two bytes give 0 to 65535.
std::int32_t BytesToInt(const std::uint8_t* bytes, int count);
