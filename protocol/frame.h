#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// One request frame, built in a zero-filled array, the way every command builds it.
class Frame
{
public:
    static constexpr std::size_t kCapacity = 32;

    const std::uint8_t* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_size; }
    std::span<const std::uint8_t> bytes() const { return {m_bytes.data(), m_size}; }
    std::uint8_t operator[](std::size_t i) const { return m_bytes[i]; }

    // Appends one byte. A frame never grows past its capacity: a byte that does not fit
    // spoils the frame, and appendCrc then refuses it.
    void push(std::uint8_t byte);
    // Appends the CRC of everything so far, the byte sent first first. A frame whose bytes did
    // not all fit is a programming error: it stops a debug build here, and in a release build
    // the frame is emptied, so that it is refused rather than sent cut short without its CRC.
    void appendCrc();

private:
    std::array<std::uint8_t, kCapacity> m_bytes{};
    std::size_t m_size = 0;
    bool m_overflowed = false;
};

// Function 0x04, read input registers: address, 0x04, first register, count, CRC (8 bytes).
Frame BuildReadRequest(std::uint8_t address, std::uint16_t firstRegister, std::uint16_t count);

// Function 0x10, write multiple registers: address, 0x10, first register, register count
// (data.size() / 2), byte count, the data bytes (each register high byte first), CRC. Data
// of an odd length, or too long for the frame, gives an empty frame (see appendCrc).
Frame BuildWriteRequest(std::uint8_t address, std::uint16_t firstRegister,
                        std::span<const std::uint8_t> data);

// The DL/T 645-2007 "meter clear" frame to the wildcard address: 68 AA*6 68 1A 08, the
// clear authorization field (each byte plus 0x33), the sum of bytes 0-17, 16. 20 bytes.
Frame BuildClearZeroFrame();
