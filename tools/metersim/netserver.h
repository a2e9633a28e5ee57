#pragma once

#include "answer.h"
#include "meterstate.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace metersim {

// What a listener speaks: Modbus TCP (a Modbus gateway), or the line's RTU bytes as they are
// (a device server in raw mode).
enum class NetFraming
{
    ModbusTcp,
    RtuTcp,
};

// Gateways that go wrong in ways no meter can, for the tests of a master's network ports.
enum class NetFault
{
    None,
    Mute,       // takes the connection and every request, never answers
    Garbage,    // answers every request with text that is no frame of any kind
    HugeLength, // answers with a Modbus TCP header claiming 60000 bytes
    HalfClose,  // sends the first half of each reply, then closes the connection
    LateFirst,  // holds the first reply of each connection back by the delay, the rest not
    Stale,      // sends the previous reply again (its old transaction id) before each reply
};

struct Listen
{
    NetFraming framing = NetFraming::ModbusTcp;
    std::string host = "127.0.0.1";
    std::uint16_t port = 0; // 0: one the system picks
};

// Gateways with meters behind them: any number of listeners served by one thread with poll
// (a simulator can play hundreds of gateways), each listener with its own bus of meters
// (their own states), any number of connections to each. A request's reply goes out when the
// line behind the gateway would have carried it (with wire time) and the misbehaviour says.
// Modbus TCP: a reply whose CRC is bad on the line (spoiled, or bytes before it) is not
// passed on by a gateway, which answers exception 0x0B (target failed to respond) instead.
class NetServer
{
public:
    NetServer(MeterKind kind, std::vector<MeterState> meters, Misbehaviour misbehaviour,
              bool wireTime, NetFault fault);
    ~NetServer(); // stops
    NetServer(const NetServer&) = delete;
    NetServer& operator=(const NetServer&) = delete;

    // Binds and listens; false with the reason in *error. Before start().
    bool listen(const Listen& where, std::string* error);
    // "tcp:127.0.0.1:5020", one per listener in the order given, with the port bound.
    std::vector<std::string> addresses() const;
    // The URL a master names the listener by: tcp://127.0.0.1:5020, rtu+tcp://...
    std::vector<std::string> urls() const;

    bool start(std::string* error);
    void stop();

    std::uint64_t requestsSeen() const { return m_requests; }
    std::uint64_t repliesSent() const { return m_replies; }

private:
    struct Listener;
    struct Connection;
    struct Outgoing;

    void run();
    void accept(std::size_t listener);
    bool receive(Connection& connection);
    void takeModbusTcp(Connection& connection);
    void takeRtu(Connection& connection, bool silenceEnded);
    void answer(Connection& connection, std::vector<std::uint8_t> request,
                std::vector<std::uint8_t> header);
    bool flush(Connection& connection);

    const MeterKind m_kind;
    const std::vector<MeterState> m_meters;
    const Misbehaviour m_misbehaviour;
    const bool m_wireTime;
    const NetFault m_fault;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    std::vector<std::unique_ptr<Connection>> m_connections;
    int m_wake[2] = {-1, -1};
    std::atomic<std::uint64_t> m_requests{0};
    std::atomic<std::uint64_t> m_replies{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace metersim
