#pragma once

#include <cstdint>
#include <string>

// The kinds of line a port name leads to.
enum class PortKind
{
    Serial,    // a device path (or anything without "://")
    ModbusTcp, // tcp://HOST[:PORT]: Modbus TCP, the gateway speaks Modbus to its line itself
    RtuTcp,    // rtu+tcp://HOST:PORT: the RTU bytes as they are, over a plain connection
    Rfc2217,   // rfc2217://HOST:PORT: RTU over Telnet, the line settings set remotely
};

// A port name taken apart. For a serial name only kind and name are filled in.
struct PortName
{
    PortKind kind = PortKind::Serial;
    std::string name; // as given
    std::string host; // without the brackets of an IPv6 literal
    std::uint16_t port = 0;
};

// Modbus TCP's registered port; the other two kinds have none, gateways use many.
inline constexpr std::uint16_t kModbusTcpPort = 502;

// Takes a port name apart. A name with "://" must be one of the three network kinds with a
// host and, but for tcp://, a port from 1 to 65535; otherwise false, with the fault named in
// *error ("rtu+tcp://gw: no port given (rtu+tcp:// has no default)"). Any other name is a
// serial device path and always parses.
bool ParsePortName(const std::string& name, PortName* parsed, std::string* error);

// "tcp://", "rtu+tcp://" or "rfc2217://"; empty for a serial port.
const char* PortKindScheme(PortKind kind);
