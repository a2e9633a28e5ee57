#include "port.h"

#include "linesettings.h"

#include "comports.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>

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

const char* const kOpenFailed = "错误: %d << 打开通讯口失败,请检查是否已经安装串口设备.\n";
const char* const kBuffersFailed = "错误: %d << 设置通讯端口缓冲失败.\n";
const char* const kGetStateFailed = "错误: %d << 等到通讯口参数失败.\n";
const char* const kSetStateFailed = "错误: %d << 设置通讯端口参数失败.\n";
const char* const kOpened = "成功开启端口 %d.\n";

struct PortState
{
    int m_fd = -1;
    int m_portNumber = 0;
    std::string m_device;
    termios m_original{};
    bool m_haveOriginal = false;
    std::uint32_t m_writeTimeoutMs = 0;
    bool m_haveCounters = false;
    std::uint64_t m_errorTotal = 0;
    std::FILE* m_diagnostics = nullptr;
    PortLineErrorProbe m_probe;
};

PortState s_port;

std::FILE* DiagnosticStream()
{
    return s_port.m_diagnostics ? s_port.m_diagnostics : stdout;
}

// The group that owns the device, for the hint after a permission error (typically dialout);
// empty if unknown, or root, which no operator should be told to join.
std::string DeviceGroup(const std::string& device)
{
    struct stat info = {};
    if (::stat(device.c_str(), &info) != 0 || info.st_gid == 0) {
        return {};
    }
    const group* owner = ::getgrgid(info.st_gid);
    return owner && owner->gr_name ? std::string(owner->gr_name) : std::string();
}

// The fixed diagnostic line with the errno, then a line saying which device and why.
void ReportFailure(const char* line, int error, const char* note = "")
{
    std::FILE* out = DiagnosticStream();
    std::fprintf(out, line, error);
    const char* device = s_port.m_device.empty() ? "(no device)" : s_port.m_device.c_str();
    std::fprintf(out, "COM%d → %s: %s%s", s_port.m_portNumber, device, std::strerror(error), note);
    if ((error == EACCES || error == EPERM) && line == kOpenFailed) {
        const std::string group = DeviceGroup(s_port.m_device);
        if (!group.empty()) {
            std::fprintf(out,
                         "; the device belongs to group %s: run sudo usermod -aG %s $USER, then"
                         " log in again",
                         group.c_str(), group.c_str());
        }
    }
    std::fputs(".\n", out);
    std::fflush(out);
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

bool ProbeLineErrors(std::uint64_t& errorTotal)
{
    return s_port.m_probe ? s_port.m_probe(s_port.m_fd, errorTotal)
                          : ReadErrorCounters(s_port.m_fd, errorTotal);
}

// True when the device counted a line error since the last look. Windows keeps error flags
// that a status query clears; the counters are their stand-in, and every look moves the mark.
bool TakeLineError()
{
    std::uint64_t total = 0;
    if (!s_port.m_haveCounters || !ProbeLineErrors(total)) {
        return false;
    }
    const bool rose = total != s_port.m_errorTotal;
    s_port.m_errorTotal = total;
    return rose;
}

void MarkLineErrors()
{
    std::uint64_t total = 0;
    s_port.m_haveCounters = ProbeLineErrors(total);
    s_port.m_errorTotal = total;
}

bool BaudConstant(std::uint32_t rate, speed_t& speed)
{
    struct Rate
    {
        std::uint32_t bitsPerSecond;
        speed_t constant;
    };
    static constexpr Rate kRates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const Rate& entry : kRates) {
        if (entry.bitsPerSecond == rate) {
            speed = entry.constant;
            return true;
        }
    }
    return false;
}

bool SetDataBits(termios& settings, std::uint8_t dataBits)
{
    tcflag_t size = 0;
    switch (dataBits) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        return false;
    }
    settings.c_cflag = (settings.c_cflag & ~CSIZE) | size;
    return true;
}

bool SetParity(termios& settings, std::uint8_t parity)
{
    settings.c_cflag &= ~(PARENB | PARODD);
#ifdef CMSPAR
    settings.c_cflag &= ~CMSPAR;
#endif
    switch (parity) {
    case 0:
        return true;
    case 1:
        settings.c_cflag |= PARENB | PARODD;
        return true;
    case 2:
        settings.c_cflag |= PARENB;
        return true;
#ifdef CMSPAR
    case 3: // mark: the parity bit is always 1
        settings.c_cflag |= PARENB | CMSPAR | PARODD;
        return true;
    case 4: // space: always 0
        settings.c_cflag |= PARENB | CMSPAR;
        return true;
#endif
    default:
        return false;
    }
}

bool SetStopBits(termios& settings, std::uint8_t stopBits)
{
    switch (stopBits) {
    case 0:
        settings.c_cflag &= ~CSTOPB;
        return true;
    case 1: // termios has no one and a half; two is the nearer that keeps the receiver in step
    case 2:
        settings.c_cflag |= CSTOPB;
        return true;
    default:
        return false;
    }
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

// A pseudo-terminal takes every setting but forces 8 data bits and no parity, and glibc then
// reports EINVAL for the whole call. It has no wire for a parity bit to travel on, so such a
// result counts as applied when everything else did arrive.
bool AppliedButFraming(int fd, const termios& wanted)
{
    termios applied{};
    if (!IsPseudoTerminal(fd) || ::tcgetattr(fd, &applied) != 0) {
        return false;
    }
    tcflag_t framing = CSIZE | PARENB | PARODD;
#ifdef CMSPAR
    framing |= CMSPAR;
#endif
    return applied.c_iflag == wanted.c_iflag && applied.c_oflag == wanted.c_oflag &&
           applied.c_lflag == wanted.c_lflag &&
           (applied.c_cflag & ~framing) == (wanted.c_cflag & ~framing) &&
           ::cfgetispeed(&applied) == ::cfgetispeed(&wanted) &&
           ::cfgetospeed(&applied) == ::cfgetospeed(&wanted);
}

// Waits up to the given time for events on the port; the revents, or 0 on time-out.
short WaitFor(short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{s_port.m_fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
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

} // namespace

LineSettings BuildLineSettings(termios& settings, std::uint32_t baudRate, std::uint8_t dataBits,
                               std::uint8_t parity, std::uint8_t stopBits)
{
    // Raw: every byte passes unchanged in both directions (no echo, no line editing, no
    // CR/LF mapping, no XON/XOFF taken out of binary replies). Reads return at once with
    // what is queued. Hardware flow control and XOFF sending stay as the device had them.
    ::cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    settings.c_cflag |= CREAD | CLOCAL;

    speed_t speed = B0;
    if (!BaudConstant(baudRate, speed)) {
        return LineSettings::NoSuchBaudRate;
    }
    if (!SetDataBits(settings, dataBits) || !SetParity(settings, parity) || !SetStopBits(settings, stopBits)) {
        return LineSettings::NoSuchFraming;
    }
    if (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0) {
        return LineSettings::NoSuchBaudRate;
    }
    return LineSettings::Built;
}

bool PortOpen(int portNumber, std::uint32_t baudRate, std::uint8_t dataBits, std::uint8_t parity,
              std::uint8_t stopBits, std::uint32_t inQueue, std::uint32_t outQueue,
              std::uint32_t writeTimeoutMs)
{
    PortClose();

    s_port.m_portNumber = portNumber;
    s_port.m_device = ResolveComDevice(portNumber);
    if (s_port.m_device.empty()) {
        ReportFailure(kOpenFailed, ENOENT);
        return false;
    }

    const int fd = ::open(s_port.m_device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ReportFailure(kOpenFailed, errno);
        return false;
    }
    // TIOCEXCL alone does not keep out a second opener running as root; the lock does, and
    // it also covers programs that lock but never set TIOCEXCL.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        ReportFailure(kOpenFailed, error, " (another program holds the device)");
        return false;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::close(fd);
        ReportFailure(kOpenFailed, error);
        return false;
    }
    s_port.m_fd = fd;

    if (::tcgetattr(fd, &s_port.m_original) != 0) {
        ReportFailure(kGetStateFailed, errno);
        PortClose();
        return false;
    }
    s_port.m_haveOriginal = true;

    if (!PortSetBuffers(inQueue, outQueue)) {
        return false;
    }
    if (!PortSetState(baudRate, dataBits, parity, stopBits)) {
        return false;
    }
    PortSetTimeouts(writeTimeoutMs);
    PortPurge();
    // Errors counted before this session are none of its business.
    MarkLineErrors();

    std::FILE* out = DiagnosticStream();
    std::fprintf(out, kOpened, portNumber);
    std::fflush(out);
    return true;
}

void PortClose()
{
    if (s_port.m_fd < 0) {
        return;
    }
    // A vanished device refuses all of these; closing goes ahead regardless.
    if (s_port.m_haveOriginal) {
        ::tcsetattr(s_port.m_fd, TCSANOW, &s_port.m_original);
    }
    ::ioctl(s_port.m_fd, TIOCNXCL);
    ::close(s_port.m_fd); // also drops the flock
    s_port.m_fd = -1;
    s_port.m_haveOriginal = false;
    s_port.m_haveCounters = false;
    s_port.m_writeTimeoutMs = 0;
}

bool PortIsOpen()
{
    return s_port.m_fd >= 0;
}

std::uint32_t PortWrite(std::uint32_t count, const std::uint8_t* bytes)
{
    if (!PortIsOpen() || count == 0 || !bytes) {
        return 0;
    }
    if (TakeLineError()) {
        ::tcflush(s_port.m_fd, TCOFLUSH);
    }

    const Clock::time_point start = Clock::now();
    const Clock::time_point giveUp = start + kWriteWait;
    // A driver limit shorter than the wait ends the write with what was handed over, as a
    // Windows write with a total time-out completes short.
    const bool driverLimited = s_port.m_writeTimeoutMs > 0 && s_port.m_writeTimeoutMs < 1000;
    const Clock::time_point driverEnd = start + std::chrono::milliseconds(s_port.m_writeTimeoutMs);

    std::uint32_t written = 0;
    while (written < count) {
        const ssize_t n = ::write(s_port.m_fd, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return 0; // EIO and ENXIO: the device has gone
        }
        const Clock::time_point deadline = driverLimited ? driverEnd : giveUp;
        if (Clock::now() >= deadline) {
            return driverLimited ? written : 0;
        }
        const short events = WaitFor(POLLOUT, deadline);
        if ((events & (POLLHUP | POLLERR | POLLNVAL)) && !(events & POLLOUT)) {
            return 0;
        }
    }
    return count;
}

std::uint32_t PortRead(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs)
{
    if (!PortIsOpen() || capacity < 2 || !buffer) {
        return 0;
    }
    if (TakeLineError()) {
        // The bytes waiting may be the damaged ones; none of them can be trusted.
        ::tcflush(s_port.m_fd, TCIFLUSH);
        return 0;
    }
    int queued = 0;
    if (::ioctl(s_port.m_fd, FIONREAD, &queued) != 0 || queued <= 0) {
        return 0;
    }
    const std::size_t wanted =
        std::min<std::size_t>(capacity - 1, static_cast<std::size_t>(queued));

    bool waited = false;
    for (;;) {
        const ssize_t n = ::read(s_port.m_fd, buffer, wanted);
        if (n > 0) {
            return static_cast<std::uint32_t>(n);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || waited) {
            return 0; // end of file or EIO: the device has gone
        }
        // Counted but not yet readable: the driver is late; give it waitMs once.
        waited = true;
        const short events = WaitFor(POLLIN, Clock::now() + std::chrono::milliseconds(waitMs));
        if (!(events & POLLIN)) {
            return 0;
        }
    }
}

bool PortSetBuffers(std::uint32_t inQueue, std::uint32_t outQueue)
{
    if (!PortIsOpen()) {
        return false;
    }
    // The tty layer sizes its own queues; only sizes no driver could honour are refused.
    if (inQueue == 0 || outQueue == 0) {
        ReportFailure(kBuffersFailed, EINVAL);
        PortClose();
        return false;
    }
    return true;
}

bool PortSetState(std::uint32_t baudRate, std::uint8_t dataBits, std::uint8_t parity,
                  std::uint8_t stopBits)
{
    if (!PortIsOpen()) {
        return false;
    }
    termios settings{};
    if (::tcgetattr(s_port.m_fd, &settings) != 0) {
        ReportFailure(kGetStateFailed, errno);
        PortClose();
        return false;
    }

    switch (BuildLineSettings(settings, baudRate, dataBits, parity, stopBits)) {
    case LineSettings::Built:
        break;
    case LineSettings::NoSuchBaudRate:
        ReportFailure(kSetStateFailed, EINVAL, " (no such baud rate)");
        PortClose();
        return false;
    case LineSettings::NoSuchFraming:
        ReportFailure(kSetStateFailed, EINVAL);
        PortClose();
        return false;
    }
    if (::tcsetattr(s_port.m_fd, TCSANOW, &settings) != 0) {
        const int error = errno;
        if (error != EINVAL || !AppliedButFraming(s_port.m_fd, settings)) {
            ReportFailure(kSetStateFailed, error);
            PortClose();
            return false;
        }
    }
    return true;
}

bool PortSetTimeouts(std::uint32_t writeTimeoutMs)
{
    if (!PortIsOpen()) {
        return false;
    }
    s_port.m_writeTimeoutMs = writeTimeoutMs;
    return true;
}

void PortPurge()
{
    if (PortIsOpen()) {
        ::tcflush(s_port.m_fd, TCIOFLUSH);
    }
}

namespace {

// One queue's count (FIONREAD for input, TIOCOUTQ for output), acknowledging any line error
// as the status query of a serial driver does.
std::uint32_t QueueCount(unsigned long request)
{
    if (!PortIsOpen()) {
        return 0;
    }
    TakeLineError();
    int queued = 0;
    if (::ioctl(s_port.m_fd, request, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(queued);
}

} // namespace

std::uint32_t PortInQueueCount() { return QueueCount(FIONREAD); }

std::uint32_t PortOutQueueCount() { return QueueCount(TIOCOUTQ); }

std::FILE* PortSetDiagnosticStream(std::FILE* stream)
{
    std::FILE* previous = s_port.m_diagnostics;
    s_port.m_diagnostics = stream;
    return previous;
}

PortLineErrorProbe PortSetLineErrorProbe(PortLineErrorProbe probe)
{
    PortLineErrorProbe previous = std::move(s_port.m_probe);
    s_port.m_probe = std::move(probe);
    return previous;
}
