#pragma once

#include "registermap.h"
#include "session.h"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Finding a meter whose line settings nobody wrote down, and the meters on a shared bus.

struct LineSetting
{
    int baud = 9600;
    int parity = 0; // 0 none, 1 odd, 2 even: the order of the window's parity lists

    bool operator==(const LineSetting&) const = default;
};

// The twelve settings a meter can have, most common first: 9600 without parity, 9600 even,
// then downwards through the rest in the window's list order, so that 1200 even comes last.
const std::array<LineSetting, 12>& ScanOrder();

// "9600 none", "1200 even".
std::string DescribeSetting(const LineSetting& setting);

// How long a request and its reply take on the line at a setting (10 bits a character, 11
// with parity), plus the meter's turnaround allowance, rounded up to whole milliseconds.
unsigned WireWaitMs(const LineSetting& setting, std::size_t requestBytes, std::size_t replyBytes,
                    unsigned turnaroundMs);

struct ScanAnswer
{
    LineSetting setting;
    // Bytes came back at this setting, but no reply with a right CRC: typical of a wrong
    // parity or a speed close to the meter's. The fields below mean nothing then.
    bool noise = false;
    // The port would not take this setting: its reason. Nothing was asked at it.
    std::string refused;
    int address = 0;
    MeterType type = MeterType::SinglePhase;
    // The decimal mode a read of the address gives, as the window's "读地址" takes it.
    std::optional<int> decimalsRegister;

    bool found() const { return !noise && refused.empty(); }
};

struct ScanHooks
{
    // Puts the line at a setting; empty when it took, otherwise the port's reason (the
    // setting is listed as refused and the search goes on).
    std::function<std::string(const LineSetting&)> applySetting;
    // Told before each setting (or address) is tried.
    std::function<void(const LineSetting&)> trying;
    std::function<void(int address)> tryingAddress;
    // Asked between two requests; true ends the search at once.
    std::function<bool()> cancelled;
};

// Tries the settings in ScanOrder: one read of the address to address 0, as the first type
// has it, waiting only as long as the setting needs. Where anything at all comes back, the
// other type's read of the address tells the meter type. Stops at the first answer with a
// right CRC unless `all`; noise is listed and the search goes on. The session runs at wire
// speed; its response timeout is set for each request.
std::vector<ScanAnswer> ScanLineSettings(Session& session, const ScanHooks& hooks, MeterType firstType,
                                         unsigned turnaroundMs, bool all);

// At the line's present setting, asks each address from `from` to `to` for its address
// register alone (on a three-phase meter that reply is ten bytes shorter than the six-register
// block, and each silent address waits for the longest reply it could have) and lists those
// that answer, in address order, noise included and marked as such. A meter that answers
// after the next address was asked is listed under its own address.
std::vector<ScanAnswer> SweepAddresses(Session& session, const ScanHooks& hooks, const LineSetting& setting,
                                       MeterType type, int from, int to, unsigned turnaroundMs);
