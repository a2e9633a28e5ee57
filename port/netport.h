#pragma once

#include "lineport.h"
#include "portname.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

// How long a network port waits for its connection when nobody says otherwise.
inline constexpr unsigned kDefaultConnectTimeoutMs = 3000;

// What a network port waits for a reply beyond the RS-485 line: the gateway's own handling
// of a request, on top of the round trip measured when connecting.
inline constexpr unsigned kGatewayAllowanceMs = 20;

// A line to meters through a gateway on the network: one TCP connection (TCP_NODELAY, so a
// request leaves at once), opened by name (portname.h). The meter commands keep writing RTU
// requests and reading RTU replies; each kind below turns them into what its gateway speaks.
//
// The connection is the port's own business: when the gateway closes it, state() says
// Disconnected and lastError() "connection lost", the port stays open, and the next write
// connects again once before it gives up (a gateway that restarted is picked up again).
// Every wait is bounded (waits.h); no write raises SIGPIPE.
class NetPort : public LinePort
{
public:
    ~NetPort() override;
    NetPort(const NetPort&) = delete;
    NetPort& operator=(const NetPort&) = delete;

    // name as ParsePortName takes it, of this port's kind.
    bool open(const std::string& name, const SerialSettings& settings) override;
    void close() override;
    bool isOpen() const override;
    std::string lossText() const override { return "connection lost"; }
    LineState state() const override;
    const std::string& devicePath() const override;
    const std::string& lastError() const override;
    // The errno behind the last failure to connect (ECONNREFUSED, ETIMEDOUT, ENOENT for a
    // host not found); 0 after success.
    int lastErrorNumber() const { return m_errorNumber; }
    const std::string& notes() const override;
    // The connect round trip (rounded up) and kGatewayAllowanceMs.
    unsigned extraLatencyMs() const override;

    // Remembers the settings (a gateway of fixed settings ignores them).
    bool configure(const SerialSettings& settings) override;
    std::uint32_t write(std::uint32_t count, const std::uint8_t* bytes) override;
    std::uint32_t read(std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs) override;
    bool waitReadable(std::uint32_t waitMs) override;
    void purge() override;

    // From the next open on; 1 to kLongestWaitMs.
    void setConnectTimeout(unsigned ms);
    // Replies dropped since open because they answered an earlier request (a late reply
    // after a time-out), and who is told of each, with the bytes as they came.
    std::uint64_t lateReplies() const { return m_lateReplies; }
    void setLateReplyTap(std::function<void(std::span<const std::uint8_t>)> tap);

    // How many connections were made since the port was created (the first one included).
    std::uint64_t connections() const { return m_connections; }

protected:
    using Clock = std::chrono::steady_clock;

    explicit NetPort(PortKind kind);

    // The bytes for the gateway for one RTU request; nothing (and the reason in *why) when
    // the request cannot cross this kind of line.
    virtual std::optional<std::vector<std::uint8_t>> encode(std::span<const std::uint8_t> request,
                                                            std::string* why) = 0;
    // Takes bytes from the gateway; what is reply goes to delivered().
    virtual void absorb(std::span<const std::uint8_t> bytes) = 0;
    // A new connection: the decoder starts afresh.
    virtual void restart() {}
    // Sets the line up on a fresh connection; false (the reason set with fail) when the
    // gateway refuses. The default has nothing to set up.
    virtual bool greet(const SerialSettings& settings);

    // Sends every byte within the deadline; false (connection lost) otherwise.
    bool sendAll(std::span<const std::uint8_t> bytes, Clock::time_point deadline);
    // Takes what the gateway sent until the deadline or until done() holds; false when the
    // connection is gone.
    bool receiveUntil(Clock::time_point deadline, const std::function<bool()>& done);
    void deliver(std::span<const std::uint8_t> bytes);
    void dropLate(std::span<const std::uint8_t> bytes);
    void fail(std::string reason) { m_lastError = m_name + ": " + std::move(reason); }
    // Closes the socket on the port's own decision (a stream it can no longer follow); the
    // next write connects again, the state stays Usable.
    void dropConnection();
    bool connected() const { return m_fd >= 0; }
    const PortName& address() const { return m_address; }
    unsigned connectTimeoutMs() const { return m_connectTimeoutMs; }

private:
    bool connect();
    bool reconnect();
    // Takes what waits on the socket without waiting; false when the connection is gone.
    bool receiveWaiting();
    bool receiveSome(int timeoutMs);
    void lose();
    void closeSocket();

    const PortKind m_kind;
    PortName m_address;
    std::string m_name;
    std::string m_lastError;
    int m_errorNumber = 0;
    std::string m_notes;
    SerialSettings m_settings;
    int m_fd = -1;
    bool m_open = false;
    bool m_lost = false;
    unsigned m_connectTimeoutMs = kDefaultConnectTimeoutMs;
    unsigned m_roundTripMs = 0;
    std::vector<std::uint8_t> m_received; // reply bytes not yet read
    std::uint64_t m_lateReplies = 0;
    std::uint64_t m_connections = 0;
    std::function<void(std::span<const std::uint8_t>)> m_lateTap;
};

// Modbus TCP: each RTU request goes out as an MBAP frame (a transaction id counted per
// connection from 1, protocol id 0, the length, the address byte as unit id), and each reply
// comes back as the RTU frame a meter would have sent, its CRC computed, so that every reply
// check and the traffic log stay as they are. A reply with a transaction id other than the
// one awaited answers an earlier request: it is dropped (lateReplies) and the wait goes on.
// A header with a protocol id other than 0 or a length outside 2-254 is handed on as it came,
// which no reply check takes, and the connection is made afresh for the next request.
// Only Modbus crosses: the DL/T 645 clear frame is refused, never sent.
class ModbusTcpPort final : public NetPort
{
public:
    ModbusTcpPort() : NetPort(PortKind::ModbusTcp) {}
    bool setsLineSettings() const override { return false; }
    bool carriesForeignFrames() const override { return false; }

private:
    std::optional<std::vector<std::uint8_t>> encode(std::span<const std::uint8_t> request,
                                                    std::string* why) override;
    void absorb(std::span<const std::uint8_t> bytes) override;
    void restart() override;

    std::uint16_t m_transaction = 0;
    std::optional<std::uint16_t> m_awaited;
    std::vector<std::uint8_t> m_stream;
};

// RTU over TCP, as device servers in raw mode pass the line's bytes. The reply ends by its
// expected length, as on a serial line. A request that goes out before the reply to the one
// before has come in full (its wait ran out) leaves that reply to come late: the rest of one
// cut off in the middle is known by its position in the stream, one not yet started by its
// shape (the earlier request's address, function and byte count, not the new one's), and
// either is dropped as late (lateReplies), never read as the reply to the new request. A late
// reply of the very shape of the new one's cannot be told from it.
class RtuTcpPort final : public NetPort
{
public:
    RtuTcpPort() : NetPort(PortKind::RtuTcp) {}
    bool setsLineSettings() const override { return false; }

private:
    std::optional<std::vector<std::uint8_t>> encode(std::span<const std::uint8_t> request,
                                                    std::string* why) override;
    void absorb(std::span<const std::uint8_t> bytes) override;
    void restart() override;

    // Nothing longer is a Modbus reply.
    static constexpr std::size_t kRecvBufferLimit = 256;

    std::vector<std::uint8_t> m_request; // the last request sent
    std::vector<std::uint8_t> m_reply;   // its reply as far as it came
    Clock::time_point m_sentAt{};
    std::vector<std::uint8_t> m_lateRequest; // the one before, its reply not in full
    std::vector<std::uint8_t> m_lateReply;   // as far as it came
    Clock::time_point m_lateUntil{};
};

// RTU over Telnet with the COM port control option (RFC 2217): baud rate, data size, parity
// and stop bits are set on the gateway's serial port and every one must come back confirmed
// as asked. IAC bytes are doubled going out and undoubled coming in.
class Rfc2217Port final : public NetPort
{
public:
    Rfc2217Port() : NetPort(PortKind::Rfc2217) {}
    bool configure(const SerialSettings& settings) override;

private:
    std::optional<std::vector<std::uint8_t>> encode(std::span<const std::uint8_t> request,
                                                    std::string* why) override;
    void absorb(std::span<const std::uint8_t> bytes) override;
    void restart() override;
    bool greet(const SerialSettings& settings) override;
    bool applyLine(const SerialSettings& settings);
    void negotiate(std::uint8_t command, std::uint8_t option);
    void subnegotiation(const std::vector<std::uint8_t>& body);

    enum class Telnet
    {
        Data,
        Iac,
        Option,
        Sub,
        SubIac
    };
    Telnet m_telnet = Telnet::Data;
    std::uint8_t m_command = 0;
    std::vector<std::uint8_t> m_sub;
    std::vector<std::uint8_t> m_answers; // what our negotiation replies queue for sending
    bool m_comPortRefused = false;
    bool m_comPortAccepted = false;
    bool m_willSent[256] = {};
    bool m_doSent[256] = {};
    // The confirmations of the four settings, by their command (101 to 104): the value.
    std::optional<std::uint32_t> m_confirmed[4];
};

// The port for a parsed name of a network kind; null for a serial name.
std::unique_ptr<NetPort> MakeNetPort(PortKind kind);
