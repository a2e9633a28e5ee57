#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace metersim {

namespace {

constexpr std::size_t kReadChunk = 4096;
// Bytes that never fall silent are not a request: give up on them at this size.
constexpr std::size_t kMaxPending = 8192;
// A pseudo-terminal hands a request over in one go; the silence only has to outlast the
// master's write calls of one frame.
constexpr int kPtySilenceMs = 10;
// On a device, USB adapters deliver bytes in bursts some milliseconds apart; stay above that.
constexpr int kMinDeviceSilenceMs = 20;
constexpr int kWriteStallMs = 1000;

std::string ErrorText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

speed_t SpeedOf(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

int BaudOfSpeed(speed_t speed)
{
    switch (speed) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    default:
        return 0;
    }
}

int BaudOfCode(std::uint8_t code)
{
    switch (code) {
    case 0x04:
        return 1200;
    case 0x08:
        return 2400;
    case 0x10:
        return 4800;
    default:
        return 9600;
    }
}

std::uint8_t CodeOfBaud(int baud)
{
    switch (baud) {
    case 1200:
        return 0x04;
    case 2400:
        return 0x08;
    case 4800:
        return 0x10;
    default:
        return 0x20;
    }
}

LineParity ParityOfCode(std::uint8_t code)
{
    switch (code) {
    case 0:
        return LineParity::Even;
    case 1:
        return LineParity::Odd;
    default:
        return LineParity::None;
    }
}

// Start bit, 8 data bits, the parity bit if any, 1 stop bit.
int BitsPerCharacter(const MeterState& state)
{
    return ParityOfCode(state.parityCode) == LineParity::None ? 10 : 11;
}

// One character's time on the line; zero for an unknown speed, which then costs no time.
std::chrono::nanoseconds CharacterTime(int baud, int bits)
{
    if (baud <= 0) {
        return std::chrono::nanoseconds(0);
    }
    return std::chrono::nanoseconds((std::int64_t{bits} * 1'000'000'000 + baud / 2) / baud);
}

std::uint8_t CodeOfParity(LineParity parity)
{
    switch (parity) {
    case LineParity::Even:
        return 0;
    case LineParity::Odd:
        return 1;
    case LineParity::None:
        break;
    }
    return 2;
}

// Raw 8-bit line, 1 stop bit, no flow control, reads that never block in the driver.
bool ConfigureLine(int fd, int baud, LineParity parity, std::string* error)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        *error = ErrorText("tcgetattr");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS | PARENB | PARODD);
    if (parity != LineParity::None) {
        tio.c_cflag |= PARENB;
        tio.c_iflag |= INPCK;
    }
    if (parity == LineParity::Odd) {
        tio.c_cflag |= PARODD;
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = SpeedOf(baud);
    if (speed == B0) {
        *error = "unsupported baud rate " + std::to_string(baud);
        return false;
    }
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = ErrorText("tcsetattr");
        return false;
    }
    return true;
}

bool MakeWakePipe(int fds[2], std::string* error)
{
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        *error = ErrorText("pipe2");
        return false;
    }
    return true;
}

void CloseIfOpen(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

MeterSimulator::MeterSimulator(MeterKind kind, int lineFd, int holdFd, int wakeRead, int wakeWrite,
                               std::string path, bool device)
    : m_kind(kind), m_path(std::move(path)), m_device(device), m_lineFd(lineFd), m_holdFd(holdFd),
      m_wakeRead(wakeRead), m_wakeWrite(wakeWrite),
      m_release(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC | EFD_SEMAPHORE)), m_meters(1),
      m_silenceMs(device ? kMinDeviceSilenceMs : kPtySilenceMs)
{
}

std::unique_ptr<MeterSimulator> MeterSimulator::OnPseudoTerminal(MeterKind kind, std::string* error)
{
    std::string ignored;
    std::string& reason = error != nullptr ? *error : ignored;
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        reason = ErrorText("openpty");
        return nullptr;
    }
    char name[PATH_MAX] = {};
    int wake[2] = {-1, -1};
    const bool ready =
        ptsname_r(master, name, sizeof name) == 0 && fcntl(master, F_SETFL, O_NONBLOCK) == 0 &&
        fcntl(master, F_SETFD, FD_CLOEXEC) == 0 && fcntl(slave, F_SETFD, FD_CLOEXEC) == 0;
    if (!ready) {
        reason = ErrorText("pseudo-terminal set-up");
    }
    if (!ready || !ConfigureLine(slave, 9600, LineParity::None, &reason) ||
        !MakeWakePipe(wake, &reason)) {
        ::close(master);
        ::close(slave);
        return nullptr;
    }
    return std::unique_ptr<MeterSimulator>(
        new MeterSimulator(kind, master, slave, wake[0], wake[1], name, false));
}

std::unique_ptr<MeterSimulator> MeterSimulator::OnDevice(MeterKind kind, const std::string& path,
                                                         int baud, LineParity parity,
                                                         std::string* error)
{
    std::string ignored;
    std::string& reason = error != nullptr ? *error : ignored;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = ErrorText(path.c_str());
        return nullptr;
    }
    int wake[2] = {-1, -1};
    if (!ConfigureLine(fd, baud, parity, &reason) || !MakeWakePipe(wake, &reason)) {
        ::close(fd);
        return nullptr;
    }
    tcflush(fd, TCIOFLUSH);
    std::unique_ptr<MeterSimulator> meter(
        new MeterSimulator(kind, fd, -1, wake[0], wake[1], path, true));
    meter->m_meters[0].state.baudCode = CodeOfBaud(baud);
    meter->m_meters[0].state.parityCode = CodeOfParity(parity);
    // 3.5 character times of 11 bits, the Modbus RTU frame gap, when slower than the minimum.
    meter->m_silenceMs = std::max(kMinDeviceSilenceMs, (35 * 11 * 1000 / 10 + baud - 1) / baud);
    return meter;
}

MeterSimulator::~MeterSimulator()
{
    stop();
    CloseIfOpen(m_lineFd);
    CloseIfOpen(m_holdFd);
    ::close(m_wakeRead);
    ::close(m_wakeWrite);
    if (m_release >= 0) {
        ::close(m_release);
    }
}

void MeterSimulator::start()
{
    if (m_thread.joinable()) {
        return;
    }
    char drain[64];
    while (::read(m_wakeRead, drain, sizeof drain) > 0) {
    }
    m_stopRequested = false;
    m_thread = std::thread(&MeterSimulator::run, this);
}

void MeterSimulator::stop()
{
    if (!m_thread.joinable()) {
        return;
    }
    m_stopRequested = true;
    wake();
    m_thread.join();
}

MeterState MeterSimulator::state() const
{
    return state(0);
}

void MeterSimulator::setState(const MeterState& state)
{
    setState(0, state);
}

void MeterSimulator::updateState(const std::function<void(MeterState&)>& change)
{
    updateState(0, change);
}

std::size_t MeterSimulator::addMeter(const MeterState& state)
{
    std::lock_guard lock(m_mutex);
    m_meters.push_back({state});
    return m_meters.size() - 1;
}

std::size_t MeterSimulator::meterCount() const
{
    std::lock_guard lock(m_mutex);
    return m_meters.size();
}

MeterState MeterSimulator::state(std::size_t meter) const
{
    std::lock_guard lock(m_mutex);
    return m_meters.at(meter).state;
}

void MeterSimulator::setState(std::size_t meter, const MeterState& state)
{
    std::lock_guard lock(m_mutex);
    m_meters.at(meter).state = state;
}

void MeterSimulator::updateState(std::size_t meter, const std::function<void(MeterState&)>& change)
{
    std::lock_guard lock(m_mutex);
    change(m_meters.at(meter).state);
}

Misbehaviour MeterSimulator::misbehaviour() const
{
    std::lock_guard lock(m_mutex);
    return m_misbehaviour;
}

void MeterSimulator::setMisbehaviour(const Misbehaviour& misbehaviour)
{
    std::lock_guard lock(m_mutex);
    m_misbehaviour = misbehaviour;
    for (Meter& meter : m_meters) {
        meter.replies = 0;
    }
}

void MeterSimulator::setWireTime(bool on)
{
    std::lock_guard lock(m_mutex);
    m_wireTime = on;
}

bool MeterSimulator::wireTime() const
{
    std::lock_guard lock(m_mutex);
    return m_wireTime;
}

void MeterSimulator::setNoiseAtWrongSpeed(bool on)
{
    std::lock_guard lock(m_mutex);
    m_noiseAtWrongSpeed = on;
}

int MeterSimulator::lineBaud() const
{
    std::lock_guard lock(m_mutex);
    return lineBaudNow();
}

// Found on this machine (Debian 12, Linux 6.x): tcgetattr on the master side of a
// pseudo-terminal returns the termios of its slave side, so the speed a master program set
// with cfsetospeed on the /dev/pts/N it opened is seen here at once; it stays after that
// program closes the slave and opens it again, as long as the slave is held open (we hold
// it). The same call shows PARENB always clear, whatever was set: the pseudo-terminal drops
// the parity bit, which is why parity is never compared.
int MeterSimulator::lineBaudNow() const
{
    termios tio{};
    if (m_lineFd < 0 || tcgetattr(m_lineFd, &tio) != 0) {
        return 0;
    }
    return BaudOfSpeed(cfgetospeed(&tio));
}

void MeterSimulator::setSilenceMs(int ms)
{
    std::lock_guard lock(m_mutex);
    m_silenceMs = std::max(ms, 1);
}

void MeterSimulator::setTrafficLog(TrafficLog log)
{
    std::lock_guard lock(m_mutex);
    m_log = std::move(log);
}

std::uint64_t MeterSimulator::requestsSeen() const
{
    return m_requests;
}

std::uint64_t MeterSimulator::repliesSent() const
{
    return m_replies;
}

std::vector<std::uint8_t> MeterSimulator::lastRequest() const
{
    std::lock_guard lock(m_mutex);
    return m_lastRequest;
}

bool MeterSimulator::waitForRequests(std::uint64_t count, std::chrono::milliseconds timeout) const
{
    return waitFor(m_requests, count, timeout);
}

bool MeterSimulator::waitForReplies(std::uint64_t count, std::chrono::milliseconds timeout) const
{
    return waitFor(m_replies, count, timeout);
}

bool MeterSimulator::waitFor(const std::atomic<std::uint64_t>& counter, std::uint64_t count,
                             std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return counter >= count; });
}

void MeterSimulator::releaseSilence()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_release, &one, sizeof one);
}

void MeterSimulator::closeLine()
{
    if (!m_thread.joinable() || std::this_thread::get_id() == m_thread.get_id()) {
        closeLineNow();
        return;
    }
    // The thread owns the descriptor while it runs: closing it under a poll() in progress
    // could let a new descriptor with the same number be read in its place.
    m_closeRequested = true;
    wake();
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_lineOpen; });
}

bool MeterSimulator::lineOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_lineOpen;
}

void MeterSimulator::closeLineNow()
{
    {
        std::lock_guard lock(m_mutex);
        CloseIfOpen(m_lineFd);
        CloseIfOpen(m_holdFd);
        m_lineOpen = false;
        m_closeRequested = false;
    }
    m_changed.notify_all();
}

void MeterSimulator::wake()
{
    const char byte = 1;
    // A full pipe already wakes the thread.
    [[maybe_unused]] const ssize_t written = ::write(m_wakeWrite, &byte, 1);
}

void MeterSimulator::log(Direction direction, std::span<const std::uint8_t> bytes) const
{
    TrafficLog log;
    {
        std::lock_guard lock(m_mutex);
        log = m_log;
    }
    if (log) {
        log(direction, bytes);
    }
}

void MeterSimulator::run()
{
    std::vector<std::uint8_t> pending;
    Clock::time_point lastByte = Clock::now();
    // With wire time: when the last pending byte is in on the line the master sees, the
    // master's speed when the first came, and one character's time at that speed.
    Clock::time_point arrived = lastByte;
    int pendingBaud = 0;
    std::chrono::nanoseconds byteTime(0);
    std::uint8_t chunk[kReadChunk];
    while (!m_stopRequested) {
        int silenceMs = 0;
        bool paced = false;
        int bits = 10;
        {
            std::lock_guard lock(m_mutex);
            silenceMs = m_silenceMs;
            paced = m_wireTime && !m_device;
            // The request's framing is not known before it is read: take the first meter's.
            bits = BitsPerCharacter(m_meters.front().state);
        }
        const auto silence = std::chrono::milliseconds(silenceMs);
        int timeout = -1;
        if (!pending.empty()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(silence - (Clock::now() - lastByte));
            timeout = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
        pollfd fds[2] = {{m_wakeRead, POLLIN, 0}, {m_lineFd, POLLIN, 0}};
        const nfds_t count = m_lineFd >= 0 ? 2 : 1;
        if (::poll(fds, count, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (::read(m_wakeRead, drain, sizeof drain) > 0) {
            }
            if (m_stopRequested) {
                break;
            }
            if (m_closeRequested) {
                closeLineNow();
                pending.clear();
            }
            continue;
        }
        if (count == 2 && fds[1].revents != 0) {
            const ssize_t n =
                (fds[1].revents & POLLIN) != 0 ? ::read(m_lineFd, chunk, sizeof chunk) : 0;
            if (n > 0) {
                lastByte = Clock::now();
                if (pending.empty()) {
                    pendingBaud = lineBaudNow();
                    byteTime = paced ? CharacterTime(pendingBaud, bits) : byteTime.zero();
                }
                // The master wrote these bytes at once; the line would still be carrying
                // them one after the other.
                arrived = std::max(lastByte, arrived) + byteTime * n;
                pending.insert(pending.end(), chunk, chunk + n);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // The device is gone (an adapter pulled out): stop listening to it.
                closeLineNow();
                pending.clear();
                continue;
            }
        }
        while (!pending.empty() && m_lineFd >= 0 && !m_stopRequested) {
            std::size_t length = CompleteFrameLength(pending);
            if (length == 0) {
                if (Clock::now() - lastByte < silence && pending.size() < kMaxPending) {
                    break;
                }
                length = pending.size();
            }
            const std::vector<std::uint8_t> frame(
                pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
            const auto behind = static_cast<std::int64_t>(pending.size());
            handleFrame(frame, arrived - byteTime * behind, pendingBaud);
        }
    }
}

void MeterSimulator::handleFrame(const std::vector<std::uint8_t>& frame, Clock::time_point arrived,
                                 int baud)
{
    log(Direction::Request, frame);
    Response response;
    Pacing pacing;
    bool lineChanged = false;
    MeterState after;
    {
        std::lock_guard lock(m_mutex);
        m_lastRequest = frame;
        ++m_requests;
        if (const std::optional<std::size_t> index = addressee(frame)) {
            Meter& meter = m_meters[*index];
            // The reply goes out at the meter's settings before the request: a new baud
            // rate takes effect after it, as on a real meter.
            const int own = BaudOfCode(meter.state.baudCode);
            pacing = {m_wireTime && !m_device, arrived,
                      CharacterTime(own, BitsPerCharacter(meter.state))};
            if (pacing.on && baud != own) {
                if (m_noiseAtWrongSpeed && !m_misbehaviour.silent) {
                    MeterState scratch = meter.state;
                    const std::vector<std::uint8_t> reply = AnswerRequest(scratch, m_kind, frame);
                    if (!reply.empty()) {
                        response.delayMs = std::max(m_misbehaviour.delayMs, 0);
                        response.pieces.push_back(NoiseFor(reply, own, baud));
                        // It takes the line as long as the reply it stands for.
                        pacing.byteTime = pacing.byteTime *
                                          static_cast<std::int64_t>(reply.size()) /
                                          static_cast<std::int64_t>(response.pieces[0].size());
                    }
                }
            } else {
                Misbehaviour used = m_misbehaviour;
                if (used.spoilEvery > 0 && (meter.replies + 1) % used.spoilEvery == 0) {
                    used.corruptCrc = true;
                }
                const MeterState before = meter.state;
                response = Serve(meter.state, m_kind, frame, used);
                if (!response.pieces.empty()) {
                    ++meter.replies;
                }
                after = meter.state;
                lineChanged = m_device && (before.baudCode != after.baudCode ||
                                           before.parityCode != after.parityCode);
            }
        }
    }
    m_changed.notify_all();
    if (!response.pieces.empty()) {
        send(response, pacing);
    }
    if (lineChanged && m_lineFd >= 0) {
        // The reply still goes out at the old settings.
        tcdrain(m_lineFd);
        std::string error;
        ConfigureLine(m_lineFd, BaudOfCode(after.baudCode), ParityOfCode(after.parityCode), &error);
    }
}

std::optional<std::size_t> MeterSimulator::addressee(std::span<const std::uint8_t> frame) const
{
    const bool toEvery = ToEveryMeter(frame);
    for (std::size_t i = 0; i < m_meters.size(); ++i) {
        if (Addresses(frame, m_meters[i].state)) {
            return i;
        }
        if (toEvery) {
            break;
        }
    }
    return std::nullopt;
}

void MeterSimulator::send(const Response& response, const Pacing& pacing)
{
    // Paced, every time comes from one schedule, so that waking late for one byte never
    // delays the rest.
    Clock::time_point at =
        (pacing.on ? pacing.start : Clock::now()) + std::chrono::milliseconds(response.delayMs);
    if (!waitUntil(at)) {
        return;
    }
    for (std::size_t i = 0; i < response.pieces.size(); ++i) {
        const std::vector<std::uint8_t>& piece = response.pieces[i];
        if (i > 0) {
            at = (pacing.on ? at : Clock::now()) + std::chrono::milliseconds(response.gapMs);
            if (!waitUntil(at)) {
                return;
            }
        }
        if (pacing.on) {
            if (!writePaced(piece, at, pacing.byteTime)) {
                return;
            }
            at += pacing.byteTime * static_cast<std::int64_t>(piece.size());
        } else if (!writeAll(piece)) {
            return;
        }
        log(Direction::Reply, piece);
    }
    {
        std::lock_guard lock(m_mutex);
        ++m_replies;
    }
    m_changed.notify_all();
}

// Waits until then, unless stop() or closeLine() wants the thread first (false then) or
// releaseSilence() ends the wait early. To the microsecond (ppoll), as a character at 9600
// baud lasts barely more than a millisecond.
bool MeterSimulator::waitUntil(Clock::time_point until)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
        if (left <= 0) {
            return true;
        }
        const timespec timeout{static_cast<time_t>(left / 1'000'000'000),
                               static_cast<long>(left % 1'000'000'000)};
        pollfd fds[2] = {{m_wakeRead, POLLIN, 0}, {m_release, POLLIN, 0}};
        const int rc = ::ppoll(fds, 2, &timeout, nullptr);
        if (rc > 0 && fds[0].revents != 0) {
            return false; // the main loop drains the pipe and acts on it
        }
        std::uint64_t count = 0;
        if (rc > 0 && ::read(m_release, &count, sizeof count) == sizeof count) {
            return true;
        }
        if (rc < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Byte k goes out when its stop bit would be done, start + (k + 1) character times. Bytes
// already due (the thread woke late) go out together.
bool MeterSimulator::writePaced(std::span<const std::uint8_t> bytes, Clock::time_point start,
                                std::chrono::nanoseconds byteTime)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const Clock::duration since = Clock::now() - start;
        std::size_t due = bytes.size();
        if (byteTime.count() > 0) {
            due = since.count() < 0
                      ? 0
                      : std::min(bytes.size(), static_cast<std::size_t>(since / byteTime));
        }
        if (due > sent) {
            if (!writeAll(bytes.subspan(sent, due - sent))) {
                return false;
            }
            sent = due;
        } else if (!waitUntil(start + byteTime * static_cast<std::int64_t>(sent + 1))) {
            return false;
        }
    }
    return true;
}

bool MeterSimulator::writeAll(std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (m_lineFd < 0) {
            return false;
        }
        const ssize_t n = ::write(m_lineFd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // Nobody reads the other side and its buffer is full: wait a while, then drop
            // the rest as a meter on a dead bus would.
            pollfd fds[2] = {{m_lineFd, POLLOUT, 0}, {m_wakeRead, POLLIN, 0}};
            if (::poll(fds, 2, kWriteStallMs) <= 0 || fds[1].revents != 0) {
                return false;
            }
            continue;
        }
        closeLineNow();
        return false;
    }
    return true;
}

} // namespace metersim
