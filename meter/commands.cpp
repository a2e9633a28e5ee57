#include "commands.h"

#include "bcd.h"
#include "framelog.h"
#include "hextext.h"
#include "transaction.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Reads go to the address every meter answers, whatever its own, unless the caller names one.

constexpr unsigned kReadMeterWaitMs = 2500;
constexpr unsigned kSinglePhasePauseMs = 200;
constexpr unsigned kThreePhasePauseMs = 300;

constexpr std::array<CommandRow, 20> kCommands{{
    {Command::SetBaudRate, MeterProperty::BaudRate, 300, ShortWriteReport::Debug, false},
    {Command::SetAddress, MeterProperty::Address, 300, ShortWriteReport::MessageBox, false},
    {Command::SetDisplayTime, MeterProperty::DisplayTime, 300, ShortWriteReport::MessageBox, false},
    {Command::SetScreenNumber, MeterProperty::ScreenNumber, 300, ShortWriteReport::Debug, false},
    {Command::SetDecimal, MeterProperty::DecimalPlaces, 300, ShortWriteReport::MessageBox, false},
    {Command::SetSerialNumber, MeterProperty::SerialNumber, 400, ShortWriteReport::MessageBox, false},
    {Command::SetPassword, MeterProperty::Password, 500, ShortWriteReport::Debug, true},
    {Command::SetCtRatio, MeterProperty::CtRatio, 300, ShortWriteReport::MessageBox, true},
    {Command::SetParity, MeterProperty::Parity, 300, ShortWriteReport::Debug, false},
    {Command::ClearZero, MeterProperty::Address, 800, ShortWriteReport::Debug, false},
    {Command::ReadAddress, MeterProperty::Address, 1200, ShortWriteReport::MessageBox, false},
    {Command::ReadSerialNumber, MeterProperty::SerialNumber, 800, ShortWriteReport::MessageBox, false},
    {Command::ReadScreenNumber, MeterProperty::ScreenNumber, 300, ShortWriteReport::MessageBox, false},
    {Command::ReadDecimal, MeterProperty::DecimalPlaces, 800, ShortWriteReport::MessageBox, false},
    {Command::ReadDisplayTime, MeterProperty::DisplayTime, 800, ShortWriteReport::MessageBox, false},
    {Command::ReadBaudRate, MeterProperty::BaudRate, 200, ShortWriteReport::Silent, false},
    {Command::ReadPassword, MeterProperty::Password, 500, ShortWriteReport::Silent, true},
    {Command::ReadCtRatio, MeterProperty::CtRatio, 800, ShortWriteReport::MessageBox, true},
    {Command::ReadParity, MeterProperty::Parity, 200, ShortWriteReport::Silent, false},
    {Command::ReadMeter, MeterProperty::Address, kReadMeterWaitMs, ShortWriteReport::MessageBox, false},
}};

// The setting and the read of each property.
struct PropertyCommands
{
    MeterProperty property;
    Command set;
    Command read;
};
constexpr std::array<PropertyCommands, 9> kPropertyCommands{{
    {MeterProperty::SerialNumber, Command::SetSerialNumber, Command::ReadSerialNumber},
    {MeterProperty::Address, Command::SetAddress, Command::ReadAddress},
    {MeterProperty::DisplayTime, Command::SetDisplayTime, Command::ReadDisplayTime},
    {MeterProperty::ScreenNumber, Command::SetScreenNumber, Command::ReadScreenNumber},
    {MeterProperty::DecimalPlaces, Command::SetDecimal, Command::ReadDecimal},
    {MeterProperty::BaudRate, Command::SetBaudRate, Command::ReadBaudRate},
    {MeterProperty::CtRatio, Command::SetCtRatio, Command::ReadCtRatio},
    {MeterProperty::Password, Command::SetPassword, Command::ReadPassword},
    {MeterProperty::Parity, Command::SetParity, Command::ReadParity},
}};

const PropertyCommands& CommandsOf(MeterProperty property)
{
    const auto* row = std::find_if(kPropertyCommands.begin(), kPropertyCommands.end(),
                                   [property](const PropertyCommands& r) { return r.property == property; });
    if (row == kPropertyCommands.end()) {
        std::abort(); // every property has its row: a missing one is a programming error
    }
    return *row;
}

// The register data a setting writes, or the reason it cannot be written.
Result<std::vector<std::uint8_t>> SettingData(MeterProperty property, const SettingValue& value)
{
    switch (property) {
    case MeterProperty::DisplayTime:
    case MeterProperty::ScreenNumber:
    case MeterProperty::DecimalPlaces:
    case MeterProperty::CtRatio:
    case MeterProperty::Address:
        return std::vector<std::uint8_t>{0x00, static_cast<std::uint8_t>(value.number)};
    case MeterProperty::BaudRate:
        if (BaudCode(value.number) == 0) {
            return CommandFault{Fault::BadValue};
        }
        return std::vector<std::uint8_t>{0x00, BaudCode(value.number)};
    case MeterProperty::Parity:
        return std::vector<std::uint8_t>{0x00, static_cast<std::uint8_t>(value.number)};
    case MeterProperty::SerialNumber: {
        const auto packed = PackSerialNumber(value.text);
        return std::vector<std::uint8_t>(packed.begin(), packed.end());
    }
    case MeterProperty::Password: {
        if (value.text.size() != 4) {
            return CommandFault{Fault::BadValue};
        }
        const auto packed = PackPassword(value.text);
        return std::vector<std::uint8_t>(packed.begin(), packed.end());
    }
    }
    return CommandFault{Fault::BadValue};
}

// The byte counts a property's read reply may carry. The address reply of either type is
// accepted whatever type is selected; the serial number is two registers.
std::initializer_list<std::uint8_t> ReplyByteCounts(MeterProperty property)
{
    static constexpr std::initializer_list<std::uint8_t> kAddress{12, 2};
    static constexpr std::initializer_list<std::uint8_t> kSerial{4};
    static constexpr std::initializer_list<std::uint8_t> kOne{2};
    switch (property) {
    case MeterProperty::Address:
        return kAddress;
    case MeterProperty::SerialNumber:
        return kSerial;
    default:
        return kOne;
    }
}

Result<PropertyReading> DecodeProperty(MeterProperty property, MeterType type, Reply reply)
{
    PropertyReading reading;
    reading.property = property;
    switch (property) {
    case MeterProperty::Address: {
        const AddressReply decoded = DecodeAddressReply(reply);
        reading.number = decoded.address;
        if (type == MeterType::SinglePhase) {
            // A single-phase meter's energies always have one decimal once its address is known.
            reading.decimalsRegister = 1;
        } else if (type == MeterType::ThreePhase) {
            reading.decimalsRegister = decoded.decimalsRegister;
            reading.serialNumber = decoded.serialNumber;
        }
        reading.value = std::to_string(reading.number);
        return reading;
    }
    case MeterProperty::SerialNumber:
        reading.value = SerialNumberText(reply);
        return reading;
    case MeterProperty::Password:
        reading.value = PasswordText(reply);
        return reading;
    case MeterProperty::BaudRate: {
        const std::uint8_t code = ByteBeforeCrc(reply);
        const std::optional<int> index = BaudIndexFromCode(code);
        if (!index) {
            return CommandFault{Fault::UnknownValue, code};
        }
        reading.number = *index;
        reading.value = std::to_string(kBaudRates[static_cast<std::size_t>(*index)]);
        return reading;
    }
    case MeterProperty::Parity: {
        const std::uint8_t code = ByteBeforeCrc(reply);
        const std::optional<int> index = ParityIndexFromCode(code);
        if (!index) {
            return CommandFault{Fault::UnknownValue, code};
        }
        reading.number = *index;
        reading.value = std::string(ParityText(*index));
        return reading;
    }
    case MeterProperty::DisplayTime:
    case MeterProperty::ScreenNumber:
    case MeterProperty::DecimalPlaces:
    case MeterProperty::CtRatio:
        reading.number = FirstRegister(reply);
        reading.value = std::to_string(reading.number);
        return reading;
    }
    return CommandFault{Fault::BadValue};
}

std::size_t ReplySizeOf(MeterType type)
{
    switch (type) {
    case MeterType::SinglePhase:
        return kSinglePhaseReplySize;
    case MeterType::ThreePhase:
        return kThreePhaseReplySize;
    case MeterType::Other:
        break;
    }
    return 0;
}

// The window's gathering of the read-meter reply: the first wait, then pieces with pauses.
Result<Reply> GatherInWindowTiming(Session& session, const Frame& request, const ReadMeterOptions& options)
{
    if (const auto fault = WriteRequest(session, request)) {
        return *fault;
    }
    const GatherSteps steps{
        kReadMeterWaitMs,
        [&options] { return ReplySizeOf(options.meterType()); },
        [&options] {
            return options.meterType() == MeterType::ThreePhase ? kThreePhasePauseMs : kSinglePhasePauseMs;
        },
        [&session](const std::string& line) {
            if (session.debug) {
                session.debug(line);
            }
        },
    };
    RecvBuffer& buffer = session.recvBuffer();
    std::size_t gathered = 0;
    const std::optional<std::size_t> count = GatherReply(session.link, buffer, steps, &gathered);
    session.lastReceived = gathered;
    if (gathered > 0 && session.tap) {
        session.tap(FrameDirection::Rx, {buffer.data(), gathered});
    }
    if (!count) {
        // Pieces that never made up the whole reply are no reply at all.
        return CommandFault{gathered == 0 ? Fault::NoReply : Fault::WrongLength};
    }
    return Reply{buffer.data(), *count};
}

} // namespace

const CommandRow& CommandRowOf(Command command)
{
    const auto* row = std::find_if(kCommands.begin(), kCommands.end(),
                                   [command](const CommandRow& r) { return r.command == command; });
    if (row == kCommands.end()) {
        // A command without a row is a programming error: never fall back to another's wait.
        std::abort();
    }
    return *row;
}

Result<Done> SetProperty(Session& session, MeterType type, std::uint8_t address, MeterProperty property,
                         const SettingValue& value)
{
    const CommandRow& row = CommandRowOf(CommandsOf(property).set);
    const auto data = SettingData(property, value);
    if (!data) {
        return data.fault();
    }
    if (row.threePhaseOnly && type == MeterType::SinglePhase) {
        return CommandFault{Fault::NotSupported};
    }
    const Frame request = BuildWriteRequest(address, RegisterOf(property, type), *data);
    const Reply requestBytes = request.bytes();
    const auto fault = Transact(session, request, row.waitMs, ReplyShown::AfterTest,
                                [requestBytes](Reply reply) { return CheckWriteEcho(reply, requestBytes); });
    if (fault) {
        return *fault;
    }
    return Done{};
}

Result<Done> ClearZero(Session& session)
{
    const CommandRow& row = CommandRowOf(Command::ClearZero);
    const auto fault = Transact(session, BuildClearZeroFrame(), row.waitMs, ReplyShown::AfterTest,
                                [](Reply reply) { return CheckClearZeroReply(reply); });
    if (fault) {
        return *fault;
    }
    return Done{};
}

Result<PropertyReading> ReadProperty(Session& session, MeterType type, std::uint8_t address, MeterProperty property)
{
    const CommandRow& row = CommandRowOf(CommandsOf(property).read);
    if (row.threePhaseOnly && type == MeterType::SinglePhase) {
        return CommandFault{Fault::NotSupported};
    }
    const Frame request = BuildReadRequest(address, RegisterOf(property, type), ReadCountOf(property, type));
    Reply reply;
    const auto fault = Transact(
        session, request, row.waitMs, ReplyShown::BeforeTest,
        [property, address](Reply r) { return CheckReadReply(r, ReplyByteCounts(property), address); }, &reply);
    if (fault) {
        return *fault;
    }
    return DecodeProperty(property, type, reply);
}

Result<MeterReading> ReadMeter(Session& session, const ReadMeterOptions& options)
{
    if (!options.meterType) {
        return CommandFault{Fault::NotSupported};
    }
    const auto registers = [](MeterType type) -> std::uint16_t {
        switch (type) {
        case MeterType::SinglePhase:
            return kSinglePhaseRegisters;
        case MeterType::ThreePhase:
            return kThreePhaseRegisters;
        case MeterType::Other:
            break;
        }
        return 0;
    };
    const Frame request = BuildReadRequest(options.address, 0, registers(options.meterType()));
    if (session.traffic.showSend) {
        session.traffic.showSend(FormatHexBytes(request.data(), request.size()));
    }

    Reply reply;
    if (session.timing == Timing::Window) {
        const auto gathered = GatherInWindowTiming(session, request, options);
        if (!gathered) {
            return gathered.fault();
        }
        reply = *gathered;
    } else if (const auto fault = ReceiveAtWireSpeed(session, request, &reply)) {
        return *fault;
    }
    if (session.traffic.showRecv) {
        session.traffic.showRecv(FormatHexBytes(reply.data(), reply.size()));
    }

    ReadMeterCrc crc;
    const auto fault = CheckReadMeterReply(reply, &crc);
    if (fault && fault->fault != Fault::BadCrc) {
        return *fault;
    }
    if (session.debug) {
        session.debug("crc:" + std::to_string(crc.computed));
        session.debug("crc2:" + std::to_string(crc.received));
    }
    if (fault) {
        return *fault;
    }
    // The reply of the other type's layout is no reading of this one.
    if (reply[2] != 2 * registers(options.meterType())) {
        return CommandFault{Fault::WrongLength};
    }
    if (options.address != 0 && reply[0] != options.address) {
        return CommandFault{Fault::WrongAddress};
    }

    MeterReading reading;
    reading.type = options.meterType();
    switch (reading.type) {
    case MeterType::SinglePhase:
        reading.single = DecodeSinglePhase(reply);
        break;
    case MeterType::ThreePhase:
        reading.three = DecodeThreePhase(reply, options.decimalMode);
        break;
    case MeterType::Other:
        return CommandFault{Fault::NotSupported};
    }
    return reading;
}

Fields ReadingFields(const MeterReading& reading)
{
    Fields fields;
    if (reading.type == MeterType::SinglePhase) {
        const SinglePhaseValues& v = reading.single;
        fields = {{"sn", v.serialNumber}};
        if (v.activeKWh) {
            fields.insert(fields.end(), {{"active_kwh", *v.activeKWh},
                                         {"positive_kwh", *v.positiveKWh},
                                         {"reverse_kwh", *v.reverseKWh}});
        }
        fields.insert(fields.end(), {{"voltage_l1", v.voltageL1},
                                     {"current_l1", v.currentL1},
                                     {"active_power", v.activePower},
                                     {"reactive_power", v.reactivePower},
                                     {"apparent_power", v.apparentPower},
                                     {"power_factor", v.powerFactor},
                                     {"frequency", v.frequency},
                                     {"constant", v.constant},
                                     {"tariff_number", v.tariffNumber}});
    } else if (reading.type == MeterType::ThreePhase) {
        static constexpr std::array<const char*, TpValueCount> kKeys{
            "active_kwh",        "positive_kwh",      "reverse_kwh",       "reactive_kwh",    "voltage_l1",
            "voltage_l2",        "voltage_l3",        "current_l1",        "current_l2",      "current_l3",
            "active_power_l1",   "active_power_l2",   "active_power_l3",   "reactive_power_l1",
            "reactive_power_l2", "reactive_power_l3", "power_factor_l1",   "power_factor_l2",
            "power_factor_l3",   "active_power",      "reactive_power",    "power_factor",    "frequency",
        };
        for (std::size_t i = 0; i < kKeys.size(); ++i) {
            fields.emplace_back(kKeys[i], reading.three[i]);
        }
    }
    return fields;
}

namespace {

constexpr std::array<std::pair<MeterProperty, std::string_view>, 9> kPropertyNames{{
    {MeterProperty::Address, "address"},
    {MeterProperty::SerialNumber, "sn"},
    {MeterProperty::BaudRate, "baud"},
    {MeterProperty::Parity, "parity"},
    {MeterProperty::ScreenNumber, "screen"},
    {MeterProperty::DecimalPlaces, "decimals"},
    {MeterProperty::DisplayTime, "display-time"},
    {MeterProperty::CtRatio, "ct"},
    {MeterProperty::Password, "password"},
}};

} // namespace

std::string_view PropertyName(MeterProperty property)
{
    for (const auto& [p, name] : kPropertyNames) {
        if (p == property) {
            return name;
        }
    }
    return {};
}

std::optional<MeterProperty> PropertyFromName(std::string_view name)
{
    for (const auto& [p, n] : kPropertyNames) {
        if (n == name) {
            return p;
        }
    }
    return std::nullopt;
}

std::string_view ParityText(int listIndex)
{
    return listIndex >= 0 && listIndex < static_cast<int>(kParityTexts.size())
               ? kParityTexts[static_cast<std::size_t>(listIndex)]
               : std::string_view{};
}
