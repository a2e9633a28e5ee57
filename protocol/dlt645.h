#pragma once

#include <cstddef>
#include <cstdint>

// The bytes of a DL/T 645-2007 frame: wake-up bytes 0xFE, 68, six address bytes (low byte
// first), 68, the control code, the data length, the data, the checksum, 16.

inline constexpr std::uint8_t kDltWakeUp = 0xFE;
inline constexpr std::uint8_t kDltStart = 0x68;
inline constexpr std::uint8_t kDltEnd = 0x16;
inline constexpr std::uint8_t kDltWildcard = 0xAA; // an address byte every meter answers to
// Every data byte travels raised by 0x33, so that a line idle at 0x00 or 0xFF never looks
// like data.
inline constexpr std::uint8_t kDltOffset = 0x33;
inline constexpr std::uint8_t kDltMeterClear = 0x1A; // the control code of the meter clear
inline constexpr std::uint8_t kDltReplyBit = 0x80;    // set in the control code of a reply
inline constexpr std::uint8_t kDltAbnormalBit = 0x40; // set when the meter refuses
// 68, six address bytes, 68, control, length, checksum, 16: the frame's length without data.
inline constexpr std::size_t kDltFrameOverhead = 12;
