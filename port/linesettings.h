#pragma once

#include <cstdint>

#include <termios.h>

enum class LineSettings
{
    Built,
    NoSuchBaudRate, // termios has no constant for the rate: refused, never rounded to another
    NoSuchFraming,  // data bits, parity or stop bits out of range
};

// The line settings PortSetState applies, made on top of those the device reported: raw mode,
// receiver on, modem lines ignored, then the baud rate, data bits, parity (0 none, 1 odd,
// 2 even, 3 mark, 4 space) and stop bits (0 one, 1 one and a half, 2 two). Kept apart from
// the port so that what a pseudo-terminal cannot hold, parity, can still be checked.
LineSettings BuildLineSettings(termios& settings, std::uint32_t baudRate, std::uint8_t dataBits,
                               std::uint8_t parity, std::uint8_t stopBits);
