#include "publisher.h"

#include <mosquitto.h>

#include <cerrno>
#include <csignal>
#include <cstring>

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

std::once_flag g_libraryReady;

std::string LibraryError(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc));
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
    mosquitto_reconnect_delay_set(p.m_client, 1, 1, false);
    if (!o.broker.user.empty()) {
        const int rc = mosquitto_username_pw_set(p.m_client, o.broker.user.c_str(),
                                                 o.broker.hasPassword ? o.broker.password.c_str() : nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            return refuse("user name: " + LibraryError(rc));
        }
    }
    static const char kOffline[] = "offline";
    if (const int rc = mosquitto_will_set(p.m_client, o.statusTopic.c_str(), sizeof kOffline - 1, kOffline, 1, true);
        rc != MOSQ_ERR_SUCCESS) {
        return refuse("last will on " + o.statusTopic + ": " + LibraryError(rc));
    }
    if (o.broker.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (!o.caFile.empty()) {
            rc = mosquitto_tls_set(p.m_client, o.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        } else {
            rc = mosquitto_int_option(p.m_client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            return refuse("--mqtt-ca " + o.caFile + ": " + LibraryError(rc) + " (a PEM file of CA certificates)");
        }
        // The broker's certificate must name the host of the URL.
        mosquitto_tls_insecure_set(p.m_client, false);
        // A TLS write to a broker that went away raises SIGPIPE; it must cost a reconnect, not the run.
        std::signal(SIGPIPE, SIG_IGN);
    }

    p.m_awaySince = std::chrono::steady_clock::now();
    const int rc = mosquitto_connect_async(p.m_client, o.broker.host.c_str(), o.broker.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::lock_guard lock(p.m_mutex);
        p.m_lastProblem = LibraryError(rc);
    }
    // The library's thread connects again by itself whenever the broker is away.
    if (const int loop = mosquitto_loop_start(p.m_client); loop != MOSQ_ERR_SUCCESS) {
        return refuse("cannot start the MQTT thread: " + LibraryError(loop));
    }
    p.m_loopStarted = true;
    p.m_feeder = std::thread(&Publisher::feed, &p);
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
    if (m_feeder.joinable()) {
        m_feeder.join();
    }
    if (m_client) {
        if (m_loopStarted) {
            mosquitto_disconnect(m_client);
            mosquitto_loop_stop(m_client, true);
        }
        mosquitto_destroy(m_client);
    }
}

void Publisher::publish(const std::string& topic, const std::string& payload, bool retain)
{
    if (!m_spool->push(topic, payload, retain)) {
        m_options.warn("mqtt: cannot keep a result in " + m_spool->path() + ": " + m_spool->lastError());
        return;
    }
    wake();
}

void Publisher::wake()
{
    {
        const std::lock_guard lock(m_mutex);
        m_woken = true;
    }
    m_wakeUp.notify_one();
}

void Publisher::feed()
{
    for (;;) {
        std::vector<int> acked;
        bool stop = false;
        {
            std::unique_lock lock(m_mutex);
            m_wakeUp.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_woken || m_stop; });
            m_woken = false;
            stop = m_stop;
            acked.swap(m_acked);
        }
        std::vector<std::int64_t> done;
        for (const int mid : acked) {
            if (const auto found = m_inFlight.find(mid); found != m_inFlight.end()) {
                done.push_back(found->second);
                m_inFlight.erase(found);
            }
        }
        if (!m_spool->remove(done)) {
            m_options.warn("mqtt: " + m_spool->path() + ": " + m_spool->lastError());
        }
        if (stop) {
            return;
        }
        // Only a connected client gets messages: while the broker is away they wait on disk,
        // not in the library's memory.
        while (m_connected && m_inFlight.size() < kWindow) {
            const std::vector<SpooledMessage> batch = m_spool->after(m_lastHanded, kWindow - m_inFlight.size());
            if (batch.empty()) {
                break;
            }
            bool refused = false;
            for (const SpooledMessage& message : batch) {
                int mid = 0;
                const int rc = mosquitto_publish(m_client, &mid, message.topic.c_str(),
                                                 static_cast<int>(message.payload.size()), message.payload.data(), 1,
                                                 message.retain);
                if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NOMEM) {
                    refused = true; // offered again once connected
                    break;
                }
                if (rc != MOSQ_ERR_SUCCESS) {
                    // A message no broker takes (a topic too long) would block all behind it.
                    m_options.warn("mqtt: " + message.topic + ": " + LibraryError(rc) + "; message dropped");
                    m_spool->remove({message.id});
                } else {
                    m_inFlight[mid] = message.id;
                }
                m_lastHanded = message.id;
            }
            if (refused) {
                break;
            }
        }
        reportState();
    }
}

void Publisher::reportState()
{
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t dropped = m_spool->dropped();
    if (dropped > m_warnedDropped && (m_warnedDropped == 0 || now - m_lastWarning >= kWarnEvery)) {
        m_options.warn("mqtt: the spool is full (--mqtt-queue " + std::to_string(m_spool->limit()) + "): " +
                       std::to_string(dropped) + " oldest messages dropped so far");
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
    if (now - m_awaySince < kGrace) {
        return;
    }
    if (!m_warnedAway || (waiting != m_warnedCount && now - m_lastWarning >= kWarnEvery)) {
        std::string problem;
        {
            const std::lock_guard lock(m_mutex);
            problem = m_lastProblem;
        }
        m_options.warn("mqtt: " + m_options.broker.describe() + " unreachable" +
                       (problem.empty() ? std::string() : " (" + problem + ")") + "; " + std::to_string(waiting) +
                       " messages wait in " + m_spool->path());
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
    m_feeder.join();
    if (m_connected) {
        // Going away on purpose: the last will is for a station that died.
        static const char kOffline[] = "offline";
        mosquitto_publish(m_client, nullptr, m_options.statusTopic.c_str(), sizeof kOffline - 1, kOffline, 1, true);
    }
    m_finishing = true;
    mosquitto_disconnect(m_client);
    mosquitto_loop_stop(m_client, false);
    m_loopStarted = false;
    return m_spool->size();
}

void Publisher::OnConnect(mosquitto* client, void* self, int rc)
{
    auto& p = *static_cast<Publisher*>(self);
    if (rc != 0) {
        const std::lock_guard lock(p.m_mutex);
        p.m_lastProblem = std::string("refused: ") + mosquitto_connack_string(rc);
        return;
    }
    {
        const std::lock_guard lock(p.m_mutex);
        p.m_lastProblem.clear();
    }
    static const char kOnline[] = "online";
    mosquitto_publish(client, nullptr, p.m_options.statusTopic.c_str(), sizeof kOnline - 1, kOnline, 1, true);
    p.m_connected = true;
    p.wake();
}

void Publisher::OnDisconnect(mosquitto*, void* self, int rc)
{
    auto& p = *static_cast<Publisher*>(self);
    p.m_connected = false;
    if (rc != 0 && !p.m_finishing) {
        const std::lock_guard lock(p.m_mutex);
        if (p.m_lastProblem.empty()) {
            p.m_lastProblem = "connection lost";
        }
    }
    p.wake();
}

void Publisher::OnPublish(mosquitto*, void* self, int mid)
{
    auto& p = *static_cast<Publisher*>(self);
    {
        const std::lock_guard lock(p.m_mutex);
        p.m_acked.push_back(mid);
        p.m_woken = true;
    }
    p.m_wakeUp.notify_one();
}

void Publisher::OnLog(mosquitto*, void* self, int level, const char* text)
{
    // The library says why a connection failed (a refused TCP connection, an OpenSSL
    // verification error) only here.
    if ((level & MOSQ_LOG_ERR) == 0 || !text) {
        return;
    }
    auto& p = *static_cast<Publisher*>(self);
    const std::lock_guard lock(p.m_mutex);
    p.m_lastProblem = text;
}

} // namespace mqtt
