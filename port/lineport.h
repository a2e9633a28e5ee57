#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Line settings of a port. The parity codes are the positions in the window's parity list
// (None, Odd, Even) followed by mark and space, so that the window passes its selection as is;
// the meter's parity register numbers them otherwise (registermap.h). Stop bits count up the
// same way, from one.
struct SerialSettings
{
    std::uint32_t baudRate = 9600;
    std::uint8_t dataBits = 8;
    std::uint8_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t stopBits = 0; // 0 one, 1 one and a half (sent as two), 2 two
    std::uint32_t writeTimeoutMs = 1000;
    bool enableRs485 = false; // turn RS-485 direction control on (RTS high while sending)
};

// Where a port's trouble came from, for the caller that has to decide what to do next.
enum class LineState
{
    Usable,
    Closed,       // never opened, closed on purpose, or a set-up step failed
    Disconnected, // the device or the connection went away under an open port
};

// A line to meters: a serial device here, a gateway on the network elsewhere. The meter
// commands only move bytes through it; what the line is made of stays behind this face.
//
// The contract every kind keeps, since the exchange relies on it: no call waits longer than
// it is told (and never longer than kLongestWaitMs), a read writes at most capacity - 1 bytes
// into the buffer and returns their number, and a port that has lost its device says so in
// state() rather than failing quietly for ever.
class LinePort
{
public:
    virtual ~LinePort() = default;

    // Opens the named line with the settings; an open port is closed first. false on failure,
    // the port closed and the reason in lastError().
    virtual bool open(const std::string& name, const SerialSettings& settings) = 0;
    // Restores what open changed and releases the line. Harmless when closed.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual LineState state() const { return isOpen() ? LineState::Usable : LineState::Closed; }
    // The name given to the last open, as given: a device path, or a gateway's URL.
    virtual const std::string& devicePath() const = 0;
    // Why the last open, configure or transfer failed, naming the line. Empty after success.
    virtual const std::string& lastError() const = 0;
    // A line for the success message; empty when there is nothing to say.
    virtual const std::string& notes() const = 0;

    // Whether this port decides the line's baud rate and parity. A gateway that keeps the
    // line settings to itself does not, and a scan of line settings through it means nothing.
    virtual bool setsLineSettings() const { return true; }
    // Whether frames other than Modbus (the DL/T 645 clear-to-zero) can cross this line.
    virtual bool carriesForeignFrames() const { return true; }
    // What the line adds to every reply's wait beyond the RS-485 wire time: a gateway's round
    // trip over the network. Zero for a local serial port.
    virtual unsigned extraLatencyMs() const { return 0; }
    // How a command says that the line went away under it.
    virtual std::string lossText() const { return "device disconnected"; }

    // Applies baud rate, data bits, parity and stop bits and checks that they took; false
    // (and the port closed) when they did not.
    virtual bool configure(const SerialSettings& settings) = 0;

    // Writes count bytes and returns count, or fewer (0) when they could not all be sent.
    virtual std::uint32_t write(std::uint32_t count, const std::uint8_t* bytes) = 0;
    // Reads the bytes already received, at most capacity - 1 of them, and returns their
    // number; 0 at once when nothing is waiting or capacity < 2.
    virtual std::uint32_t read(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs) = 0;
    // Waits until input is waiting or waitMs passes; true when bytes are waiting. false at
    // once when closed or when the line has gone.
    virtual bool waitReadable(std::uint32_t waitMs) = 0;
    // Discards what was received and not yet read, and what waits to be sent.
    virtual void purge() = 0;
};

// The port for a name: a gateway on the network for tcp://, rtu+tcp:// and rfc2217:// names
// (portname.h), a serial device for every other name.
std::unique_ptr<LinePort> MakeLinePort(const std::string& name);
