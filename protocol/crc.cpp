#include "crc.h"

#include <array>

namespace {

// The two tables published with Modbus RTU, generated from the reflected polynomial: entry i
// of the table for the byte sent first is the low byte of eight shift-and-xor steps over i,
// entry i of the table for the byte sent second their high byte.
struct CrcTables
{
    std::array<std::uint8_t, 256> first{};
    std::array<std::uint8_t, 256> second{};
};

constexpr CrcTables MakeTables()
{
    CrcTables tables;
    for (unsigned index = 0; index < 256; ++index) {
        unsigned crc = index;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        }
        tables.first[index] = static_cast<std::uint8_t>(crc & 0xFFu);
        tables.second[index] = static_cast<std::uint8_t>(crc >> 8);
    }
    return tables;
}

constexpr CrcTables kTables = MakeTables();

} // namespace

std::uint16_t CalcCrc16(const std::uint8_t* data, std::uint16_t length)
{
    std::uint8_t first = 0xFF;  // byte sent first: the low byte of the textbook CRC
    std::uint8_t second = 0xFF; // byte sent second
    while (length--) {
        const std::uint8_t index = first ^ *data++;
        first = second ^ kTables.first[index];
        second = kTables.second[index];
    }
    return static_cast<std::uint16_t>(first << 8 | second);
}

bool ReplyCrcMatches(const std::uint8_t* reply, std::size_t n)
{
    if (n < 2 || n - 2 > 0xFFFF) {
        return false;
    }
    const std::uint16_t expected = CalcCrc16(reply, static_cast<std::uint16_t>(n - 2));
    return expected == static_cast<std::uint16_t>(reply[n - 2] << 8 | reply[n - 1]);
}
