#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Helpers shared by the protocol tests: conversions between the byte forms the tests write
// and those the code under test takes. None of them computes what the code computes; the
// expected bytes and texts are written out in the tests.

using Bytes = std::vector<std::uint8_t>;

// "01 10 00 1D" -> the four bytes; spaces are ignored.
inline Bytes FromHex(const char* hex)
{
    const QByteArray raw = QByteArray::fromHex(hex);
    return Bytes(raw.begin(), raw.end());
}

// A byte array's bytes as the unsigned bytes the code under test takes, and back.
inline std::span<const std::uint8_t> Span(const QByteArray& bytes)
{
    return {reinterpret_cast<const std::uint8_t*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())};
}

inline QByteArray ToByteArray(std::span<const std::uint8_t> bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

// Upper-case hex with one space between bytes, for readable comparisons.
inline QString Hex(std::span<const std::uint8_t> bytes)
{
    return QString::fromLatin1(ToByteArray(bytes).toHex(' ').toUpper());
}

// The textbook CRC-16/MODBUS, bit by bit (reflected polynomial 0xA001, initial 0xFFFF): an
// independent way to give test frames a right CRC. Tests of the CRC itself use published
// vectors instead.
inline std::uint16_t ReferenceCrc(std::span<const std::uint8_t> bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

// The bytes with their CRC appended, low byte first as meters send it.
inline Bytes WithCrc(Bytes bytes)
{
    const std::uint16_t crc = ReferenceCrc(bytes);
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    return bytes;
}
