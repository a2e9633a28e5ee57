#include "portname.h"

#include <array>
#include <charconv>

namespace {

struct Scheme
{
    const char* prefix;
    PortKind kind;
    bool portRequired;
};

constexpr std::array<Scheme, 3> kSchemes{{
    {"tcp://", PortKind::ModbusTcp, false},
    {"rtu+tcp://", PortKind::RtuTcp, true},
    {"rfc2217://", PortKind::Rfc2217, true},
}};

bool Refuse(const std::string& name, const std::string& why, std::string* error)
{
    if (error) {
        *error = name + ": " + why;
    }
    return false;
}

} // namespace

const char* PortKindScheme(PortKind kind)
{
    for (const Scheme& scheme : kSchemes) {
        if (scheme.kind == kind) {
            return scheme.prefix;
        }
    }
    return "";
}

bool ParsePortName(const std::string& name, PortName* parsed, std::string* error)
{
    PortName result;
    result.name = name;
    const std::size_t separator = name.find("://");
    if (separator == std::string::npos) {
        *parsed = result;
        return true;
    }
    const Scheme* scheme = nullptr;
    for (const Scheme& candidate : kSchemes) {
        if (name.rfind(candidate.prefix, 0) == 0) {
            scheme = &candidate;
        }
    }
    if (!scheme) {
        return Refuse(name,
                      "unknown scheme '" + name.substr(0, separator) +
                          "://' (tcp://, rtu+tcp:// or rfc2217://)",
                      error);
    }
    result.kind = scheme->kind;
    std::string rest = name.substr(separator + 3);
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back(); // "tcp://gw:502/" as copied from a browser's address bar
    }
    std::string portText;
    bool havePort = false;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            return Refuse(name, "no ']' after the IPv6 address", error);
        }
        result.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after.front() != ':') {
            return Refuse(name, "'" + after + "' after the IPv6 address", error);
        }
        havePort = !after.empty();
        portText = havePort ? after.substr(1) : std::string();
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon != std::string::npos && rest.find(':') != colon) {
            return Refuse(name, "an IPv6 address goes in brackets, as in tcp://[::1]:502", error);
        }
        result.host = rest.substr(0, colon);
        havePort = colon != std::string::npos;
        portText = havePort ? rest.substr(colon + 1) : std::string();
    }
    if (result.host.empty()) {
        return Refuse(name, "no host given", error);
    }
    if (result.host.find_first_of("/?#@ ") != std::string::npos) {
        return Refuse(name, "'" + result.host + "' is not a host name or address", error);
    }
    if (!havePort) {
        if (scheme->portRequired) {
            return Refuse(
                name, std::string("no port given (") + scheme->prefix + " has no default)", error);
        }
        result.port = kModbusTcpPort;
        *parsed = result;
        return true;
    }
    long number = 0;
    const char* end = portText.data() + portText.size();
    const auto [stop, fault] = std::from_chars(portText.data(), end, number);
    if (portText.empty() || fault != std::errc() || stop != end || number < 1 || number > 65535) {
        return Refuse(name, "port '" + portText + "' is not a number from 1 to 65535", error);
    }
    result.port = static_cast<std::uint16_t>(number);
    *parsed = result;
    return true;
}
