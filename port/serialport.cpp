#include "serialport.h"

#include "linesettings.h"
#include "uucplock.h"
#include "waits.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// However long the driver's own write limit, a write is given up after this long.
constexpr std::chrono::milliseconds kWriteWait{1000};

// The group that owns the device, for the hint after a permission error (typically dialout);
// empty if unknown, or root, which no operator should be told to join.
std::string DeviceGroup(const std::string& device)
{
    struct stat info = {};
    if (::stat(device.c_str(), &info) != 0 || info.st_gid == 0) {
        return {};
    }
    // getgrgid_r: several ports may fail to open on several threads at once.
    group entry{};
    group* owner = nullptr;
    std::vector<char> text(1024);
    while (::getgrgid_r(info.st_gid, &entry, text.data(), text.size(), &owner) == ERANGE && text.size() < 65536) {
        text.resize(text.size() * 2);
    }
    return owner && owner->gr_name ? std::string(owner->gr_name) : std::string();
}

bool ReadErrorCounters(int fd, std::uint64_t& errorTotal)
{
    serial_icounter_struct counts{};
    if (::ioctl(fd, TIOCGICOUNT, &counts) != 0) {
        return false;
    }
    errorTotal = 0;
    for (const int count :
         {counts.frame, counts.parity, counts.overrun, counts.brk, counts.buf_overrun}) {
        errorTotal += static_cast<unsigned>(count);
    }
    return true;
}

// Unix98 pseudo-terminal slaves (majors 136 to 143) stand in for serial lines in the meter
// simulator and the tests.
bool IsPseudoTerminal(int fd)
{
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    const unsigned int deviceMajor = major(info.st_rdev);
    return deviceMajor >= 136 && deviceMajor <= 143;
}

// Whether everything but the framing a pseudo-terminal forces arrived: raw mode above all,
// without which binary replies would be mangled.
bool RawModeArrived(const termios& wanted, const termios& applied)
{
    tcflag_t framing = CSIZE | PARENB | PARODD;
#ifdef CMSPAR
    framing |= CMSPAR;
#endif
    return applied.c_iflag == wanted.c_iflag && applied.c_oflag == wanted.c_oflag &&
           applied.c_lflag == wanted.c_lflag &&
           (applied.c_cflag & ~framing) == (wanted.c_cflag & ~framing);
}

} // namespace

struct SerialPort::Private
{
    int m_fd = -1;
    std::string m_devicePath;
    std::string m_lastError;
    SerialFailure m_failure = SerialFailure::None;
    int m_errorNumber = 0;
    std::string m_notes;
    termios m_original{};
    bool m_haveOriginal = false;
    std::uint32_t m_writeTimeoutMs = 0;
    bool m_haveCounters = false;
    std::uint64_t m_errorTotal = 0;
    PortLineErrorProbe m_probe;
    SerialDriverCalls m_calls;
    UucpLock m_lock;
    serial_struct m_originalSerial{};
    bool m_lowLatencySet = false;
    serial_rs485 m_originalRs485{};
    bool m_rs485Set = false;
    bool m_hungUp = false;

    int getAttributes(termios& settings) const
    {
        return m_calls.getAttributes ? m_calls.getAttributes(m_fd, settings)
                                     : ::tcgetattr(m_fd, &settings);
    }
    int setAttributes(const termios& settings) const
    {
        return m_calls.setAttributes ? m_calls.setAttributes(m_fd, settings)
                                     : ::tcsetattr(m_fd, TCSANOW, &settings);
    }
    int control(unsigned long request, void* argument) const
    {
        return m_calls.control ? m_calls.control(m_fd, request, argument)
                               : ::ioctl(m_fd, request, argument);
    }

    void addNote(const std::string& note) { m_notes += (m_notes.empty() ? "" : "; ") + note; }

    // Records why set-up failed; the caller closes.
    void fail(SerialFailure failure, int error, std::string reason)
    {
        m_failure = failure;
        m_errorNumber = error;
        m_lastError = std::move(reason);
    }
    // "<device>: <system's text><note>".
    void failWithErrno(SerialFailure failure, int error, const char* note = "")
    {
        fail(failure, error, m_devicePath + ": " + std::strerror(error) + note);
    }

    bool probeLineErrors(std::uint64_t& errorTotal)
    {
        return m_probe ? m_probe(m_fd, errorTotal) : ReadErrorCounters(m_fd, errorTotal);
    }

    // True when the device counted a line error since the last look: every look moves the
    // mark, so an error is reported once, to whichever call sees it first.
    bool takeLineError()
    {
        std::uint64_t total = 0;
        if (!m_haveCounters || !probeLineErrors(total)) {
            return false;
        }
        const bool rose = total != m_errorTotal;
        m_errorTotal = total;
        return rose;
    }

    void markLineErrors()
    {
        std::uint64_t total = 0;
        m_haveCounters = probeLineErrors(total);
        m_errorTotal = total;
    }

    // Waits until the deadline for events on the port; the revents, or 0 on time-out.
    short waitFor(short events, Clock::time_point deadline) const
    {
        for (;;) {
            pollfd entry{m_fd, events, 0};
            const int ready = ::poll(&entry, 1, PollTimeout(deadline - Clock::now()));
            if (ready > 0) {
                return entry.revents;
            }
            if (ready == 0) {
                return 0;
            }
            if (errno != EINTR) {
                return POLLERR;
            }
        }
    }

    // One queue's count (FIONREAD for input, TIOCOUTQ for output), acknowledging any line
    // error as a serial driver's status query does.
    std::uint32_t queueCount(unsigned long request)
    {
        if (m_fd < 0) {
            return 0;
        }
        takeLineError();
        int queued = 0;
        if (::ioctl(m_fd, request, &queued) != 0 || queued < 0) {
            return 0;
        }
        return static_cast<std::uint32_t>(queued);
    }

    bool lockDevice();
    bool openDevice();
    // The device has gone under the open port: record why; the caller closes.
    void hangUp(int error)
    {
        m_hungUp = true;
        m_errorNumber = error;
        m_lastError = m_devicePath + ": device disconnected" + (error ? std::string(" (") + std::strerror(error) + ")" : "");
    }
    bool applySettings(const SerialSettings& settings);
    void askForLowLatency();
    bool setUpRs485(bool enable);
    void restoreDriverModes();
};

// Takes the device's lock file before the device is opened: opening it could already change
// the modem lines under the program that holds it.
bool SerialPort::Private::lockDevice()
{
    switch (m_lock.take(m_devicePath)) {
    case UucpLock::Outcome::Taken:
        return true;
    case UucpLock::Outcome::Held:
        if (m_lock.holderPid() <= 0) {
            fail(SerialFailure::Open, EBUSY,
                 m_devicePath + " is locked by another program (its lock file " +
                     UucpLockName(m_devicePath) + " cannot be read)");
        } else {
            const std::string name = m_lock.holderName();
            fail(SerialFailure::Open, EBUSY,
                 m_devicePath + " is in use by process " + std::to_string(m_lock.holderPid()) +
                     (name.empty() ? std::string() : " (" + name + ")"));
        }
        return false;
    case UucpLock::Outcome::Unwritable: {
        // A technician without write access to the lock folders must still be able to work:
        // flock and TIOCEXCL still keep out every program that uses either, and a lock file
        // of another program was honoured above all the same. Only a program that relies on
        // lock files alone could now open the device beside us, so the operator is told.
        const std::vector<std::string> folders = UucpLockFolders();
        addNote("no lock file: " + (folders.empty() ? std::string("no lock folder given")
                                                    : folders.front() + " is not writable"));
        return true;
    }
    }
    return true;
}

// Opens the device and takes it for this process alone; fills in the failure otherwise.
bool SerialPort::Private::openDevice()
{
    const int fd = ::open(m_devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        failWithErrno(SerialFailure::Open, error);
        const std::string group = DeviceGroup(m_devicePath);
        if ((error == EACCES || error == EPERM) && !group.empty()) {
            m_lastError += "; the device belongs to group " + group + ": run sudo usermod -aG " +
                           group + " $USER, then log in again";
        }
        return false;
    }
    // TIOCEXCL alone does not keep out a second opener running as root; flock does, and it
    // also covers programs that lock but never set TIOCEXCL.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        failWithErrno(SerialFailure::Open, errno, " (another program holds the device)");
        ::close(fd);
        return false;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        failWithErrno(SerialFailure::Open, errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool SerialPort::Private::applySettings(const SerialSettings& wanted)
{
    termios settings{};
    if (getAttributes(settings) != 0) {
        failWithErrno(SerialFailure::ReadSettings, errno);
        return false;
    }
    switch (BuildLineSettings(settings, wanted.baudRate, wanted.dataBits, wanted.parity,
                              wanted.stopBits)) {
    case LineSettings::Built:
        break;
    case LineSettings::NoSuchBaudRate:
        failWithErrno(SerialFailure::ApplySettings, EINVAL, " (no such baud rate)");
        return false;
    case LineSettings::NoSuchFraming:
        failWithErrno(SerialFailure::ApplySettings, EINVAL);
        return false;
    }
    // A pseudo-terminal takes every setting but forces 8 data bits and no parity, and glibc
    // may then report EINVAL for the whole call. It has no wire for a parity bit to travel
    // on, so there the read-back alone decides.
    const bool pseudoTerminal = IsPseudoTerminal(m_fd);
    const int setError = setAttributes(settings) == 0 ? 0 : errno;
    if (setError != 0 && (setError != EINVAL || !pseudoTerminal)) {
        failWithErrno(SerialFailure::ApplySettings, setError);
        return false;
    }
    // tcsetattr succeeds when any part of the request applied: only reading the settings
    // back tells a port at the wanted speed from one left at another.
    termios applied{};
    if (getAttributes(applied) != 0) {
        failWithErrno(SerialFailure::ReadSettings, errno);
        return false;
    }
    const std::string mismatch = LineSettingsMismatch(settings, applied, pseudoTerminal);
    if (!mismatch.empty()) {
        fail(SerialFailure::ApplySettings, EINVAL,
             m_devicePath + ": the driver did not take the line settings (" + mismatch + ")");
        return false;
    }
    if (setError != 0 && !RawModeArrived(settings, applied)) {
        failWithErrno(SerialFailure::ApplySettings, setError);
        return false;
    }
    return true;
}

// An FTDI adapter holds received bytes for up to 16 ms (its latency timer) before it sends
// them on; in low-latency mode the driver sets the timer to 1 ms, so a reply reaches us that
// much sooner. Drivers without the setting refuse the request (ENOTTY, EINVAL), which
// changes nothing: the port works as before.
void SerialPort::Private::askForLowLatency()
{
    serial_struct info{};
    const auto refused = [this](int error) {
        if (error != ENOTTY && error != EINVAL) {
            addNote(std::string("low latency refused: ") + std::strerror(error));
        }
    };
    if (control(TIOCGSERIAL, &info) != 0) {
        refused(errno);
        return;
    }
    if (info.flags & ASYNC_LOW_LATENCY) {
        return;
    }
    m_originalSerial = info;
    info.flags |= ASYNC_LOW_LATENCY;
    if (control(TIOCSSERIAL, &info) != 0) {
        refused(errno);
        return;
    }
    m_lowLatencySet = true;
}

// A UART whose driver already drives an RS-485 transceiver was set up for its board (RTS
// polarity, delays); that setting is kept as it is. Otherwise, when asked, direction control
// is turned on: RTS high while sending, low afterwards, so that the transceiver lets go of
// the line for the meter's reply.
bool SerialPort::Private::setUpRs485(bool enable)
{
    serial_rs485 current{};
    const bool known = control(TIOCGRS485, &current) == 0;
    if (known && (current.flags & SER_RS485_ENABLED)) {
        addNote("RS-485 mode as configured by the driver");
        return true;
    }
    if (!enable) {
        return true;
    }
    serial_rs485 wanted = known ? current : serial_rs485{};
    wanted.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    wanted.flags &= ~static_cast<decltype(wanted.flags)>(SER_RS485_RTS_AFTER_SEND);
    if (control(TIOCSRS485, &wanted) != 0) {
        const int error = errno;
        fail(SerialFailure::ApplySettings, error,
             m_devicePath + ": RS-485 mode cannot be turned on: " + std::strerror(error));
        return false;
    }
    m_originalRs485 = known ? current : serial_rs485{};
    m_rs485Set = true;
    // The driver writes back what it made of the request; it drops what the UART cannot do.
    if (!(wanted.flags & SER_RS485_ENABLED) || !(wanted.flags & SER_RS485_RTS_ON_SEND)) {
        fail(SerialFailure::ApplySettings, EINVAL,
             m_devicePath + ": the driver did not turn on RS-485 mode with RTS high while"
                            " sending");
        return false;
    }
    addNote("RS-485 mode turned on (RTS high while sending)");
    return true;
}

// Leaves the driver as the port found it, for the programs that use the device next.
void SerialPort::Private::restoreDriverModes()
{
    if (m_rs485Set) {
        control(TIOCSRS485, &m_originalRs485);
        m_rs485Set = false;
    }
    if (m_lowLatencySet) {
        control(TIOCSSERIAL, &m_originalSerial);
        m_lowLatencySet = false;
    }
}

SerialPort::SerialPort() : d(std::make_unique<Private>()) {}

SerialPort::~SerialPort()
{
    close();
}

bool SerialPort::open(const std::string& devicePath, const SerialSettings& settings)
{
    close();
    d->m_hungUp = false;
    d->m_devicePath = devicePath;
    d->m_lastError.clear();
    d->m_failure = SerialFailure::None;
    d->m_errorNumber = 0;
    d->m_notes.clear();
    const auto failed = [this] {
        close();
        d->m_notes.clear(); // remarks on a port that is not open would mislead
        return false;
    };

    if (devicePath.empty()) {
        d->fail(SerialFailure::Open, ENOENT, "No device given");
        return failed();
    }
    if (!d->lockDevice() || !d->openDevice()) {
        return failed();
    }
    if (d->getAttributes(d->m_original) != 0) {
        d->failWithErrno(SerialFailure::ReadSettings, errno);
        return failed();
    }
    d->m_haveOriginal = true;
    if (!configure(settings)) {
        return failed();
    }
    d->askForLowLatency();
    if (!d->setUpRs485(settings.enableRs485)) {
        return failed();
    }
    setWriteTimeout(settings.writeTimeoutMs);
    purge();
    // Errors counted before this session are none of its business.
    d->markLineErrors();
    return true;
}

void SerialPort::close()
{
    if (d->m_fd >= 0) {
        // A vanished device refuses all of these; closing goes ahead regardless.
        d->restoreDriverModes();
        if (d->m_haveOriginal) {
            d->setAttributes(d->m_original);
        }
        ::ioctl(d->m_fd, TIOCNXCL);
        ::close(d->m_fd); // also drops the flock
        d->m_fd = -1;
    }
    // Last, so that no other program gets the device while it is still ours.
    d->m_lock.release();
    d->m_haveOriginal = false;
    d->m_haveCounters = false;
    d->m_writeTimeoutMs = 0;
}

bool SerialPort::isOpen() const
{
    return d->m_fd >= 0;
}

LineState SerialPort::state() const
{
    if (isOpen()) {
        return LineState::Usable;
    }
    return d->m_hungUp ? LineState::Disconnected : LineState::Closed;
}

bool SerialPort::hangUpOn(int error)
{
    // EIO, ENXIO and ENODEV are what a terminal whose device was unplugged (or whose
    // pseudo-terminal master closed) answers; anything else is a passing failure.
    if (error != EIO && error != ENXIO && error != ENODEV) {
        return false;
    }
    d->hangUp(error);
    close();
    return true;
}

const std::string& SerialPort::devicePath() const
{
    return d->m_devicePath;
}

const std::string& SerialPort::lastError() const
{
    return d->m_lastError;
}

SerialFailure SerialPort::lastFailure() const
{
    return d->m_failure;
}

int SerialPort::lastErrorNumber() const
{
    return d->m_errorNumber;
}

const std::string& SerialPort::notes() const
{
    return d->m_notes;
}

bool SerialPort::configure(const SerialSettings& settings)
{
    if (!isOpen()) {
        return false;
    }
    d->m_lastError.clear();
    d->m_failure = SerialFailure::None;
    d->m_errorNumber = 0;
    if (!d->applySettings(settings)) {
        close();
        return false;
    }
    return true;
}

void SerialPort::setWriteTimeout(std::uint32_t writeTimeoutMs)
{
    d->m_writeTimeoutMs = writeTimeoutMs;
}

std::uint32_t SerialPort::write(std::uint32_t count, const std::uint8_t* bytes)
{
    if (!isOpen() || count == 0 || !bytes) {
        return 0;
    }
    if (d->takeLineError()) {
        ::tcflush(d->m_fd, TCOFLUSH);
    }

    const Clock::time_point start = Clock::now();
    const Clock::time_point giveUp = start + kWriteWait;
    // A driver limit shorter than the wait ends the write with what was handed over, so that
    // a caller with a short limit learns how far a stalled line got.
    const bool driverLimited = d->m_writeTimeoutMs > 0 && d->m_writeTimeoutMs < kWriteWait.count();
    const Clock::time_point driverEnd = start + ClampedWait(d->m_writeTimeoutMs);

    std::uint32_t written = 0;
    while (written < count) {
        const ssize_t n = ::write(d->m_fd, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            hangUpOn(n == 0 ? EIO : errno);
            return 0;
        }
        const Clock::time_point deadline = driverLimited ? driverEnd : giveUp;
        if (Clock::now() >= deadline) {
            return driverLimited ? written : 0;
        }
        const short events = d->waitFor(POLLOUT, deadline);
        if (events & POLLHUP) {
            hangUpOn(EIO);
            return 0;
        }
        if ((events & (POLLERR | POLLNVAL)) && !(events & POLLOUT)) {
            return 0;
        }
    }
    return count;
}

std::uint32_t SerialPort::read(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs)
{
    if (!isOpen() || capacity < 2 || !buffer) {
        return 0;
    }
    if (d->takeLineError()) {
        // The bytes waiting may be the damaged ones; none of them can be trusted.
        ::tcflush(d->m_fd, TCIFLUSH);
        return 0;
    }
    // Bytes the driver has received but not yet handed to the terminal layer are not counted
    // yet; a look with poll hands them over, so that a reply already on its way is read.
    pollfd look{d->m_fd, POLLIN, 0};
    ::poll(&look, 1, 0);
    if (look.revents & POLLHUP) {
        hangUpOn(EIO);
        return 0;
    }
    int queued = 0;
    if (::ioctl(d->m_fd, FIONREAD, &queued) != 0) {
        hangUpOn(errno);
        return 0;
    }
    if (queued <= 0) {
        return 0;
    }
    const std::size_t wanted =
        std::min<std::size_t>(capacity - 1, static_cast<std::size_t>(queued));

    bool waited = false;
    for (;;) {
        const ssize_t n = ::read(d->m_fd, buffer, wanted);
        if (n > 0) {
            return static_cast<std::uint32_t>(n);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            hangUpOn(n == 0 ? EIO : errno); // end of file or EIO: the device has gone
            return 0;
        }
        if (waited) {
            return 0;
        }
        // Counted but not yet readable: the driver is late; give it waitMs once.
        waited = true;
        const short events = d->waitFor(POLLIN, Clock::now() + ClampedWait(waitMs));
        if (!(events & POLLIN)) {
            return 0;
        }
    }
}

bool SerialPort::waitReadable(std::uint32_t waitMs)
{
    if (!isOpen()) {
        return false;
    }
    const short events = d->waitFor(POLLIN, Clock::now() + ClampedWait(waitMs));
    // A device that has gone may still report input; none of it can be read.
    if (events & POLLHUP) {
        hangUpOn(EIO);
        return false;
    }
    return (events & POLLIN) && !(events & (POLLERR | POLLNVAL));
}

void SerialPort::purge()
{
    if (isOpen()) {
        ::tcflush(d->m_fd, TCIOFLUSH);
    }
}

std::uint32_t SerialPort::inQueueCount()
{
    return d->queueCount(FIONREAD);
}

std::uint32_t SerialPort::outQueueCount()
{
    return d->queueCount(TIOCOUTQ);
}

void SerialPort::setLineErrorProbe(PortLineErrorProbe probe)
{
    d->m_probe = std::move(probe);
}

void SerialPort::setDriverCalls(SerialDriverCalls calls)
{
    d->m_calls = std::move(calls);
}
