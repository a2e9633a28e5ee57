#include "mqttsink.h"

#include "framelog.h"
#include "publisher.h"
#include "spool.h"
#include "topics.h"

#include <algorithm>
#include <charconv>
#include <chrono>

#include <unistd.h>

namespace ctl {

namespace {

const std::string* FieldOf(const Outcome& outcome, const std::string& key)
{
    const auto found = std::find_if(outcome.fields.begin(), outcome.fields.end(),
                                    [&key](const auto& field) { return field.first == key; });
    return found != outcome.fields.end() ? &found->second : nullptr;
}

std::string DefaultClientId()
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
        std::snprintf(host, sizeof host, "localhost");
    }
    return "quorvex-" + std::string(host) + "-" + std::to_string(::getpid());
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

} // namespace

bool IsMqttOption(const std::string& arg)
{
    return arg == "--mqtt" || arg == "--ha-discovery" || arg.rfind("--mqtt-", 0) == 0;
}

bool ParseMqttOption(const std::string& arg,
                     const std::function<std::optional<std::string>()>& value, bool hasInlineValue,
                     MqttOptions* options, std::string* error)
{
    if (arg != "--mqtt" && options->firstGiven.empty()) {
        options->firstGiven = arg;
    }
    if (arg == "--ha-discovery") {
        if (hasInlineValue) {
            *error = arg + " takes no value";
            return false;
        }
        options->haDiscovery = true;
        return true;
    }
    const std::optional<std::string> text = value();
    if (!text || text->empty()) {
        *error = arg + " needs a value";
        return false;
    }
    if (arg == "--mqtt") {
        std::string why;
        options->broker = mqtt::ParseBrokerUrl(*text, &why);
        if (!options->broker) {
            *error = "--mqtt: " + why;
            return false;
        }
    } else if (arg == "--mqtt-ca") {
        options->caFile = *text;
    } else if (arg == "--mqtt-client-id") {
        if (text->size() > 65535 || text->find('\0') != std::string::npos) {
            *error = "--mqtt-client-id: not a client id";
            return false;
        }
        options->clientId = *text;
    } else if (arg == "--mqtt-spool") {
        options->spoolPath = *text;
    } else if (arg == "--mqtt-queue") {
        long count = 0;
        const auto [stop, parsed] =
            std::from_chars(text->data(), text->data() + text->size(), count);
        if (parsed != std::errc() || stop != text->data() + text->size() || count < 1 ||
            count > 100000000) {
            *error = "--mqtt-queue: '" + *text + "' is not a whole number from 1 to 100000000";
            return false;
        }
        options->queue = count;
    } else if (arg == "--mqtt-drain-timeout") {
        double seconds = -1;
        const auto [stop, parsed] =
            std::from_chars(text->data(), text->data() + text->size(), seconds);
        if (parsed != std::errc() || stop != text->data() + text->size() ||
            !(seconds >= 0 && seconds <= 3600)) {
            *error =
                "--mqtt-drain-timeout: '" + *text + "' is not a number of seconds from 0 to 3600";
            return false;
        }
        options->drainSeconds = seconds;
    } else {
        *error = "unknown option " + arg;
        return false;
    }
    return true;
}

bool CheckMqttOptions(const MqttOptions& options, std::string* error)
{
    if (!options.broker && !options.firstGiven.empty()) {
        *error = options.firstGiven + " needs --mqtt URL";
        return false;
    }
    if (options.broker && !options.broker->tls && !options.caFile.empty()) {
        *error = "--mqtt-ca needs an mqtts:// URL";
        return false;
    }
    return true;
}

std::unique_ptr<MqttSink> MqttSink::Start(const MqttOptions& options, std::FILE* err,
                                          std::string* error)
{
    std::unique_ptr<MqttSink> sink(new MqttSink(options, err));
    const std::string spoolPath =
        options.spoolPath.empty() ? mqtt::DefaultSpoolPath() : options.spoolPath;
    std::unique_ptr<mqtt::Spool> spool =
        mqtt::Spool::Open(spoolPath, static_cast<std::size_t>(options.queue), error);
    if (!spool) {
        *error = "--mqtt: " + *error;
        return nullptr;
    }
    if (const std::size_t waiting = spool->size(); waiting > 0) {
        std::fprintf(
            err, "quorvexctl: mqtt: %zu messages of an earlier run wait in %s; they go out first\n",
            waiting, spoolPath.c_str());
    }
    mqtt::PublisherOptions publisher;
    publisher.broker = *options.broker;
    publisher.clientId = sink->m_clientId;
    publisher.caFile = options.caFile;
    publisher.statusTopic = mqtt::StatusTopic(options.broker->prefix, sink->m_clientId);
    publisher.warn = [err](const std::string& line) {
        std::fprintf(err, "quorvexctl: %s\n", line.c_str());
    };
    sink->m_publisher = mqtt::Publisher::Start(std::move(publisher), std::move(spool), error);
    if (!sink->m_publisher) {
        *error = "--mqtt: " + *error;
        return nullptr;
    }
    return sink;
}

MqttSink::MqttSink(const MqttOptions& options, std::FILE* err)
    : m_options(options), m_err(err),
      m_clientId(options.clientId.empty() ? DefaultClientId() : options.clientId),
      m_run(FormatLogTime(std::chrono::system_clock::now()))
{
}

MqttSink::~MqttSink()
{
    if (!m_publisher) {
        return;
    }
    const std::string broker = m_options.broker->describe();
    if (const std::size_t waiting = m_publisher->waiting();
        waiting > 0 && !m_publisher->connected()) {
        std::fprintf(m_err, "quorvexctl: mqtt: waiting up to %s s for %s to take %zu messages\n",
                     Seconds(m_options.drainSeconds).c_str(), broker.c_str(), waiting);
    }
    const auto timeout =
        std::chrono::milliseconds(static_cast<long long>(m_options.drainSeconds * 1000));
    const std::size_t left = m_publisher->finish(timeout);
    const std::uint64_t dropped = m_publisher->spool().dropped();
    if (dropped > 0) {
        std::fprintf(
            m_err,
            "quorvexctl: mqtt: %llu oldest messages were dropped: the spool holds at most %ld\n",
            static_cast<unsigned long long>(dropped), m_options.queue);
    }
    if (left > 0) {
        const std::string& problem = m_publisher->lastProblem();
        std::fprintf(m_err,
                     "quorvexctl: mqtt: %zu messages stay in %s for the next run, which sends them "
                     "first%s\n",
                     left, m_publisher->spool().path().c_str(),
                     problem.empty() ? "" : ("; " + broker + ": " + problem).c_str());
    }
}

std::string MqttSink::meterOf(const Outcome& outcome)
{
    const std::string* serial = FieldOf(outcome, "sn");
    if (!serial || serial->empty()) {
        const std::string* property = FieldOf(outcome, "property");
        serial = outcome.ok && property && *property == "sn" ? FieldOf(outcome, "value") : nullptr;
    }
    if (serial && !serial->empty()) {
        m_serialOfPort[outcome.port] = *serial;
        return *serial;
    }
    const auto known = m_serialOfPort.find(outcome.port);
    return known != m_serialOfPort.end() ? known->second : outcome.port;
}

void MqttSink::announce(const std::string& meter, const Outcome& reading)
{
    const std::string& prefix = m_options.broker->prefix;
    const std::string node = mqtt::DiscoveryNode(meter);
    const bool three = FieldOf(reading, "voltage_l2") != nullptr;
    const std::string device = "\"device\":{\"identifiers\":[" + JsonString(node) +
                               "],\"name\":" + JsonString("Meter " + meter) + ",\"model\":" +
                               JsonString(three ? "three-phase meter" : "single-phase meter") + "}";
    for (const auto& field : reading.fields) {
        const mqtt::Sensor* sensor = mqtt::SensorOf(field.first);
        if (!sensor) {
            continue;
        }
        const std::string id = node + "_" + field.first;
        std::string config =
            "{\"name\":" + JsonString(std::string(sensor->name)) +
            ",\"unique_id\":" + JsonString(id) + ",\"object_id\":" + JsonString(id) +
            ",\"state_topic\":" + JsonString(mqtt::StateTopic(prefix, meter)) +
            ",\"value_template\":" + JsonString("{{ value_json." + field.first + " }}");
        if (!sensor->unit.empty()) {
            config += ",\"unit_of_measurement\":" + JsonString(std::string(sensor->unit));
        }
        if (!sensor->deviceClass.empty()) {
            config += ",\"device_class\":" + JsonString(std::string(sensor->deviceClass));
        }
        config +=
            ",\"state_class\":" + JsonString(std::string(sensor->stateClass)) + "," + device + "}";
        m_publisher->publish(mqtt::DiscoveryTopic(meter, field.first), config, true);
    }
}

void MqttSink::write(const Outcome& outcome)
{
    const std::lock_guard lock(m_mutex);
    const std::string meter = meterOf(outcome);
    std::string payload = JsonObject(outcome);
    payload.pop_back(); // its closing brace
    payload += ",\"station\":" + JsonString(m_clientId) + ",\"run\":" + JsonString(m_run) +
               ",\"seq\":" + std::to_string(++m_sequence) + "}";
    const std::string& prefix = m_options.broker->prefix;
    m_publisher->publish(mqtt::ResultTopic(prefix, meter, outcome.command), payload, false);
    const bool reading = outcome.command == "read-meter" || outcome.command == "watch";
    if (!reading || !outcome.ok) {
        return;
    }
    // Announced before the first state, so that Home Assistant has the sensors when it comes.
    if (m_options.haDiscovery && m_announced.insert(meter).second) {
        announce(meter, outcome);
    }
    m_publisher->publish(mqtt::StateTopic(prefix, meter), payload, true);
}

} // namespace ctl
