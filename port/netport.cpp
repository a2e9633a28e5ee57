#include "netport.h"

#include "replies.h"
#include "waits.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// However long the line, a request is on its way to the gateway within this time or never.
constexpr std::chrono::milliseconds kSendWait{1000};

std::string Endpoint(const PortName& address)
{
    const bool literal6 = address.host.find(':') != std::string::npos;
    return (literal6 ? "[" + address.host + "]" : address.host) + ":" +
           std::to_string(address.port);
}

// The host's addresses, the lookup bounded by the deadline (a resolver that never answers
// must not hang the caller); null and the reason in *why otherwise.
addrinfo* Resolve(const PortName& address, Clock::time_point deadline, std::string* why)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(address.port);
    // A literal address needs no resolver, and getaddrinfo_a would start a thread for it;
    // nor the look at the machine's interfaces of AI_ADDRCONFIG, which costs more than the
    // connection itself on loopback (a few hundred microseconds, for each of many ports).
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found) == 0) {
        return found;
    }
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    // The request and its strings must outlive a lookup that could not be cancelled: they
    // are then left to the resolver's thread.
    struct Lookup
    {
        std::string host;
        std::string service;
        addrinfo hints;
        gaicb request;
    };
    auto* lookup = new Lookup{address.host, service, hints, {}};
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_service = lookup->service.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* list[] = {&lookup->request};
    if (::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
        delete lookup;
        *why = "host '" + address.host + "' cannot be looked up";
        return nullptr;
    }
    int status = EAI_INPROGRESS;
    while ((status = ::gai_error(&lookup->request)) == EAI_INPROGRESS) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        const timespec wait{static_cast<time_t>(left.count() / 1000),
                            static_cast<long>(left.count() % 1000) * 1'000'000};
        const gaicb* waiting[] = {&lookup->request};
        ::gai_suspend(waiting, 1, &wait);
    }
    if (status == EAI_INPROGRESS) {
        if (::gai_cancel(&lookup->request) == EAI_CANCELED) {
            delete lookup;
        } // else the resolver still owns it: left behind, a few bytes
        *why = "host '" + address.host + "' could not be looked up in time";
        return nullptr;
    }
    addrinfo* result = lookup->request.ar_result;
    delete lookup;
    if (status != 0) {
        *why = "host '" + address.host + "' not found (" + ::gai_strerror(status) + ")";
        return nullptr;
    }
    return result;
}

// One connection attempt to one address; the socket, or -1 with errno set (ETIMEDOUT when
// the deadline passed).
int ConnectOne(const addrinfo& to, Clock::time_point deadline)
{
    const int fd =
        ::socket(to.ai_family, to.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, to.ai_protocol);
    if (fd < 0) {
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, to.ai_addr, to.ai_addrlen) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    for (;;) {
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, PollTimeout(deadline - Clock::now()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            ::close(fd);
            errno = ETIMEDOUT;
            return -1;
        }
        break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        ::close(fd);
        errno = error != 0 ? error : EIO;
        return -1;
    }
    return fd;
}

} // namespace

NetPort::NetPort(PortKind kind) : m_kind(kind) {}

NetPort::~NetPort()
{
    closeSocket();
}

bool NetPort::open(const std::string& name, const SerialSettings& settings)
{
    close();
    m_name = name;
    m_lastError.clear();
    m_notes.clear();
    m_lost = false;
    m_lateReplies = 0;
    PortName parsed;
    std::string why;
    if (!ParsePortName(name, &parsed, &why) || parsed.kind != m_kind) {
        m_lastError = why.empty() ? name + ": not a " + PortKindScheme(m_kind) + " name" : why;
        return false;
    }
    m_address = parsed;
    m_settings = settings;
    if (!connect()) {
        return false;
    }
    m_open = true;
    return true;
}

void NetPort::close()
{
    closeSocket();
    m_open = false;
    m_lost = false;
    m_received.clear();
}

bool NetPort::isOpen() const
{
    return m_open;
}

LineState NetPort::state() const
{
    if (m_lost) {
        return LineState::Disconnected;
    }
    return m_open ? LineState::Usable : LineState::Closed;
}

const std::string& NetPort::devicePath() const
{
    return m_name;
}

const std::string& NetPort::lastError() const
{
    return m_lastError;
}

const std::string& NetPort::notes() const
{
    return m_notes;
}

unsigned NetPort::extraLatencyMs() const
{
    return m_roundTripMs + kGatewayAllowanceMs;
}

bool NetPort::configure(const SerialSettings& settings)
{
    if (!m_open) {
        return false;
    }
    m_settings = settings;
    return true;
}

bool NetPort::greet(const SerialSettings& /*settings*/)
{
    return true;
}

void NetPort::setConnectTimeout(unsigned ms)
{
    m_connectTimeoutMs = std::clamp<unsigned>(ms, 1, kLongestWaitMs);
}

void NetPort::setLateReplyTap(std::function<void(std::span<const std::uint8_t>)> tap)
{
    m_lateTap = std::move(tap);
}

bool NetPort::connect()
{
    closeSocket();
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(m_connectTimeoutMs);
    std::string why;
    addrinfo* found = Resolve(m_address, deadline, &why);
    if (!found) {
        m_errorNumber = ENOENT;
        fail(why);
        return false;
    }
    int error = 0;
    for (const addrinfo* entry = found; entry && m_fd < 0; entry = entry->ai_next) {
        m_fd = ConnectOne(*entry, deadline);
        if (m_fd < 0) {
            error = errno;
        }
    }
    ::freeaddrinfo(found);
    const std::string endpoint = Endpoint(m_address);
    m_errorNumber = m_fd < 0 ? error : 0;
    if (m_fd < 0) {
        if (error == ETIMEDOUT) {
            fail("no connection to " + endpoint + " within " + std::to_string(m_connectTimeoutMs) +
                 " ms");
        } else if (error == ECONNREFUSED) {
            fail("connection refused by " + endpoint + " (nothing listens there)");
        } else {
            fail("cannot connect to " + endpoint + ": " + std::strerror(error));
        }
        return false;
    }
    m_roundTripMs = static_cast<unsigned>(
        std::chrono::ceil<std::chrono::milliseconds>(Clock::now() - start).count());
    ++m_connections;
    m_received.clear();
    restart();
    if (!greet(m_settings)) {
        closeSocket();
        return false;
    }
    m_lost = false;
    return true;
}

bool NetPort::reconnect()
{
    if (m_fd >= 0) {
        return true;
    }
    if (!m_open) {
        return false;
    }
    const std::string lost = m_lastError;
    if (!connect()) {
        m_lastError = (lost.empty() ? m_name + ": connection lost" : lost) + "; reconnecting: " +
                      m_lastError.substr(std::min(m_lastError.size(), m_name.size() + 2));
        return false;
    }
    m_lastError.clear();
    return true;
}

void NetPort::closeSocket()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void NetPort::lose()
{
    closeSocket();
    m_lost = true;
    fail("connection lost (closed by " + Endpoint(m_address) + ")");
}

void NetPort::dropConnection()
{
    closeSocket();
}

bool NetPort::receiveSome(int timeoutMs)
{
    pollfd entry{m_fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, timeoutMs);
    if (ready < 0) {
        return errno == EINTR;
    }
    if (ready == 0) {
        return true;
    }
    std::uint8_t chunk[4096];
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
        absorb({chunk, static_cast<std::size_t>(n)});
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return true;
    }
    lose(); // end of stream, or reset
    return false;
}

bool NetPort::receiveWaiting()
{
    // Bounded: a gateway that floods the line cannot keep the caller here.
    for (int round = 0; round < 16 && m_fd >= 0; ++round) {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, 0) <= 0) {
            return true;
        }
        if (!receiveSome(0)) {
            return false;
        }
    }
    return m_fd >= 0;
}

bool NetPort::receiveUntil(Clock::time_point deadline, const std::function<bool()>& done)
{
    while (m_fd >= 0 && !done()) {
        const int timeout = PollTimeout(deadline - Clock::now());
        if (timeout == 0 && Clock::now() >= deadline) {
            return receiveWaiting();
        }
        if (!receiveSome(timeout)) {
            return false;
        }
    }
    return m_fd >= 0;
}

bool NetPort::sendAll(std::span<const std::uint8_t> bytes, Clock::time_point deadline)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd entry{m_fd, POLLOUT, 0};
            if (::poll(&entry, 1, PollTimeout(deadline - Clock::now())) > 0) {
                continue;
            }
            fail("the gateway takes no more bytes");
            return false;
        }
        lose();
        return false;
    }
    return true;
}

void NetPort::deliver(std::span<const std::uint8_t> bytes)
{
    m_received.insert(m_received.end(), bytes.begin(), bytes.end());
}

void NetPort::dropLate(std::span<const std::uint8_t> bytes)
{
    ++m_lateReplies;
    if (m_lateTap) {
        m_lateTap(bytes);
    }
}

std::uint32_t NetPort::write(std::uint32_t count, const std::uint8_t* bytes)
{
    if (!m_open || count == 0 || !bytes) {
        return 0;
    }
    // A gateway that closed the connection since the last request is seen here, before the
    // request is lost in a dead socket.
    if (m_fd >= 0) {
        receiveWaiting();
    }
    if (m_fd < 0 && !reconnect()) {
        return 0;
    }
    std::string why;
    const auto encoded = encode({bytes, count}, &why);
    if (!encoded) {
        fail(why);
        return 0;
    }
    if (!sendAll(*encoded, Clock::now() + kSendWait)) {
        return 0;
    }
    return count;
}

std::uint32_t NetPort::read(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t /*waitMs*/)
{
    if (!m_open || capacity < 2 || !buffer) {
        return 0;
    }
    if (m_fd >= 0) {
        receiveWaiting();
    }
    const std::size_t n = std::min<std::size_t>(capacity - 1, m_received.size());
    std::copy_n(m_received.begin(), n, buffer);
    m_received.erase(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<std::uint32_t>(n);
}

bool NetPort::waitReadable(std::uint32_t waitMs)
{
    if (!m_open) {
        return false;
    }
    if (m_received.empty() && m_fd >= 0) {
        receiveUntil(Clock::now() + ClampedWait(waitMs), [this] { return !m_received.empty(); });
    }
    return !m_received.empty();
}

void NetPort::purge()
{
    if (m_fd >= 0) {
        receiveWaiting();
    }
    m_received.clear();
}

// RTU over TCP.

namespace {

// Whether the first bytes of a reply have the shape of the answer to this request: its
// address, its function (or that function's exception) and, for a read, its byte count.
bool Fits(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply)
{
    if (request.size() < 6 || reply.size() < 2 || reply[0] != request[0] ||
        (reply[1] & 0x7F) != request[1]) {
        return false;
    }
    const bool read = request[1] == 0x03 || request[1] == 0x04;
    return !read || reply.size() < 3 || (reply[1] & 0x80) != 0 ||
           reply[2] == 2 * (request[4] << 8 | request[5]);
}

bool Complete(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply)
{
    const std::size_t expected = ExpectedReplyLength(request, reply);
    return expected != 0 && reply.size() >= expected;
}

} // namespace

std::optional<std::vector<std::uint8_t>> RtuTcpPort::encode(std::span<const std::uint8_t> request,
                                                            std::string* /*why*/)
{
    // A request whose reply has not come in full may still be answered after this one
    // leaves, for as long again as it was waited for.
    const Clock::time_point now = Clock::now();
    if (!m_request.empty() && !Complete(m_request, m_reply)) {
        m_lateRequest = m_request;
        m_lateReply = m_reply;
        m_lateUntil = now + std::min<Clock::duration>(now - m_sentAt, std::chrono::seconds(5));
    } else {
        m_lateRequest.clear();
        m_lateReply.clear();
    }
    m_request.assign(request.begin(), request.end());
    m_reply.clear();
    m_sentAt = now;
    return m_request;
}

void RtuTcpPort::absorb(std::span<const std::uint8_t> bytes)
{
    std::size_t taken = 0;
    if (!m_lateRequest.empty() && m_reply.empty()) {
        // A reply cut off by the next request goes on where it stopped; one that had not
        // started is the late one when it has its shape and not that of the new request's.
        const bool late =
            !m_lateReply.empty() ||
            (Clock::now() < m_lateUntil && Fits(m_lateRequest, bytes) && !Fits(m_request, bytes));
        if (late) {
            const std::size_t before = m_lateReply.size();
            while (taken < bytes.size() && !Complete(m_lateRequest, m_lateReply) &&
                   m_lateReply.size() < kRecvBufferLimit) {
                m_lateReply.push_back(bytes[taken++]);
            }
            dropLate({m_lateReply.data() + before, m_lateReply.size() - before});
            if (Complete(m_lateRequest, m_lateReply) || m_lateReply.size() >= kRecvBufferLimit) {
                m_lateRequest.clear();
                m_lateReply.clear();
            }
        } else {
            m_lateRequest.clear();
            m_lateReply.clear();
        }
    }
    const std::span<const std::uint8_t> rest = bytes.subspan(taken);
    m_reply.insert(m_reply.end(), rest.begin(), rest.end());
    deliver(rest);
}

void RtuTcpPort::restart()
{
    m_request.clear();
    m_reply.clear();
    m_lateRequest.clear();
    m_lateReply.clear();
}

std::unique_ptr<NetPort> MakeNetPort(PortKind kind)
{
    switch (kind) {
    case PortKind::ModbusTcp:
        return std::make_unique<ModbusTcpPort>();
    case PortKind::RtuTcp:
        return std::make_unique<RtuTcpPort>();
    case PortKind::Rfc2217:
        return std::make_unique<Rfc2217Port>();
    case PortKind::Serial:
        break;
    }
    return nullptr;
}
