#pragma once

#include "meterdata.h"
#include "registermap.h"
#include "result.h"
#include "session.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The meter commands, one function each, over a Session. Nothing here shows anything: the
// caller gets a value or the fault, and decides what to tell whom.

enum class Command
{
    SetBaudRate,
    SetAddress,
    SetDisplayTime,
    SetScreenNumber,
    SetDecimal,
    SetSerialNumber,
    SetPassword,
    SetCtRatio,
    SetParity,
    ClearZero,
    ReadAddress,
    ReadSerialNumber,
    ReadScreenNumber,
    ReadDecimal,
    ReadDisplayTime,
    ReadBaudRate,
    ReadPassword,
    ReadCtRatio,
    ReadParity,
    ReadMeter,
};

// How the window tells the operator that a request did not go out whole.
enum class ShortWriteReport
{
    MessageBox,
    Debug,
    Silent,
};

// One command: the property it writes or reads, the window's fixed wait for its reply and
// how the window reports a short write.
struct CommandRow
{
    Command command;
    MeterProperty property; // ignored by clear zero and read meter
    unsigned waitMs;
    ShortWriteReport shortWrite;
    bool threePhaseOnly;
};
const CommandRow& CommandRowOf(Command command);

// What a setting writes. Each property takes the part that means something to it:
//   display time, screen number, decimals, CT ratio: number, sent as the register's low byte
//   baud rate: number, the rate (1200, 2400, 4800 or 9600)
//   parity: number, the meter's parity code (ParityCodeFromText)
//   address: number, the new address
//   serial number: text, its digits packed as BCD (PackSerialNumber)
//   password: text, exactly four characters (PackPassword)
struct SettingValue
{
    int number = 0;
    std::u32string text;
};

// A setting to the meter at address (0: every meter on the line). A new address is written
// to the meter's present address where that is known; the window writes it to 0, as the one
// meter on its line may answer to anything.
Result<Done> SetProperty(Session& session, MeterType type, std::uint8_t address, MeterProperty property,
                         const SettingValue& value);

// The DL/T 645 clear-to-zero frame.
Result<Done> ClearZero(Session& session);

// A property read back. value is the text the window shows for it.
struct PropertyReading
{
    MeterProperty property{};
    std::string value;
    // The register as a number, for the properties kept as numbers (address, display time,
    // screen number, decimals, CT ratio); the list position of a baud rate or parity.
    int number = 0;
    // Read address: the decimal mode the reply tells (1 on a single-phase meter; the decimals
    // register on a three-phase meter, when it arrived) and the serial number a three-phase
    // meter sends along.
    std::optional<int> decimalsRegister;
    std::optional<std::string> serialNumber;
};
Result<PropertyReading> ReadProperty(Session& session, MeterType type, std::uint8_t address,
                                     MeterProperty property);

// One reading of all measured values, as display texts.
struct MeterReading
{
    MeterType type = MeterType::Other;
    SinglePhaseValues single;                       // single phase
    std::array<std::string, TpValueCount> three{}; // three phase, in reply order
};

struct ReadMeterOptions
{
    std::uint8_t address = 0;
    // The decimals of the energies (1 or 2): a three-phase reply cannot be read without.
    int decimalMode = 0;
    // The meter type, asked again at every piece of the reply in the window's timing, as the
    // operator may change it while the reply comes in.
    std::function<MeterType()> meterType;
};
Result<MeterReading> ReadMeter(Session& session, const ReadMeterOptions& options);

// The fields of a reading as (key, text) pairs in the order of the record: address and
// serial number first when known, then the measured values. Keys are the record's fields in
// snake case ("active_kwh", "voltage_l1", ...); each meter type has its own subset.
using Fields = std::vector<std::pair<std::string, std::string>>;
Fields ReadingFields(const MeterReading& reading);

// The words scripts use for the properties: "address", "sn", "baud", "parity", "screen",
// "decimals", "display-time", "ct", "password".
std::string_view PropertyName(MeterProperty property);
std::optional<MeterProperty> PropertyFromName(std::string_view name);

// The texts the window's lists show for the codes.
std::string_view ParityText(int listIndex);
