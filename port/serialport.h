#pragma once

#include "lineport.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct termios;


// Reads the device's running total of line errors into errorTotal; false when the device
// keeps no such counters. The default uses TIOCGICOUNT (framing, parity, overrun, break and
// buffer-overrun counts). Pseudo-terminals have none, so tests install their own probe.
using PortLineErrorProbe = std::function<bool(int fd, std::uint64_t& errorTotal)>;

// The calls through which a port reaches its driver where drivers differ. An empty member
// is the system call itself; tests replace them to play drivers that a pseudo-terminal
// cannot (one that drops a setting, one in RS-485 mode). Each returns what the system call
// returns, with errno set on failure.
struct SerialDriverCalls
{
    std::function<int(int fd, termios& settings)> getAttributes;       // tcgetattr
    std::function<int(int fd, const termios& settings)> setAttributes; // tcsetattr, TCSANOW
    // ioctl for TIOCGSERIAL, TIOCSSERIAL, TIOCGRS485 and TIOCSRS485
    std::function<int(int fd, unsigned long request, void* argument)> control;
};

// Which step of setting a port up failed.
enum class SerialFailure
{
    None,
    Open,          // no such device, no permission, in use by another program
    ReadSettings,  // the device's line settings could not be read
    ApplySettings, // refused, not taken as asked, or RS-485 mode could not be turned on
};

// One serial device, opened exclusively: a UUCP lock file (LCK..<name>), flock and TIOCEXCL
// keep other programs out, whichever of them they honour. Raw mode, non-blocking, every
// wait bounded by poll. An object is used from one thread at a time; several objects may
// run on several threads at once, each on its own device.
//
// Every call returns when its work is done or its time limit has run out, and no wait lasts
// longer than kLongestWaitMs (waits.h), whatever is asked. A read never waits for bytes that
// have not arrived yet; waitReadable does.
class SerialPort final : public LinePort
{
public:
    SerialPort();
    ~SerialPort() override; // closes
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    SerialPort(SerialPort&&) = delete;
    SerialPort& operator=(SerialPort&&) = delete;

    // Opens the device path exclusively with the settings; an open port is closed first.
    // false on failure, the port closed and the reason in lastError().
    bool open(const std::string& devicePath, const SerialSettings& settings) override;
    // Restores the line settings (and driver modes) found at open, releases the device and
    // its lock file. Harmless when closed.
    void close() override;
    bool isOpen() const override;
    // Disconnected once a read, write or wait found the device gone: the port has then
    // closed itself, released its lock, and lastError() says "device disconnected".
    LineState state() const override;
    // The path given to the last open, as given.
    const std::string& devicePath() const override;

    // The reason the last open or configure failed, in one or two short sentences naming the
    // device, e.g. "/dev/ttyUSB0 is in use by process 1234 (minicom)". Empty after success.
    const std::string& lastError() const override;
    SerialFailure lastFailure() const;
    int lastErrorNumber() const; // the errno behind lastError(); 0 after success

    // A line for the success message, e.g. "RS-485 mode as configured by the driver"; empty
    // when there is nothing to say. Several remarks are joined by "; ".
    const std::string& notes() const override;

    // Re-reads the device's settings and applies raw mode with the baud rate, data bits,
    // parity and stop bits of settings (the other members are not used). The settings are
    // read back: a device that did not take them all is closed, the reason in lastError().
    bool configure(const SerialSettings& settings) override;

    // The driver's write time limit (0: none). Only a limit below the fixed 1000 ms wait of
    // write() has an effect.
    void setWriteTimeout(std::uint32_t writeTimeoutMs);

    // Writes count bytes and returns count, or 0 when they could not all be handed to the
    // driver within 1000 ms or the device failed. A write timeout shorter than 1000 ms ends
    // the write early with the number of bytes handed over by then. A line error seen before
    // the write discards unsent output; the write still goes ahead.
    std::uint32_t write(std::uint32_t count, const std::uint8_t* bytes) override;

    // Reads the bytes already queued, at most capacity - 1 of them, and returns their number;
    // 0 at once when nothing is queued, when capacity < 2, and when a line error (framing,
    // parity, overrun, break) happened since the last look, in which case the queued input is
    // discarded. waitMs bounds the wait for a read the driver reports late. Nothing is
    // written beyond the bytes read.
    std::uint32_t read(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs) override;

    // Waits until input is queued or waitMs passes; true when bytes are waiting. false at
    // once when closed or when the device has gone (hung up, failed).
    bool waitReadable(std::uint32_t waitMs) override;

    // Discards both queues.
    void purge() override;

    // Bytes waiting in the driver's input and output queues; 0 when closed or unknown. Like a
    // read, they acknowledge any line error seen since the last look.
    std::uint32_t inQueueCount();
    std::uint32_t outQueueCount();

    // An empty function restores the default. Install it before open, where the running
    // total is first taken.
    void setLineErrorProbe(PortLineErrorProbe probe);
    // Members left empty use the system calls; takes effect at the next open or configure.
    void setDriverCalls(SerialDriverCalls calls);

private:
    // Closes the port as disconnected when error says the device has gone; true then.
    bool hangUpOn(int error);

    struct Private;
    const std::unique_ptr<Private> d;
};
