#include "topics.h"

#include <cctype>

namespace mqtt {

namespace {

constexpr Sensor kSensors[]{
    {"active_kwh", "Active energy", "kWh", "energy", "total_increasing"},
    {"positive_kwh", "Forward active energy", "kWh", "energy", "total_increasing"},
    {"reverse_kwh", "Reverse active energy", "kWh", "energy", "total_increasing"},
    {"reactive_kwh", "Reactive energy", "kvarh", "", "total_increasing"},
    {"voltage_l1", "Voltage L1", "V", "voltage", "measurement"},
    {"voltage_l2", "Voltage L2", "V", "voltage", "measurement"},
    {"voltage_l3", "Voltage L3", "V", "voltage", "measurement"},
    {"current_l1", "Current L1", "A", "current", "measurement"},
    {"current_l2", "Current L2", "A", "current", "measurement"},
    {"current_l3", "Current L3", "A", "current", "measurement"},
    {"active_power", "Active power", "W", "power", "measurement"},
    {"active_power_l1", "Active power L1", "W", "power", "measurement"},
    {"active_power_l2", "Active power L2", "W", "power", "measurement"},
    {"active_power_l3", "Active power L3", "W", "power", "measurement"},
    {"reactive_power", "Reactive power", "var", "reactive_power", "measurement"},
    {"reactive_power_l1", "Reactive power L1", "var", "reactive_power", "measurement"},
    {"reactive_power_l2", "Reactive power L2", "var", "reactive_power", "measurement"},
    {"reactive_power_l3", "Reactive power L3", "var", "reactive_power", "measurement"},
    {"apparent_power", "Apparent power", "VA", "apparent_power", "measurement"},
    {"power_factor", "Power factor", "", "power_factor", "measurement"},
    {"power_factor_l1", "Power factor L1", "", "power_factor", "measurement"},
    {"power_factor_l2", "Power factor L2", "", "power_factor", "measurement"},
    {"power_factor_l3", "Power factor L3", "", "power_factor", "measurement"},
    {"frequency", "Frequency", "Hz", "frequency", "measurement"},
};

} // namespace

std::string TopicLevel(std::string_view name)
{
    while (!name.empty() && name.front() == '/') {
        name.remove_prefix(1);
    }
    std::string level;
    for (const char c : name) {
        const bool unsafe = c == '/' || c == '+' || c == '#' ||
                            static_cast<unsigned char>(c) < 0x20 || c == 0x7f ||
                            (c == '$' && level.empty());
        level += unsafe ? '_' : c;
    }
    return level.empty() ? "_" : level;
}

std::string ResultTopic(const std::string& prefix, std::string_view meter, std::string_view command)
{
    return prefix + "/" + TopicLevel(meter) + "/" + TopicLevel(command);
}

std::string StateTopic(const std::string& prefix, std::string_view meter)
{
    return prefix + "/" + TopicLevel(meter) + "/state";
}

std::string StatusTopic(const std::string& prefix, std::string_view clientId)
{
    return prefix + "/status/" + TopicLevel(clientId);
}

const Sensor* SensorOf(std::string_view key)
{
    for (const Sensor& sensor : kSensors) {
        if (sensor.key == key) {
            return &sensor;
        }
    }
    return nullptr;
}

std::string DiscoveryNode(std::string_view meter)
{
    std::string node = "quorvex_";
    for (const char c : TopicLevel(meter)) {
        node += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    }
    return node;
}

std::string DiscoveryTopic(std::string_view meter, std::string_view key)
{
    return "homeassistant/sensor/" + DiscoveryNode(meter) + "/" + std::string(key) + "/config";
}

} // namespace mqtt
