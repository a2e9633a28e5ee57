#pragma once

#include "brokerurl.h"
#include "output.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace mqtt {
class Publisher;
}

namespace ctl {

// The --mqtt options of a run; broker empty without --mqtt.
struct MqttOptions
{
    std::optional<mqtt::BrokerUrl> broker;
    std::string caFile;
    std::string clientId;  // empty: quorvex-<host>-<pid>
    std::string spoolPath; // empty: the default beside the program's data
    long queue = 100000;
    double drainSeconds = 10;
    bool haDiscovery = false;
    std::string firstGiven; // the first --mqtt-... option met, to refuse it without --mqtt
};

// Whether arg is one of the --mqtt options (and --ha-discovery).
bool IsMqttOption(const std::string& arg);
// Takes the option's value (value() gives it, or nothing when there is none) into *options.
// False, with the message in *error, for a bad value.
bool ParseMqttOption(const std::string& arg,
                     const std::function<std::optional<std::string>()>& value, bool hasInlineValue,
                     MqttOptions* options, std::string* error);
// What can only be judged once the whole line is read.
bool CheckMqttOptions(const MqttOptions& options, std::string* error);

// Every result of the run to the broker, as its --format json object with the run and a
// sequence number added, on PREFIX/<meter>/<command>; a reading also retained on
// PREFIX/<meter>/state, and with --ha-discovery the meter's sensors announced first.
// Destroying it waits up to the drain timeout for the broker to take what is queued.
class MqttSink
{
public:
    // Null, with the reason in *error, when the spool or the client cannot be made.
    static std::unique_ptr<MqttSink> Start(const MqttOptions& options, std::FILE* err,
                                           std::string* error);
    ~MqttSink();
    MqttSink(const MqttSink&) = delete;
    MqttSink& operator=(const MqttSink&) = delete;

    void write(const Outcome& outcome);

private:
    MqttSink(const MqttOptions& options, std::FILE* err);
    // The serial number when a result tells it, or one this port told earlier; the port otherwise.
    std::string meterOf(const Outcome& outcome);
    void announce(const std::string& meter, const Outcome& reading);

    MqttOptions m_options;
    std::FILE* m_err;
    std::string m_clientId;
    std::string m_run; // the run's start, which with the station tells runs apart
    std::unique_ptr<mqtt::Publisher> m_publisher;
    std::mutex m_mutex;
    unsigned long long m_sequence = 0;
    std::map<std::string, std::string> m_serialOfPort;
    std::set<std::string> m_announced;
};

} // namespace ctl
