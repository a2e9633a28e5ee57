#pragma once

#include <cstdint>

// CRC-16/MODBUS (reflected polynomial 0xA001, initial 0xFFFF, no final XOR), computed with
// the two published 256-entry tables. The result holds the two bytes in wire order: its high
// half is the byte sent first (the low byte of the textbook CRC value), its low half the byte
// sent second. A length of 0 gives 0xFFFF.
std::uint16_t CalcCrc16(const std::uint8_t* data, std::uint16_t length);

// True when the last two of the n bytes are the CRC of the bytes before them, read as
// (byte n-2) * 256 + (byte n-1). Fewer than 2 bytes never match.
bool ReplyCrcMatches(const std::uint8_t* reply, std::size_t n);
