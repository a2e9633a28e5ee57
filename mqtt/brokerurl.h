#pragma once

#include <optional>
#include <string>

namespace mqtt {

// Where results go: mqtt://[user[:password]@]host[:port]/PREFIX, or mqtts:// for TLS.
struct BrokerUrl
{
    bool tls = false;
    std::string user; // percent-decoded, as are the password and the prefix
    std::string password;
    bool hasPassword = false;
    std::string host; // an IPv6 address without its brackets
    int port = 1883;
    std::string prefix; // topic levels, no wildcard, no empty level

    // The URL again without the password, for messages.
    std::string describe() const;
};

// The URL checked whole before anything is sent: nothing, or the reason in *error.
std::optional<BrokerUrl> ParseBrokerUrl(const std::string& url, std::string* error);

} // namespace mqtt
