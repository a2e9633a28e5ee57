#include "addresslist.h"

#include "portname.h"

#include <algorithm>
#include <charconv>

namespace ctl {

namespace {

std::optional<int> Address(const std::string& text)
{
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < 0 || value > 254) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<std::vector<int>> ParseAddressList(const std::string& text, std::string* error)
{
    std::vector<int> addresses;
    const auto refuse = [&](const std::string& why) {
        *error = "--address: " + why;
        return std::nullopt;
    };
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = text.find(',', from);
        const std::string item =
            text.substr(from, comma == std::string::npos ? comma : comma - from);
        const std::size_t dash = item.find('-');
        const auto low = Address(item.substr(0, dash));
        const auto high = dash == std::string::npos ? low : Address(item.substr(dash + 1));
        if (!low || !high) {
            return refuse("'" + item + "' is not an address from 0 to 254 or a range such as 5-9");
        }
        if (*low > *high) {
            return refuse("the range '" + item + "' runs backwards");
        }
        for (int address = *low; address <= *high; ++address) {
            if (std::find(addresses.begin(), addresses.end(), address) != addresses.end()) {
                return refuse(std::to_string(address) + " is named twice");
            }
            addresses.push_back(address);
        }
        if (comma == std::string::npos) {
            return addresses;
        }
        from = comma + 1;
    }
}

std::string RefusalForPort(const std::string& name, const std::string& command, bool sweep)
{
    PortName parsed;
    std::string error;
    if (!ParsePortName(name, &parsed, &error)) {
        return error;
    }
    if (command == "clear-zero" && parsed.kind == PortKind::ModbusTcp) {
        return name + ": clear-zero sends a DL/T 645 frame, which a Modbus TCP gateway cannot "
                      "carry (use rtu+tcp:// or rfc2217:// to the same line)";
    }
    if (command == "scan" && !sweep &&
        (parsed.kind == PortKind::ModbusTcp || parsed.kind == PortKind::RtuTcp)) {
        return name + ": the line settings belong to the gateway, a scan cannot change them "
                      "(scan --sweep lists the addresses at the gateway's settings; rfc2217:// "
                      "can scan)";
    }
    return {};
}

} // namespace ctl
