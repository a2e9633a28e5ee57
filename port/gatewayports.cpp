// The two kinds of network port that speak something else than the line's own bytes:
// Modbus TCP and Telnet with COM port control.

#include "netport.h"

#include "crc.h"
#include "waits.h"

#include <algorithm>
#include <array>

// Modbus TCP.

namespace {

constexpr std::size_t kMbapHeader = 7;        // transaction, protocol, length (2 each), unit id
constexpr std::uint16_t kShortestLength = 2;  // unit id and a function code
constexpr std::uint16_t kLongestLength = 254; // unit id and the longest Modbus PDU (253)

std::uint16_t BigEndian16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

bool IsDlt645(std::span<const std::uint8_t> frame)
{
    const auto start =
        std::find_if(frame.begin(), frame.end(), [](std::uint8_t b) { return b != 0xFE; });
    return start != frame.end() && *start == 0x68;
}

} // namespace

std::optional<std::vector<std::uint8_t>>
ModbusTcpPort::encode(std::span<const std::uint8_t> request, std::string* why)
{
    if (request.size() < 4 || !ReplyCrcMatches(request.data(), request.size())) {
        *why = IsDlt645(request)
                   ? "the DL/T 645 clear frame cannot cross a Modbus TCP gateway; not sent"
                   : "not a Modbus RTU frame; not sent";
        return std::nullopt;
    }
    // The CRC stays behind: TCP has its own check, and the gateway adds the line's.
    const std::size_t pduAndUnit = request.size() - 2;
    m_transaction = static_cast<std::uint16_t>(m_transaction + 1);
    std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(m_transaction >> 8),
                                    static_cast<std::uint8_t>(m_transaction),
                                    0,
                                    0,
                                    static_cast<std::uint8_t>(pduAndUnit >> 8),
                                    static_cast<std::uint8_t>(pduAndUnit)};
    frame.insert(frame.end(), request.begin(), request.end() - 2);
    m_awaited = m_transaction;
    return frame;
}

void ModbusTcpPort::absorb(std::span<const std::uint8_t> bytes)
{
    m_stream.insert(m_stream.end(), bytes.begin(), bytes.end());
    while (m_stream.size() >= kMbapHeader) {
        const std::uint16_t transaction = BigEndian16(m_stream.data());
        const std::uint16_t protocol = BigEndian16(m_stream.data() + 2);
        const std::uint16_t length = BigEndian16(m_stream.data() + 4);
        if (protocol != 0 || length < kShortestLength || length > kLongestLength) {
            // Where the next frame starts cannot be told any more: what came is handed on as
            // it is, for the reply check to refuse and the log to show, and the next request
            // goes out on a new connection.
            fail(protocol != 0
                     ? "bad Modbus TCP reply (protocol id " + std::to_string(protocol) + ", not 0)"
                     : "bad Modbus TCP reply (length " + std::to_string(length) +
                           " outside 2-254)");
            deliver(m_stream);
            m_stream.clear();
            m_awaited.reset();
            dropConnection();
            return;
        }
        const std::size_t total = 6 + std::size_t{length};
        if (m_stream.size() < total) {
            return;
        }
        const std::span<const std::uint8_t> unitAndPdu{m_stream.data() + 6, length};
        if (m_awaited && transaction == *m_awaited) {
            std::vector<std::uint8_t> rtu(unitAndPdu.begin(), unitAndPdu.end());
            const std::uint16_t crc = CalcCrc16(rtu.data(), static_cast<std::uint16_t>(rtu.size()));
            rtu.push_back(static_cast<std::uint8_t>(crc >> 8)); // sent first
            rtu.push_back(static_cast<std::uint8_t>(crc));
            deliver(rtu);
            m_awaited.reset();
        } else {
            dropLate({m_stream.data(), total});
        }
        m_stream.erase(m_stream.begin(), m_stream.begin() + static_cast<std::ptrdiff_t>(total));
    }
}

void ModbusTcpPort::restart()
{
    m_transaction = 0;
    m_awaited.reset();
    m_stream.clear();
}

// RFC 2217.

namespace {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPort = 44;

// The client's commands; the server answers each with its code plus 100.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kServerOffset = 100;

bool Wanted(std::uint8_t option)
{
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

void PutEscaped(std::vector<std::uint8_t>& out, std::uint8_t byte)
{
    out.push_back(byte);
    if (byte == kIac) {
        out.push_back(kIac);
    }
}

std::vector<std::uint8_t> ComPortCommand(std::uint8_t command, std::uint32_t value, int size)
{
    std::vector<std::uint8_t> out{kIac, kSb, kComPort, command};
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) {
        PutEscaped(out, static_cast<std::uint8_t>(value >> shift));
    }
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

// The values sent for a port's settings: RFC 2217 counts parity from 1 (none, odd, even,
// mark, space), and stop bits as 1 one, 2 two, 3 one and a half.
std::array<std::uint32_t, 4> ComPortValues(const SerialSettings& settings)
{
    const std::uint32_t stop = settings.stopBits == 0 ? 1 : settings.stopBits == 1 ? 3 : 2;
    return {settings.baudRate, settings.dataBits, std::uint32_t{settings.parity} + 1u, stop};
}

const char* const kSettingNames[4] = {"baud rate", "data size", "parity", "stop size"};

} // namespace

std::optional<std::vector<std::uint8_t>> Rfc2217Port::encode(std::span<const std::uint8_t> request,
                                                             std::string* /*why*/)
{
    std::vector<std::uint8_t> out;
    out.swap(m_answers);
    for (const std::uint8_t byte : request) {
        PutEscaped(out, byte);
    }
    return out;
}

void Rfc2217Port::absorb(std::span<const std::uint8_t> bytes)
{
    std::vector<std::uint8_t> data;
    for (const std::uint8_t byte : bytes) {
        switch (m_telnet) {
        case Telnet::Data:
            if (byte == kIac) {
                m_telnet = Telnet::Iac;
            } else {
                data.push_back(byte);
            }
            break;
        case Telnet::Iac:
            if (byte == kIac) {
                data.push_back(kIac);
                m_telnet = Telnet::Data;
            } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont) {
                m_command = byte;
                m_telnet = Telnet::Option;
            } else if (byte == kSb) {
                m_sub.clear();
                m_telnet = Telnet::Sub;
            } else {
                m_telnet = Telnet::Data; // NOP, GA and the like carry nothing for the line
            }
            break;
        case Telnet::Option:
            negotiate(m_command, byte);
            m_telnet = Telnet::Data;
            break;
        case Telnet::Sub:
            if (byte == kIac) {
                m_telnet = Telnet::SubIac;
            } else if (m_sub.size() < 64) {
                m_sub.push_back(byte);
            }
            break;
        case Telnet::SubIac:
            if (byte == kSe) {
                subnegotiation(m_sub);
                m_telnet = Telnet::Data;
            } else {
                if (m_sub.size() < 64) {
                    m_sub.push_back(byte); // IAC IAC inside: one 255
                }
                m_telnet = Telnet::Sub;
            }
            break;
        }
    }
    if (!data.empty()) {
        deliver(data);
    }
}

// Agrees to binary transmission, no go-ahead and COM port control, both ways, and refuses
// everything else; answers only a change, so that two sides never echo each other for ever.
void Rfc2217Port::negotiate(std::uint8_t command, std::uint8_t option)
{
    const auto answer = [this, option](std::uint8_t reply) {
        m_answers.insert(m_answers.end(), {kIac, reply, option});
    };
    switch (command) {
    case kDo:
        if (option == kComPort) {
            m_comPortAccepted = true;
        }
        if (!m_willSent[option]) {
            m_willSent[option] = true;
            answer(Wanted(option) ? kWill : kWont);
        }
        break;
    case kDont:
        if (option == kComPort) {
            m_comPortRefused = true;
        }
        break;
    case kWill:
        if (!m_doSent[option]) {
            m_doSent[option] = true;
            answer(Wanted(option) ? kDo : kDont);
        }
        break;
    default:
        break;
    }
}

void Rfc2217Port::subnegotiation(const std::vector<std::uint8_t>& body)
{
    if (body.size() < 2 || body[0] != kComPort) {
        return;
    }
    const std::uint8_t command = body[1];
    if (command < kServerOffset + kSetBaudRate || command > kServerOffset + kSetStopSize) {
        return; // line and modem state notices: nothing the meter commands need
    }
    std::uint32_t value = 0;
    for (std::size_t i = 2; i < body.size() && i < 6; ++i) {
        value = value << 8 | body[i];
    }
    m_confirmed[command - kServerOffset - kSetBaudRate] = value;
}

void Rfc2217Port::restart()
{
    m_telnet = Telnet::Data;
    m_sub.clear();
    m_answers.clear();
    m_comPortRefused = false;
    m_comPortAccepted = false;
    std::fill(std::begin(m_willSent), std::end(m_willSent), false);
    std::fill(std::begin(m_doSent), std::end(m_doSent), false);
}

bool Rfc2217Port::greet(const SerialSettings& settings)
{
    m_willSent[kComPort] = m_willSent[kBinary] = m_willSent[kSuppressGoAhead] = true;
    m_doSent[kBinary] = m_doSent[kSuppressGoAhead] = true;
    const std::vector<std::uint8_t> offer{
        kIac, kWill, kComPort,         kIac, kWill, kBinary,         kIac, kDo, kBinary,
        kIac, kWill, kSuppressGoAhead, kIac, kDo,   kSuppressGoAhead};
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs());
    if (!sendAll(offer, deadline) ||
        !receiveUntil(deadline, [this] { return m_comPortAccepted || m_comPortRefused; })) {
        return false;
    }
    if (!m_comPortAccepted) {
        fail(m_comPortRefused ? "the gateway refuses COM port control (RFC 2217)"
                              : "the gateway did not agree to COM port control (RFC 2217) within " +
                                    std::to_string(connectTimeoutMs()) + " ms");
        return false;
    }
    return applyLine(settings);
}

bool Rfc2217Port::applyLine(const SerialSettings& settings)
{
    const std::array<std::uint32_t, 4> values = ComPortValues(settings);
    std::vector<std::uint8_t> out;
    out.swap(m_answers);
    for (std::uint8_t i = 0; i < 4; ++i) {
        m_confirmed[i].reset();
        const std::vector<std::uint8_t> command =
            ComPortCommand(static_cast<std::uint8_t>(kSetBaudRate + i), values[i], i == 0 ? 4 : 1);
        out.insert(out.end(), command.begin(), command.end());
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs());
    const auto allConfirmed = [this] {
        return std::all_of(std::begin(m_confirmed), std::end(m_confirmed),
                           [](const auto& value) { return value.has_value(); });
    };
    if (!sendAll(out, deadline) || !receiveUntil(deadline, allConfirmed)) {
        return false;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        if (!m_confirmed[i]) {
            fail(std::string("the gateway did not confirm the ") + kSettingNames[i] + " within " +
                 std::to_string(connectTimeoutMs()) + " ms");
            return false;
        }
        if (*m_confirmed[i] != values[i]) {
            fail(std::string("the gateway did not take the line settings (") + kSettingNames[i] +
                 " " + std::to_string(values[i]) + " asked, " + std::to_string(*m_confirmed[i]) +
                 " confirmed)");
            return false;
        }
    }
    return true;
}

bool Rfc2217Port::configure(const SerialSettings& settings)
{
    if (!NetPort::configure(settings)) {
        return false;
    }
    if (!connected() || applyLine(settings)) {
        return true; // without a connection, the next one is set up with these
    }
    close();
    return false;
}
