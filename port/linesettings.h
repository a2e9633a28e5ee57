#pragma once

#include <cstdint>
#include <string>

#include <termios.h>

enum class LineSettings
{
    Built,
    NoSuchBaudRate, // termios has no constant for the rate: refused, never rounded to another
    NoSuchFraming,  // data bits, parity or stop bits out of range
};

// The line settings the port applies, made on top of those the device reported: raw mode,
// receiver on, modem lines ignored, then the baud rate, data bits, parity (0 none, 1 odd,
// 2 even, 3 mark, 4 space) and stop bits (0 one, 1 one and a half, 2 two). Kept apart from
// the port so that what a pseudo-terminal cannot hold, parity, can still be checked.
LineSettings BuildLineSettings(termios& settings, std::uint32_t baudRate, std::uint8_t dataBits,
                               std::uint8_t parity, std::uint8_t stopBits);

// What of the wanted speed, data size, parity and stop bits the device did not take, read
// back after applying them, in words ("4800 baud instead of 9600"); empty when all took.
// tcsetattr succeeds when any part of a request applied, so only this comparison tells an
// adapter that refused a rate from one running at it. framingMayDrop allows the data size
// and parity a pseudo-terminal forces (8 bits, none): it has no wire for them.
std::string LineSettingsMismatch(const termios& wanted, const termios& applied,
                                 bool framingMayDrop);
