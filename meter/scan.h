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
    int address = 0;
    MeterType type = MeterType::SinglePhase;
    // The decimal mode a read of the address gives, as the window's "读地址" takes it.
    std::optional<int> decimalsRegister;
};

struct ScanHooks
{
    // Puts the line at a setting; false when the port refuses it (the setting is skipped).
    std::function<bool(const LineSetting&)> applySetting;
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

// At the line's present setting, asks each address from `from` to `to` for its address and
// lists those that answer (noise included, marked as such).
std::vector<ScanAnswer> SweepAddresses(Session& session, const ScanHooks& hooks, const LineSetting& setting,
                                       MeterType type, int from, int to, unsigned turnaroundMs);
