#pragma once

#include "brokerurl.h"
#include "spool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;

namespace mqtt {

struct PublisherOptions
{
    BrokerUrl broker;
    std::string clientId;
    std::string caFile; // mqtts: a private CA; empty for the system's
    // Retained "online" once connected, "offline" as the last will and at the end.
    std::string statusTopic;
    // Where a line for the operator goes (a broker away, a full spool); from any thread.
    std::function<void(const std::string&)> warn;
};

// Sends what is put into the spool to the broker, in order, at QoS 1, from a thread of its
// own: a message leaves the spool only once the broker has acknowledged it (PUBACK), so
// a broker that is away, or a run that ends or crashes before it is back, loses nothing.
// Putting a message in costs one SQLite insert and never waits for the broker.
//
// The thread runs the client library's loop itself rather than the library's own thread,
// which gives up for good after a TLS error: here every failure, a refused certificate
// too, means another attempt a second later, and the end of the run is never held up by
// the library's reconnect waits.
class Publisher
{
public:
    // Null, with the reason in *error, for options the client library refuses (an unreadable
    // CA file). A broker that cannot be reached is no error: it is tried again every second.
    static std::unique_ptr<Publisher> Start(PublisherOptions options, std::unique_ptr<Spool> spool,
                                            std::string* error);
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    void publish(const std::string& topic, const std::string& payload, bool retain);

    // Waits up to `timeout` for the broker to acknowledge everything in the spool, says
    // "offline" and disconnects. Returns how many messages stay in the spool.
    std::size_t finish(std::chrono::milliseconds timeout);

    std::size_t waiting() const { return m_spool->size(); }
    Spool& spool() { return *m_spool; }
    bool connected() const { return m_connected; }
    // Why the broker was last out of reach; read it after finish().
    const std::string& lastProblem() const { return m_lastProblem; }

private:
    Publisher(PublisherOptions options, std::unique_ptr<Spool> spool);
    void run();
    void feed();
    void takeAcknowledged();
    void checkConnecting();
    void wake();
    void reportState();
    void lost(const std::string& problem);

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    PublisherOptions m_options;
    std::unique_ptr<Spool> m_spool;
    mosquitto* m_client = nullptr;

    std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    bool m_stop = false;
    std::atomic<bool> m_connected{false};

    // The thread's own, touched by the library's callbacks on it too.
    bool m_socketOpen = false; // connecting or connected
    std::chrono::steady_clock::time_point m_nextAttempt;
    std::chrono::steady_clock::time_point m_attemptStarted;
    std::string m_lastProblem;
    std::vector<int> m_acked; // message ids of PUBACKs not yet taken off the spool
    // Messages handed to the library and not acknowledged, by message id.
    std::map<int, std::int64_t> m_inFlight;
    std::int64_t m_lastHanded = 0;
    std::thread m_thread;

    // The operator's view: warned that the broker is away, and when last.
    bool m_warnedAway = false;
    std::size_t m_warnedCount = 0;
    std::chrono::steady_clock::time_point m_awaySince;
    std::chrono::steady_clock::time_point m_lastWarning;
    std::uint64_t m_warnedDropped = 0;
};

} // namespace mqtt
