#include "brokerurl.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace mqtt {

namespace {

// %XX escapes, so that a password may hold '@', ':' or '/'.
std::optional<std::string> PercentDecoded(const std::string& text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        unsigned value = 0;
        const char* first = text.data() + i + 1;
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(first[0])) ||
            !std::isxdigit(static_cast<unsigned char>(first[1]))) {
            return std::nullopt;
        }
        std::from_chars(first, first + 2, value, 16);
        if (value == 0) {
            return std::nullopt; // no NUL in a name, a password or a topic
        }
        decoded += static_cast<char>(value);
        i += 2;
    }
    return decoded;
}

bool StartsWithNoCase(const std::string& text, const std::string& start)
{
    return text.size() >= start.size() &&
           std::equal(start.begin(), start.end(), text.begin(), [](char wanted, char c) {
               return std::tolower(static_cast<unsigned char>(c)) == wanted;
           });
}

} // namespace

std::string BrokerUrl::describe() const
{
    const std::string hostPart = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(tls ? "mqtts://" : "mqtt://") + (user.empty() ? "" : user + "@") + hostPart +
           ":" + std::to_string(port) + "/" + prefix;
}

std::optional<BrokerUrl> ParseBrokerUrl(const std::string& url, std::string* error)
{
    const auto fail = [&](const std::string& why) {
        *error = "'" + url + "': " + why;
        return std::nullopt;
    };
    BrokerUrl broker;
    std::string rest;
    if (StartsWithNoCase(url, "mqtts://")) {
        broker.tls = true;
        broker.port = 8883;
        rest = url.substr(8);
    } else if (StartsWithNoCase(url, "mqtt://")) {
        rest = url.substr(7);
    } else {
        return fail("not mqtt://[user[:password]@]host[:port]/PREFIX or mqtts://...");
    }
    const std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);

    if (const std::size_t at = authority.rfind('@'); at != std::string::npos) {
        const std::string userInfo = authority.substr(0, at);
        authority.erase(0, at + 1);
        const std::size_t colon = userInfo.find(':');
        const auto user = PercentDecoded(userInfo.substr(0, colon));
        if (!user || user->empty()) {
            return fail("the user name before '@' is empty or has a bad %-escape");
        }
        broker.user = *user;
        if (colon != std::string::npos) {
            const auto password = PercentDecoded(userInfo.substr(colon + 1));
            if (!password) {
                return fail("the password has a bad %-escape");
            }
            broker.password = *password;
            broker.hasPassword = true;
        }
    }

    std::string portText;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) {
            return fail("the IPv6 address has no closing ']'");
        }
        broker.host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') {
            return fail("'" + after + "' after the IPv6 address is not :PORT");
        }
        portText = after.empty() ? std::string() : after.substr(1);
        if (after == ":") {
            return fail("the port after ':' is empty");
        }
    } else {
        const std::size_t colon = authority.find(':');
        broker.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            portText = authority.substr(colon + 1);
            if (portText.empty()) {
                return fail("the port after ':' is empty");
            }
        }
    }
    if (broker.host.empty()) {
        return fail("no host name");
    }
    if (broker.host.find_first_of(" /?#@[]") != std::string::npos) {
        return fail("'" + broker.host + "' is not a host name");
    }
    if (!portText.empty()) {
        long port = 0;
        const auto [stop, parsed] =
            std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (parsed != std::errc() || stop != portText.data() + portText.size() || port < 1 ||
            port > 65535) {
            return fail("port '" + portText + "' is not a whole number from 1 to 65535");
        }
        broker.port = static_cast<int>(port);
    }

    if (!path.empty() && path.back() == '/') {
        path.pop_back(); // mqtt://host/plant/ means the prefix plant
    }
    const auto prefix = PercentDecoded(path);
    if (!prefix) {
        return fail("the prefix has a bad %-escape");
    }
    if (prefix->empty()) {
        return fail("no topic prefix (give mqtt://host/PREFIX)");
    }
    if (prefix->find_first_of("+#") != std::string::npos) {
        return fail("the prefix '" + *prefix + "' holds a wildcard (+ or #)");
    }
    if (prefix->front() == '/' || prefix->find("//") != std::string::npos) {
        return fail("the prefix '" + *prefix + "' has an empty topic level");
    }
    broker.prefix = *prefix;
    return broker;
}

} // namespace mqtt
