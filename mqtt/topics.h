#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mqtt {

// A name (a serial number, a device path, a client id) as one topic level: '/' would split
// it, '+' and '#' are wildcards to a subscriber and a leading '$' marks the broker's own
// topics, so each becomes '_'; so do control characters. A device path loses its leading
// '/': /dev/ttyUSB0 is dev_ttyUSB0.
std::string TopicLevel(std::string_view name);

// PREFIX/<meter>/<command>: every result of a command on a meter.
std::string ResultTopic(const std::string& prefix, std::string_view meter,
                        std::string_view command);
// PREFIX/<meter>/state, retained: the meter's latest reading.
std::string StateTopic(const std::string& prefix, std::string_view meter);
// PREFIX/status/<client id>, retained: online, or offline (the last will).
std::string StatusTopic(const std::string& prefix, std::string_view clientId);

// A quantity of a reading as a Home Assistant sensor.
struct Sensor
{
    std::string_view key;         // the reading's field, "voltage_l1"
    std::string_view name;        // "Voltage L1"
    std::string_view unit;        // empty for the power factor
    std::string_view deviceClass; // Home Assistant's, empty when it has none
    std::string_view stateClass;  // "measurement" or "total_increasing"
};
// The sensor of a reading's field; null for fields that are no quantity (sn, constant, ...).
const Sensor* SensorOf(std::string_view key);
// homeassistant/sensor/<node>/<key>/config, with <node> the meter reduced to the letters,
// digits, '_' and '-' that Home Assistant takes in an id.
std::string DiscoveryTopic(std::string_view meter, std::string_view key);
std::string DiscoveryNode(std::string_view meter);

} // namespace mqtt
