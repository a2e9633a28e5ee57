#pragma once

#include "serialport.h"

#include <cstdint>
#include <cstdio>
#include <string>

// The one serial port of the process: free functions over one process-wide port, called from
// the user-interface thread only. A SerialPort (serialport.h) for a device; a gateway on the
// network (netport.h) when QUORVEX_COM<n> names one (tcp://, rtu+tcp://, rfc2217://), which
// then takes the place of the serial device in every call below. Queue counts, the driver's
// write limit and the driver hooks are the serial port's: a gateway reports no queues.
//
// Every call returns when its work is done or its time limit has run out. A read never waits
// for bytes that have not arrived yet: the meter commands sleep for the reply time first and
// then collect whatever the driver holds.
//
// The codes are those of SerialSettings: the window passes the position of its parity list
//   parity    0 none, 1 odd, 2 even, 3 mark, 4 space
//   stop bits 0 one, 1 one and a half (sent as two), 2 two
// COM n is resolved to a device by ResolveComDevice (comports.h).
//
// Set-up failures print one line "错误: <errno> << <what failed>.\n" on the diagnostic stream
// (standard output unless replaced), followed by a line naming the COM number, the device and
// the reason (that of PortLastError); transfers report failure only as 0.

// Opens COM portNumber exclusively (lock file, flock and TIOCEXCL) in raw mode with the given
// line settings and prints "成功开启端口 <n>.\n", then PortNotes() on a line of its own when
// there are any. An open port is closed first. On failure the port is closed and false is
// returned; a number that leads to no device fails with errno ENOENT. The queue sizes must be
// non-zero; the write timeout is that of PortSetTimeouts.
bool PortOpen(int portNumber, std::uint32_t baudRate, std::uint8_t dataBits, std::uint8_t parity,
              std::uint8_t stopBits, std::uint32_t inQueue, std::uint32_t outQueue,
              std::uint32_t writeTimeoutMs);

// Restores the line settings found at open and releases the device. Harmless when closed.
void PortClose();

bool PortIsOpen();

// Why the last PortOpen failed, for the operator: "COM1 → " and the reason, e.g.
// "COM1 → /dev/ttyUSB0 is in use by process 1234 (minicom)". Empty after a successful open.
std::string PortLastError();

// What the port has to say about the last successful open (see SerialPort::notes); empty
// when nothing, or when the last open failed.
std::string PortNotes();

// Writes count bytes and returns count, or 0 when they could not all be handed to the driver
// within 1000 ms or the device failed. A write timeout shorter than 1000 ms ends the write
// early with the number of bytes handed over by then. A line error seen before the write
// discards unsent output; the write still goes ahead.
std::uint32_t PortWrite(std::uint32_t count, const std::uint8_t* bytes);

// Reads the bytes already queued, at most capacity - 1 of them, and returns their number;
// 0 at once when nothing is queued, when capacity < 2, and when a line error (framing,
// parity, overrun, break) happened since the last look, in which case the queued input is
// discarded. waitMs bounds the wait for a read the driver reports late. Nothing is written
// beyond the bytes read.
std::uint32_t PortRead(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs);

// termios has no queue sizes; non-zero sizes are accepted. Zero sizes fail: the diagnostic
// is printed and the port closed.
bool PortSetBuffers(std::uint32_t inQueue, std::uint32_t outQueue);

// Re-reads the device's settings and applies raw mode with these four. Flow control and the
// other fields keep what the device reported. A rate termios has no constant for, a code out
// of range, or settings the device did not take (read back after applying) fail with EINVAL;
// every failure prints its diagnostic and closes the port.
bool PortSetState(std::uint32_t baudRate, std::uint8_t dataBits, std::uint8_t parity,
                  std::uint8_t stopBits);

// The driver's write time limit (0: none). Only a limit below the fixed 1000 ms wait of
// PortWrite has an effect.
bool PortSetTimeouts(std::uint32_t writeTimeoutMs);

// Discards both queues.
void PortPurge();

// Bytes waiting in the driver's input and output queues; 0 when closed or unknown. Like a
// read, they acknowledge any line error seen since the last look.
std::uint32_t PortInQueueCount();
std::uint32_t PortOutQueueCount();

// Where the set-up diagnostics go; nullptr restores standard output. Returns the previous
// stream (nullptr for standard output). Safe to call from any thread: the stream is swapped
// and written under one lock, so a diagnostic's lines stay together.
std::FILE* PortSetDiagnosticStream(std::FILE* stream);

// Replaces the line-error probe (see PortLineErrorProbe); an empty function restores the
// default. The previous probe is returned.
PortLineErrorProbe PortSetLineErrorProbe(PortLineErrorProbe probe);

// Replaces the calls through which the port reaches its driver (see SerialDriverCalls), from
// the next open on; returns the previous ones.
SerialDriverCalls PortSetDriverCalls(SerialDriverCalls calls);
