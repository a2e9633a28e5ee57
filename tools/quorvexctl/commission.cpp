#include "commission.h"

#include "lineport.h"
#include "portlink.h"
#include "scan.h"
#include "session.h"

#include <algorithm>

namespace ctl {

namespace {

// Settings in the order that keeps the line usable: the meter's own properties first, then
// its address, then the line settings, the speed last.
int CommissionRank(MeterProperty property)
{
    switch (property) {
    case MeterProperty::Address:
        return 1;
    case MeterProperty::Parity:
        return 2;
    case MeterProperty::BaudRate:
        return 3;
    default:
        return 0;
    }
}

bool Stopped(const std::atomic<bool>* stop)
{
    return stop != nullptr && stop->load();
}

} // namespace

bool Commission(Session& session, LinePort& port, MeterLine& line, std::vector<Setting> settings,
                const std::function<void(const SettingStep&)>& settled,
                const std::atomic<bool>* stop, std::string* portError)
{
    std::stable_sort(settings.begin(), settings.end(), [](const Setting& a, const Setting& b) {
        return CommissionRank(a.first) < CommissionRank(b.first);
    });
    std::vector<SettingStep> written;
    std::size_t next = 0;
    for (; next < settings.size() && !Stopped(stop); ++next) {
        const auto& [property, value] = settings[next];
        SettingStep step;
        step.property = property;
        step.value = value;
        const Result<Done> set = SetProperty(
            session, line.type, static_cast<std::uint8_t>(line.address), property, value.setting);
        if (!set) {
            step.fault = set.fault();
            settled(step);
            continue;
        }
        step.written = true;
        written.push_back(step);
        // The meter answers at its new settings from now on: follow it.
        if (property == MeterProperty::Address && line.address != 0) {
            line.address = value.setting.number;
        } else if (property == MeterProperty::BaudRate || property == MeterProperty::Parity) {
            if (property == MeterProperty::BaudRate) {
                line.baud = value.setting.number;
            } else {
                line.parity = *ParityIndexFromCode(static_cast<std::uint8_t>(value.setting.number));
            }
            if (!ApplyLineSetting(port, LineSetting{line.baud, line.parity})) {
                *portError = port.lastError();
                return false;
            }
        }
    }
    for (SettingStep& step : written) {
        if (Stopped(stop)) {
            settled(step); // written, never read back
            continue;
        }
        const Result<PropertyReading> read = ReadProperty(
            session, line.type, static_cast<std::uint8_t>(line.address), step.property);
        if (!read) {
            step.fault = read.fault();
        } else {
            step.read = read->value;
            step.verified = read->value == step.value.readBack;
        }
        settled(step);
    }
    for (; next < settings.size(); ++next) {
        SettingStep step;
        step.property = settings[next].first;
        step.value = settings[next].second;
        step.notDone = true;
        settled(step);
    }
    return true;
}

} // namespace ctl
