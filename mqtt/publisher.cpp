#include "publisher.h"

#include <mosquitto.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace mqtt {

namespace {

// Messages handed to the library and not yet acknowledged: enough to keep a loopback broker
// busy while the acknowledgements come back, few enough that the library's copy in memory
// stays small when the broker goes away with them.
constexpr std::size_t kWindow = 1000;
constexpr int kSendMaximum = 200;
constexpr int kKeepAliveSeconds = 15;
// A broker that does not answer at once gets this long before the operator is told.
constexpr auto kGrace = std::chrono::seconds(1);
constexpr auto kWarnEvery = std::chrono::seconds(5);
constexpr auto kRetryEvery = std::chrono::seconds(1);
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr auto kIdleWait = std::chrono::milliseconds(100);
constexpr int kLoopWaitMs = 5;
// For "offline" and the goodbye to leave at the end of the run.
constexpr auto kGoodbyeWait = std::chrono::milliseconds(500);

constexpr const char* kSystemCaPath = "/etc/ssl/certs";

std::once_flag g_libraryReady;

std::string LibraryError(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno))
                                : std::string(mosquitto_strerror(rc));
}

} // namespace

std::unique_ptr<Publisher> Publisher::Start(PublisherOptions options, std::unique_ptr<Spool> spool,
                                            std::string* error)
{
    std::call_once(g_libraryReady, [] { mosquitto_lib_init(); });
    std::unique_ptr<Publisher> publisher(new Publisher(std::move(options), std::move(spool)));
    Publisher& p = *publisher;
    const PublisherOptions& o = p.m_options;
    const auto refuse = [&](const std::string& why) {
        *error = why;
        return nullptr;
    };
    p.m_client = mosquitto_new(o.clientId.c_str(), true, &p);
    if (!p.m_client) {
        return refuse("cannot make an MQTT client: " + std::string(std::strerror(errno)));
    }
    mosquitto_connect_callback_set(p.m_client, &OnConnect);
    mosquitto_disconnect_callback_set(p.m_client, &OnDisconnect);
    mosquitto_publish_callback_set(p.m_client, &OnPublish);
    mosquitto_log_callback_set(p.m_client, &OnLog);
    mosquitto_int_option(p.m_client, MOSQ_OPT_SEND_MAXIMUM, kSendMaximum);
    if (!o.broker.user.empty()) {
        const int rc =
            mosquitto_username_pw_set(p.m_client, o.broker.user.c_str(),
                                      o.broker.hasPassword ? o.broker.password.c_str() : nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            return refuse("user name: " + LibraryError(rc));
        }
    }
    static const char kOffline[] = "offline";
    if (const int rc = mosquitto_will_set(p.m_client, o.statusTopic.c_str(), sizeof kOffline - 1,
                                          kOffline, 1, true);
        rc != MOSQ_ERR_SUCCESS) {
        return refuse("last will on " + o.statusTopic + ": " + LibraryError(rc));
    }
    if (o.broker.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (!o.caFile.empty()) {
            rc =
                mosquitto_tls_set(p.m_client, o.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        } else {
            // Debian's store of the system's CAs, as a directory of hashed names.
            rc = mosquitto_tls_set(p.m_client, nullptr, kSystemCaPath, nullptr, nullptr, nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            return refuse("--mqtt-ca " + o.caFile + ": " + LibraryError(rc) +
                          " (a PEM file of CA certificates)");
        }
        // The broker's certificate must name the host of the URL.
        mosquitto_tls_insecure_set(p.m_client, false);
        // A TLS write to a broker that went away raises SIGPIPE; it must cost a reconnect, not the
        // run.
        std::signal(SIGPIPE, SIG_IGN);
    }

    p.m_awaySince = std::chrono::steady_clock::now();
    p.m_nextAttempt = p.m_awaySince;
    p.m_thread = std::thread(&Publisher::run, &p);
    return publisher;
}

Publisher::Publisher(PublisherOptions options, std::unique_ptr<Spool> spool)
    : m_options(std::move(options)), m_spool(std::move(spool))
{
}

Publisher::~Publisher()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wakeUp.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    mosquitto_destroy(m_client);
}

void Publisher::publish(const std::string& topic, const std::string& payload, bool retain)
{
    if (!m_spool->push(topic, payload, retain)) {
        m_options.warn("mqtt: cannot keep a result in " + m_spool->path() + ": " +
                       m_spool->lastError());
    }
    // The thread looks at the spool every few milliseconds: no wake-up needed per message.
}

void Publisher::lost(const std::string& problem)
{
    if (m_lastProblem.empty()) {
        m_lastProblem = problem;
    }
    m_socketOpen = false;
    m_connected = false;
    m_nextAttempt = std::chrono::steady_clock::now() + kRetryEvery;
}

void Publisher::run()
{
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            if (m_stop) {
                break;
            }
            if (!m_socketOpen) {
                // Nothing to do until the next attempt; the end of the run wakes us at once.
                const auto until =
                    std::min(m_nextAttempt, std::chrono::steady_clock::now() + kIdleWait);
                m_wakeUp.wait_until(lock, until, [this] { return m_stop; });
                if (m_stop) {
                    break;
                }
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (!m_socketOpen && now >= m_nextAttempt) {
            m_lastProblem.clear();
            const BrokerUrl& broker = m_options.broker;
            const int rc = mosquitto_connect_async(m_client, broker.host.c_str(), broker.port,
                                                   kKeepAliveSeconds);
            if (rc == MOSQ_ERR_SUCCESS) {
                m_socketOpen = true;
                m_attemptStarted = now;
            } else {
                lost(LibraryError(rc));
            }
        }
        if (m_socketOpen && !m_connected) {
            checkConnecting();
        }
        if (m_socketOpen) {
            // Waits for the socket up to kLoopWait: the latency of a new message when idle.
            const int rc = mosquitto_loop(m_client, kLoopWaitMs, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                lost(LibraryError(rc));
            }
        }
        takeAcknowledged();
        feed();
        reportState();
    }
    takeAcknowledged();
    if (m_connected) {
        // Going away on purpose: the last will is for a station that died.
        static const char kOffline[] = "offline";
        mosquitto_publish(m_client, nullptr, m_options.statusTopic.c_str(), sizeof kOffline - 1,
                          kOffline, 1, true);
        mosquitto_disconnect(m_client);
        const auto deadline = std::chrono::steady_clock::now() + kGoodbyeWait;
        while (std::chrono::steady_clock::now() < deadline &&
               mosquitto_loop(m_client, kLoopWaitMs, 1) == MOSQ_ERR_SUCCESS) {
        }
        m_connected = false;
    }
}

void Publisher::checkConnecting()
{
    // The library's TLS handshake on a socket whose connection was refused spins without
    // end instead of failing; and a broker that never answers must not hold us either.
    const int fd = mosquitto_socket(m_client);
    pollfd socket{fd, POLLOUT, 0};
    if (fd >= 0 && ::poll(&socket, 1, 0) == 1 && (socket.revents & (POLLERR | POLLHUP)) != 0) {
        int code = 0;
        socklen_t size = sizeof code;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &size);
        lost(code != 0 ? std::strerror(code) : "the broker closed the connection");
    } else if (std::chrono::steady_clock::now() - m_attemptStarted > kConnectTimeout) {
        lost("no answer within " + std::to_string(kConnectTimeout.count()) + " s");
    }
}

void Publisher::takeAcknowledged()
{
    std::vector<std::int64_t> done;
    for (const int mid : m_acked) {
        if (const auto found = m_inFlight.find(mid); found != m_inFlight.end()) {
            done.push_back(found->second);
            m_inFlight.erase(found);
        }
    }
    m_acked.clear();
    if (!m_spool->remove(done)) {
        m_options.warn("mqtt: " + m_spool->path() + ": " + m_spool->lastError());
    }
}

void Publisher::feed()
{
    // Only a connected client gets messages: while the broker is away they wait on disk,
    // not in the library's memory.
    while (m_connected && m_inFlight.size() < kWindow) {
        const std::vector<SpooledMessage> batch =
            m_spool->after(m_lastHanded, kWindow - m_inFlight.size());
        if (batch.empty()) {
            return;
        }
        for (const SpooledMessage& message : batch) {
            int mid = 0;
            const int rc = mosquitto_publish(m_client, &mid, message.topic.c_str(),
                                             static_cast<int>(message.payload.size()),
                                             message.payload.data(), 1, message.retain);
            if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NOMEM ||
                rc == MOSQ_ERR_ERRNO) {
                return; // offered again once connected
            }
            if (rc != MOSQ_ERR_SUCCESS) {
                // A message no broker takes (a topic too long) would hold up all behind it.
                m_options.warn("mqtt: " + message.topic + ": " + LibraryError(rc) +
                               "; message dropped");
                m_spool->remove({message.id});
            } else {
                m_inFlight[mid] = message.id;
            }
            m_lastHanded = message.id;
        }
    }
}

void Publisher::reportState()
{
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t dropped = m_spool->dropped();
    if (dropped > m_warnedDropped && (m_warnedDropped == 0 || now - m_lastWarning >= kWarnEvery)) {
        m_options.warn("mqtt: the spool is full (--mqtt-queue " + std::to_string(m_spool->limit()) +
                       "): " + std::to_string(dropped) + " oldest messages dropped so far");
        m_warnedDropped = dropped;
        m_lastWarning = now;
    }
    const std::size_t waiting = m_spool->size();
    if (m_connected) {
        if (m_warnedAway) {
            m_options.warn("mqtt: connected to " + m_options.broker.describe() + "; sending the " +
                           std::to_string(waiting) + " waiting messages");
            m_warnedAway = false;
        }
        m_awaySince = now;
        return;
    }
    if (now - m_awaySince < kGrace || m_lastProblem.empty()) {
        return;
    }
    if (!m_warnedAway || (waiting != m_warnedCount && now - m_lastWarning >= kWarnEvery)) {
        m_options.warn("mqtt: " + m_options.broker.describe() + " unreachable (" + m_lastProblem +
                       "); " + std::to_string(waiting) + " messages wait in " + m_spool->path());
        m_warnedAway = true;
        m_warnedCount = waiting;
        m_lastWarning = now;
    }
}

std::size_t Publisher::finish(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_spool->size() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wakeUp.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return m_spool->size();
}

void Publisher::OnConnect(mosquitto* client, void* self, int rc)
{
    auto& p = *static_cast<Publisher*>(self);
    if (rc != 0) {
        p.m_lastProblem = std::string("refused: ") + mosquitto_connack_string(rc);
        return;
    }
    p.m_lastProblem.clear();
    static const char kOnline[] = "online";
    mosquitto_publish(client, nullptr, p.m_options.statusTopic.c_str(), sizeof kOnline - 1, kOnline,
                      1, true);
    p.m_connected = true;
}

void Publisher::OnDisconnect(mosquitto*, void* self, int rc)
{
    auto& p = *static_cast<Publisher*>(self);
    if (rc != 0) {
        p.lost("connection lost");
    }
    p.m_connected = false;
}

void Publisher::OnPublish(mosquitto*, void* self, int mid)
{
    static_cast<Publisher*>(self)->m_acked.push_back(mid);
}

void Publisher::OnLog(mosquitto*, void* self, int level, const char* text)
{
    // The library says why a connection failed (an OpenSSL verification error) only here;
    // the first error of an attempt is its reason.
    auto& p = *static_cast<Publisher*>(self);
    if ((level & MOSQ_LOG_ERR) == 0 || !text || !p.m_lastProblem.empty()) {
        return;
    }
    const std::string message = text;
    if (message.find("certificate verify failed") != std::string::npos) {
        p.m_lastProblem = "TLS: the broker's certificate is not signed by a trusted CA "
                          "(certificate verify failed; "
                          "see --mqtt-ca)";
    } else if (message.find("host name verification failed") != std::string::npos) {
        p.m_lastProblem = "TLS: the broker's certificate is not for " + p.m_options.broker.host +
                          " (host name verification failed)";
    } else {
        p.m_lastProblem = message;
    }
}

} // namespace mqtt
