#include "frame.h"

#include "crc.h"
#include "dlt645.h"

#include <cassert>

void Frame::push(std::uint8_t byte)
{
    if (m_size < kCapacity) {
        m_bytes[m_size++] = byte;
    } else {
        m_overflowed = true;
    }
}

void Frame::appendCrc()
{
    if (m_size + 2 > kCapacity) {
        m_overflowed = true;
    }
    assert(!m_overflowed && "a request that does not fit its frame");
    if (m_overflowed) {
        m_bytes.fill(0);
        m_size = 0;
        return;
    }
    const std::uint16_t crc = CalcCrc16(m_bytes.data(), static_cast<std::uint16_t>(m_size));
    push(static_cast<std::uint8_t>(crc >> 8));
    push(static_cast<std::uint8_t>(crc & 0xFF));
}

Frame BuildReadRequest(std::uint8_t address, std::uint16_t firstRegister, std::uint16_t count)
{
    Frame frame;
    frame.push(address);
    frame.push(0x04);
    frame.push(static_cast<std::uint8_t>(firstRegister >> 8));
    frame.push(static_cast<std::uint8_t>(firstRegister & 0xFF));
    frame.push(static_cast<std::uint8_t>(count >> 8));
    frame.push(static_cast<std::uint8_t>(count & 0xFF));
    frame.appendCrc();
    return frame;
}

Frame BuildWriteRequest(std::uint8_t address, std::uint16_t firstRegister,
                        std::span<const std::uint8_t> data)
{
    const auto registers = static_cast<std::uint16_t>(data.size() / 2);
    Frame frame;
    // Half a register cannot be written: a programming error, refused like an overflow.
    assert(data.size() % 2 == 0 && "a register write of an odd number of bytes");
    if (data.size() % 2 != 0) {
        return frame;
    }
    frame.push(address);
    frame.push(0x10);
    frame.push(static_cast<std::uint8_t>(firstRegister >> 8));
    frame.push(static_cast<std::uint8_t>(firstRegister & 0xFF));
    frame.push(static_cast<std::uint8_t>(registers >> 8));
    frame.push(static_cast<std::uint8_t>(registers & 0xFF));
    frame.push(static_cast<std::uint8_t>(registers * 2));
    for (std::size_t i = 0; i < registers * 2u; ++i) {
        frame.push(data[i]);
    }
    frame.appendCrc();
    return frame;
}

namespace {

// The clear authorization: privilege level 02 with password 000000, then operator code
// 00000000, the conventional factory values a meter accepts for clearing.
constexpr std::uint8_t kPrivilegeLevel = 0x02;
constexpr std::array<std::uint8_t, 3> kClearPassword{0x00, 0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kOperatorCode{0x00, 0x00, 0x00, 0x00};

} // namespace

Frame BuildClearZeroFrame()
{
    Frame frame;
    frame.push(kDltStart);
    for (int i = 0; i < 6; ++i) {
        frame.push(kDltWildcard);
    }
    frame.push(kDltStart);
    frame.push(kDltMeterClear);
    frame.push(0x08); // data length: the password field and the operator code
    frame.push(kPrivilegeLevel + kDltOffset);
    for (std::uint8_t byte : kClearPassword) {
        frame.push(byte + kDltOffset);
    }
    for (std::uint8_t byte : kOperatorCode) {
        frame.push(byte + kDltOffset);
    }
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < frame.size(); ++i) {
        sum = static_cast<std::uint8_t>(sum + frame[i]);
    }
    frame.push(sum);
    frame.push(kDltEnd);
    return frame;
}
