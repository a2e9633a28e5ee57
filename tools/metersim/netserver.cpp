#include "netserver.h"

#include "crc.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace metersim {

namespace {

using Clock = std::chrono::steady_clock;

// A device server in raw mode ends a request by the line's silence when its length cannot
// be told from its first bytes.
constexpr auto kRtuSilence = std::chrono::milliseconds(10);
constexpr std::size_t kMaxPending = 8192;
constexpr std::uint8_t kGatewayTargetFailed = 0x0B;
const char kGarbage[] = "HTTP/1.0 400 Bad Request\r\n\r\n";

std::string ErrorText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// One character on the line behind the gateway at the meter's settings.
std::chrono::nanoseconds CharacterTime(const MeterState& state)
{
    const int baud = state.baudCode == 0x04   ? 1200
                     : state.baudCode == 0x08 ? 2400
                     : state.baudCode == 0x10 ? 4800
                                              : 9600;
    const int bits = state.parityCode == 2 ? 10 : 11;
    return std::chrono::nanoseconds(std::int64_t{bits} * 1'000'000'000 / baud);
}

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> frame)
{
    const std::uint16_t crc = CalcCrc16(frame.data(), static_cast<std::uint16_t>(frame.size()));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    frame.push_back(static_cast<std::uint8_t>(crc));
    return frame;
}

// An MBAP frame: the request's transaction id, protocol 0, then unit id and PDU.
std::vector<std::uint8_t> Mbap(const std::vector<std::uint8_t>& header,
                               std::span<const std::uint8_t> unitAndPdu, std::size_t claimed)
{
    std::vector<std::uint8_t> frame(6 + unitAndPdu.size());
    frame[0] = header[0];
    frame[1] = header[1];
    frame[4] = static_cast<std::uint8_t>(claimed >> 8);
    frame[5] = static_cast<std::uint8_t>(claimed);
    std::copy(unitAndPdu.begin(), unitAndPdu.end(), frame.begin() + 6);
    return frame;
}

} // namespace

struct NetServer::Listener
{
    int fd = -1;
    NetFraming framing = NetFraming::ModbusTcp;
    std::string host;
    std::uint16_t port = 0;
    std::vector<MeterState> meters; // the bus behind this gateway
    std::vector<std::uint64_t> replies;
    Clock::time_point lineFree{}; // when the line behind it is quiet again
};

struct NetServer::Outgoing
{
    Clock::time_point at;
    std::vector<std::uint8_t> bytes;
    bool closeAfter = false;
};

struct NetServer::Connection
{
    int fd = -1;
    std::size_t listener = 0;
    std::vector<std::uint8_t> pending;
    Clock::time_point lastByte{};
    std::deque<Outgoing> out;
    std::size_t outSent = 0; // of out.front(), when the socket took only part of it
    bool answered = false;
    std::vector<std::uint8_t> previousReply;
    bool closing = false;
};

NetServer::NetServer(MeterKind kind, std::vector<MeterState> meters, Misbehaviour misbehaviour,
                     bool wireTime, NetFault fault)
    : m_kind(kind), m_meters(std::move(meters)), m_misbehaviour(std::move(misbehaviour)),
      m_wireTime(wireTime), m_fault(fault)
{
}

NetServer::~NetServer()
{
    stop();
    for (const auto& connection : m_connections) {
        ::close(connection->fd);
    }
    for (const auto& listener : m_listeners) {
        ::close(listener->fd);
    }
    for (const int fd : m_wake) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool NetServer::listen(const Listen& where, std::string* error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(where.port);
    if (const int status = ::getaddrinfo(where.host.c_str(), service.c_str(), &hints, &found)) {
        *error = where.host + ": " + ::gai_strerror(status);
        return false;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    const bool bound = fd >= 0 &&
                       ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                       ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 64) == 0;
    ::freeaddrinfo(found);
    if (!bound) {
        *error = ErrorText(("listen on " + where.host + ":" + service).c_str());
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    auto listener = std::make_unique<Listener>();
    listener->fd = fd;
    listener->framing = where.framing;
    listener->host = where.host;
    listener->port =
        ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    listener->meters = m_meters;
    listener->replies.assign(m_meters.size(), 0);
    m_listeners.push_back(std::move(listener));
    return true;
}

std::vector<std::string> NetServer::addresses() const
{
    std::vector<std::string> texts;
    for (const auto& listener : m_listeners) {
        const bool literal6 = listener->host.find(':') != std::string::npos;
        texts.push_back(
            std::string(listener->framing == NetFraming::ModbusTcp ? "tcp:" : "rtu-tcp:") +
            (literal6 ? "[" + listener->host + "]" : listener->host) + ":" +
            std::to_string(listener->port));
    }
    return texts;
}

std::vector<std::string> NetServer::urls() const
{
    std::vector<std::string> texts;
    for (const std::string& address : addresses()) {
        const std::size_t colon = address.find(':');
        texts.push_back((address.rfind("tcp:", 0) == 0 ? "tcp://" : "rtu+tcp://") +
                        address.substr(colon + 1));
    }
    return texts;
}

bool NetServer::start(std::string* error)
{
    if (m_thread.joinable()) {
        return true;
    }
    if (m_wake[0] < 0 && ::pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        *error = ErrorText("pipe2");
        return false;
    }
    m_stop = false;
    m_thread = std::thread(&NetServer::run, this);
    return true;
}

void NetServer::stop()
{
    if (!m_thread.joinable()) {
        return;
    }
    m_stop = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake[1], &byte, 1);
    m_thread.join();
}

void NetServer::run()
{
    std::vector<pollfd> fds;
    while (!m_stop) {
        // Closed connections leave between two rounds, so that indexes stay valid within one.
        std::erase_if(m_connections, [](const std::unique_ptr<Connection>& connection) {
            if (connection->fd < 0) {
                return true;
            }
            return false;
        });
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        fds.clear();
        fds.push_back({m_wake[0], POLLIN, 0});
        for (const auto& listener : m_listeners) {
            fds.push_back({listener->fd, POLLIN, 0});
        }
        for (const auto& connection : m_connections) {
            short events = POLLIN;
            if (!connection->out.empty()) {
                if (connection->outSent > 0) {
                    events |= POLLOUT;
                }
                next = std::min(next, connection->out.front().at);
            }
            if (!connection->pending.empty()) {
                next = std::min(next, connection->lastByte + kRtuSilence);
            }
            fds.push_back({connection->fd, events, 0});
        }
        int timeout = -1;
        if (next != Clock::time_point::max()) {
            timeout = static_cast<int>(std::max<std::int64_t>(
                0, std::chrono::ceil<std::chrono::milliseconds>(next - now).count()));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (::read(m_wake[0], drain, sizeof drain) > 0) {
            }
        }
        for (std::size_t i = 0; i < m_listeners.size(); ++i) {
            if (fds[1 + i].revents & POLLIN) {
                accept(i);
            }
        }
        const std::size_t first = 1 + m_listeners.size();
        for (std::size_t i = 0; i + first < fds.size(); ++i) {
            Connection& connection = *m_connections[i];
            if (fds[first + i].revents != 0 && !receive(connection)) {
                continue;
            }
            if (m_listeners[connection.listener]->framing == NetFraming::RtuTcp) {
                takeRtu(connection, Clock::now() - connection.lastByte >= kRtuSilence);
            }
            flush(connection);
        }
    }
}

void NetServer::accept(std::size_t listener)
{
    for (;;) {
        const int fd =
            ::accept4(m_listeners[listener]->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->listener = listener;
        m_connections.push_back(std::move(connection));
    }
}

// False when the connection has ended.
bool NetServer::receive(Connection& connection)
{
    std::uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(connection.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            connection.pending.insert(connection.pending.end(), chunk, chunk + n);
            connection.lastByte = Clock::now();
            if (connection.pending.size() > kMaxPending) {
                connection.pending.clear(); // nothing that long is a request
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ::close(connection.fd);
        connection.fd = -1;
        return false;
    }
    if (m_listeners[connection.listener]->framing == NetFraming::ModbusTcp) {
        takeModbusTcp(connection);
    }
    return connection.fd >= 0;
}

void NetServer::takeModbusTcp(Connection& connection)
{
    std::vector<std::uint8_t>& pending = connection.pending;
    while (pending.size() >= 7) {
        const std::size_t length = std::size_t{pending[4]} << 8 | pending[5];
        if (pending[2] != 0 || pending[3] != 0 || length < 2 || length > 254) {
            // A gateway cannot find the next frame in such a stream: it hangs up.
            ::close(connection.fd);
            connection.fd = -1;
            return;
        }
        if (pending.size() < 6 + length) {
            return;
        }
        std::vector<std::uint8_t> header(pending.begin(), pending.begin() + 7);
        std::vector<std::uint8_t> request = WithCrc(
            {pending.begin() + 6, pending.begin() + 6 + static_cast<std::ptrdiff_t>(length)});
        pending.erase(pending.begin(), pending.begin() + 6 + static_cast<std::ptrdiff_t>(length));
        answer(connection, std::move(request), std::move(header));
    }
}

void NetServer::takeRtu(Connection& connection, bool silenceEnded)
{
    std::vector<std::uint8_t>& pending = connection.pending;
    while (!pending.empty()) {
        std::size_t length = CompleteFrameLength(pending);
        if (length == 0) {
            if (!silenceEnded) {
                return;
            }
            length = pending.size();
        }
        std::vector<std::uint8_t> request(pending.begin(),
                                          pending.begin() + static_cast<std::ptrdiff_t>(length));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
        answer(connection, std::move(request), {});
    }
}

void NetServer::answer(Connection& connection, std::vector<std::uint8_t> request,
                       std::vector<std::uint8_t> header)
{
    ++m_requests;
    Listener& listener = *m_listeners[connection.listener];
    const bool modbusTcp = listener.framing == NetFraming::ModbusTcp;
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < listener.meters.size() && !index; ++i) {
        if (Addresses(request, listener.meters[i])) {
            index = i;
        } else if (ToEveryMeter(request)) {
            break;
        }
    }
    const Clock::time_point now = Clock::now();
    if (!index) {
        return; // nobody on the line answers: the gateway passes the silence on
    }
    MeterState& meter = listener.meters[*index];
    Misbehaviour used = m_misbehaviour;
    if (used.spoilEvery > 0 && (listener.replies[*index] + 1) % used.spoilEvery == 0) {
        used.corruptCrc = true;
    }
    if (m_fault == NetFault::LateFirst && connection.answered) {
        used.delayMs = 0;
    }
    const std::chrono::nanoseconds character =
        m_wireTime ? CharacterTime(meter) : std::chrono::nanoseconds(0);
    const Response response = Serve(meter, m_kind, request, used);
    if (response.pieces.empty() || m_fault == NetFault::Mute) {
        return;
    }
    ++listener.replies[*index];
    connection.answered = true;

    // The line behind the gateway carries one frame at a time.
    const Clock::time_point lineStart = std::max(now, listener.lineFree);
    Clock::time_point at = lineStart + character * static_cast<std::int64_t>(request.size()) +
                           std::chrono::milliseconds(response.delayMs);
    std::vector<std::uint8_t> joined;
    std::vector<Outgoing> sends;
    for (std::size_t i = 0; i < response.pieces.size(); ++i) {
        if (i > 0) {
            at += std::chrono::milliseconds(response.gapMs);
        }
        const auto& piece = response.pieces[i];
        at += character * static_cast<std::int64_t>(piece.size());
        joined.insert(joined.end(), piece.begin(), piece.end());
        sends.push_back({at, piece, false});
    }
    listener.lineFree = at;
    ++m_replies;
    if (modbusTcp) {
        // The gateway passes on only what its own check of the line takes, and all of it at
        // once; pieces cut the frame it sends instead.
        std::vector<std::uint8_t> frame;
        if (joined.size() >= 4 && ReplyCrcMatches(joined.data(), joined.size())) {
            frame = Mbap(header, {joined.data(), joined.size() - 2}, joined.size() - 2);
        } else {
            const std::vector<std::uint8_t> refusal{
                request[0], static_cast<std::uint8_t>(request[1] | 0x80), kGatewayTargetFailed};
            frame = Mbap(header, refusal, refusal.size());
        }
        if (m_fault == NetFault::Stale && !connection.previousReply.empty()) {
            connection.out.push_back({at, connection.previousReply, false});
        }
        connection.previousReply = frame;
        std::vector<std::vector<std::uint8_t>> cuts =
            SplitIntoPieces(frame, static_cast<int>(sends.size()));
        sends.clear();
        for (std::size_t i = 0; i < cuts.size(); ++i) {
            sends.push_back(
                {at + std::chrono::milliseconds(response.gapMs) * static_cast<std::int64_t>(i),
                 std::move(cuts[i]), false});
        }
    }
    switch (m_fault) {
    case NetFault::Garbage:
        sends = {{sends.front().at, {std::begin(kGarbage), std::end(kGarbage) - 1}, false}};
        break;
    case NetFault::HugeLength: {
        std::vector<std::uint8_t> huge =
            Mbap(header.empty() ? std::vector<std::uint8_t>(7, 0) : header,
                 std::vector<std::uint8_t>(16, 0), 60000);
        huge[6] = request[0];
        sends = {{sends.front().at, std::move(huge), false}};
        break;
    }
    case NetFault::HalfClose: {
        std::vector<std::uint8_t> all;
        for (const Outgoing& send : sends) {
            all.insert(all.end(), send.bytes.begin(), send.bytes.end());
        }
        all.resize(all.size() / 2);
        sends = {{sends.back().at, std::move(all), true}};
        break;
    }
    default:
        break;
    }
    for (Outgoing& send : sends) {
        connection.out.push_back(std::move(send));
    }
}

// Sends what is due; false when the connection has ended.
bool NetServer::flush(Connection& connection)
{
    while (!connection.out.empty() && connection.out.front().at <= Clock::now()) {
        Outgoing& next = connection.out.front();
        while (connection.outSent < next.bytes.size()) {
            const ssize_t n =
                ::send(connection.fd, next.bytes.data() + connection.outSent,
                       next.bytes.size() - connection.outSent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                connection.outSent += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return true; // the rest when the socket takes it
            } else if (!(n < 0 && errno == EINTR)) {
                ::close(connection.fd);
                connection.fd = -1;
                return false;
            }
        }
        const bool closeAfter = next.closeAfter;
        connection.out.pop_front();
        connection.outSent = 0;
        if (closeAfter) {
            ::close(connection.fd);
            connection.fd = -1;
            return false;
        }
    }
    return true;
}

} // namespace metersim
