#include "storesink.h"

#include "tables.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

#include <unistd.h>

namespace ctl {

namespace {

// Every key a reading of either meter type has.
constexpr std::array<std::string_view, 27> kReadingKeys{
    "active_kwh",        "positive_kwh",      "reverse_kwh",
    "reactive_kwh",      "voltage_l1",        "voltage_l2",
    "voltage_l3",        "current_l1",        "current_l2",
    "current_l3",        "active_power",      "active_power_l1",
    "active_power_l2",   "active_power_l3",   "reactive_power",
    "reactive_power_l1", "reactive_power_l2", "reactive_power_l3",
    "apparent_power",    "power_factor",      "power_factor_l1",
    "power_factor_l2",   "power_factor_l3",   "frequency",
    "constant",          "tariff_number",     "sn",
};

bool IsReadingKey(const std::string& key)
{
    return std::find(kReadingKeys.begin(), kReadingKeys.end(), key) != kReadingKeys.end();
}

template <class Number> std::optional<Number> Parse(const std::string& text)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

const std::string* FieldOf(const Outcome& outcome, const std::string& key)
{
    const auto found = std::find_if(outcome.fields.begin(), outcome.fields.end(),
                                    [&key](const auto& field) { return field.first == key; });
    return found != outcome.fields.end() ? &found->second : nullptr;
}

} // namespace

std::string BenchHostName()
{
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string("localhost");
}

StoredResult ToStoredResult(const Outcome& outcome, const std::string& host)
{
    StoredResult result;
    result.time = outcome.time;
    result.utcOffsetMinutes = qvxstore::LocalUtcOffsetMinutes(outcome.time);
    result.host = host;
    result.port = outcome.port;
    result.command = outcome.command;
    result.ok = outcome.ok;
    result.error = outcome.error;
    // A reading is there when a field other than the serial number is one of its keys; the
    // serial number alone is a property set or read.
    const bool reading =
        std::any_of(outcome.fields.begin(), outcome.fields.end(), [](const auto& field) {
            return field.first != "sn" && IsReadingKey(field.first);
        });
    const std::string* property = FieldOf(outcome, "property");
    for (const auto& [key, value] : outcome.fields) {
        if (key == "address") {
            result.address = Parse<int>(value);
        } else if (key == "job") {
            result.job = Parse<std::int64_t>(value);
        } else if (key == "row") {
            result.row = Parse<int>(value);
        } else if (key == "property" || key == "verified" || key == "read" ||
                   (property && key == "value")) {
            continue; // one property, below
        } else if (reading && IsReadingKey(key)) {
            result.reading.emplace_back(key, value);
        } else {
            result.properties.push_back(StoredProperty{key, value, std::nullopt});
        }
        if (key == "sn" || key == "serial_number") {
            result.serialNumber = value;
        }
    }
    if (property) {
        StoredProperty one{*property, {}, std::nullopt};
        if (const std::string* value = FieldOf(outcome, "value")) {
            one.value = *value;
        }
        if (const std::string* verified = FieldOf(outcome, "verified")) {
            one.verified = *verified == "true";
        }
        if (*property == "sn" && !one.value.empty()) {
            result.serialNumber = one.value;
        }
        if (*property == "address" && !result.address && outcome.ok) {
            result.address = Parse<int>(one.value);
        }
        result.properties.push_back(std::move(one));
    }
    return result;
}

std::function<void(const Outcome&)> StoreSink(Store& store)
{
    return [&store, host = BenchHostName()](const Outcome& outcome) {
        store.record(ToStoredResult(outcome, host));
    };
}

} // namespace ctl
