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
    const auto follow = [&session](const MeterLine& to) {
        session.line = LineTiming{static_cast<unsigned>(to.baud), to.parity != 0};
    };
    const auto answers = [&session, &line] {
        return ReadProperty(session, line.type, static_cast<std::uint8_t>(line.address), MeterProperty::Address).ok();
    };
    // The commission cannot go on: every step written so far is told, not read back.
    const auto stopAt = [&](std::string reason) {
        for (const SettingStep& step : written) {
            settled(step);
        }
        *portError = std::move(reason);
        return false;
    };
    for (; next < settings.size() && !Stopped(stop); ++next) {
        const auto& [property, value] = settings[next];
        SettingStep step;
        step.property = property;
        step.value = value;
        const Result<Done> set = SetProperty(
            session, line.type, static_cast<std::uint8_t>(line.address), property, value.setting);
        const bool lineSetting = property == MeterProperty::BaudRate || property == MeterProperty::Parity;
        // A meter may change its speed before its echo is out: a lost echo of a line setting
        // says nothing yet of whether it took.
        const bool echoLost = !set && set.fault().fault == Fault::NoReply;
        if (!set && !(lineSetting && echoLost)) {
            step.fault = set.fault();
            settled(step);
            continue;
        }
        step.written = true;
        if (!lineSetting) {
            written.push_back(step);
            // The meter answers at its new address from now on: follow it.
            if (property == MeterProperty::Address && line.address != 0) {
                line.address = value.setting.number;
            }
            continue;
        }
        MeterLine after = line;
        if (property == MeterProperty::BaudRate) {
            after.baud = value.setting.number;
        } else {
            after.parity = *ParityIndexFromCode(static_cast<std::uint8_t>(value.setting.number));
        }
        const LineSetting before{line.baud, line.parity};
        const LineSetting next{after.baud, after.parity};
        if (const std::string reason = PutLineAt(port, next); !reason.empty()) {
            if (set) {
                written.push_back(step);
                line = after; // the meter took it, even if the port cannot follow
            }
            return stopAt("the port cannot follow the meter to " + DescribeSetting(next) + ": " + reason);
        }
        follow(after);
        if (echoLost) {
            std::swap(line, after); // ask where the meter would be had it taken the setting
            const bool took = answers();
            std::swap(line, after);
            if (!took) {
                PutLineAt(port, before);
                follow(line);
                if (answers()) {
                    step.written = false;
                    step.fault = set.fault(); // not taken: the meter is where it was
                    settled(step);
                    continue;
                }
                return stopAt("no echo to " + std::string(PropertyName(property)) + "=" + value.text +
                              ", and the meter answers neither at " + DescribeSetting(before) + " nor at " +
                              DescribeSetting(next));
            }
        }
        written.push_back(step);
        line = after;
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
