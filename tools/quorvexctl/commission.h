#pragma once

#include "commands.h"
#include "registermap.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class LinePort;
struct Session;

namespace ctl {

// A value for a setting, checked before anything reaches the line.
struct CheckedValue
{
    SettingValue setting;
    std::string text;     // as the window would show it read back
    std::string readBack; // what a read of the property gives when it took
};

// The value rules of every property, shared by the command line and the job file. The
// message in *error starts with the property's name: "baud: '19200' is not one of ...".
std::optional<CheckedValue> CheckSetting(MeterProperty property, MeterType type,
                                         const std::string& value, std::string* error);

// Where a meter answers: its bus address and the line's speed and parity (0 none, 1 odd,
// 2 even, as the window's lists).
struct MeterLine
{
    MeterType type = MeterType::SinglePhase;
    int address = 0;
    int baud = 9600;
    int parity = 0;
};

// How one setting of a commissioning went.
struct SettingStep
{
    MeterProperty property{};
    CheckedValue value;
    bool written = false;
    // The write was refused or its read back failed.
    std::optional<CommandFault> fault;
    // What the read back gave; nothing when it was not read.
    std::optional<std::string> read;
    bool verified = false;
    // Neither written nor read: stopped before it.
    bool notDone = false;
};

using Setting = std::pair<MeterProperty, CheckedValue>;

// Writes the settings, the meter's own properties first, then its address, then the line
// settings with the speed last, following the meter (line changes with each address, speed
// and parity that took, the port with it), then reads each written setting back. Each
// setting is told to `settled` once its fate is known: a refused write at once, the others
// after their read back, and when `stop` turns true (checked between two commands) those not
// reached, marked notDone. False when it could not go on (the port refused a line setting the
// meter took, or the meter answers at neither setting after a lost echo), the reason in
// *portError and line where the meter is now; the settings written are told unread, those
// after it not at all.
bool Commission(Session& session, LinePort& port, MeterLine& line, std::vector<Setting> settings,
                const std::function<void(const SettingStep&)>& settled,
                const std::atomic<bool>* stop, std::string* portError);

} // namespace ctl
