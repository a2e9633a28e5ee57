#include "answer.h"

#include "crc.h"
#include "dlt645.h"
#include "replies.h"

#include <algorithm>
#include <type_traits>

namespace metersim {

namespace {

// How a register row turns its quantity into bytes.
enum class Coding
{
    Unsigned, // big-endian binary
    Signed,   // big-endian two's complement
    Bcd,      // packed BCD, 4 digits per register, no sign
    SignedBcd // packed BCD; a negative value as the two's complement of its magnitude's code
};

// One quantity of a register map: one or two registers from `first`. The state holds the
// quantity with more decimals than some layouts carry; `divisor` drops those. Rows with a
// `store` take writes; it returns false for a value the meter refuses.
struct RegisterRow
{
    std::uint16_t first;
    std::uint16_t count;
    Coding coding;
    std::int64_t divisor;
    std::int64_t (*fetch)(const MeterState&);
    bool (*store)(MeterState&, std::int64_t) = nullptr;
};

template <auto Member> std::int64_t Field(const MeterState& state)
{
    return static_cast<std::int64_t>(state.*Member);
}

template <auto Member, std::size_t Phase> std::int64_t PhaseField(const MeterState& state)
{
    return (state.*Member)[Phase];
}

template <auto Member> std::int64_t PhaseSum(const MeterState& state)
{
    const auto& phases = state.*Member;
    return phases[0] + phases[1] + phases[2];
}

template <std::size_t N> std::int64_t BytesValue(const std::array<std::uint8_t, N>& bytes)
{
    std::int64_t value = 0;
    for (const std::uint8_t byte : bytes) {
        value = value << 8 | byte;
    }
    return value;
}

template <std::size_t N> void SetBytes(std::array<std::uint8_t, N>& bytes, std::int64_t value)
{
    for (std::size_t i = N; i-- > 0;) {
        bytes[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

std::int64_t SerialNumber(const MeterState& state)
{
    return BytesValue(state.serialNumber);
}

std::int64_t Password(const MeterState& state)
{
    return BytesValue(state.password);
}

bool StoreSerialNumber(MeterState& state, std::int64_t value)
{
    SetBytes(state.serialNumber, value);
    return true;
}

bool StorePassword(MeterState& state, std::int64_t value)
{
    SetBytes(state.password, value);
    return true;
}

template <auto Member, std::int64_t Low, std::int64_t High>
bool StoreInRange(MeterState& state, std::int64_t value)
{
    if (value < Low || value > High) {
        return false;
    }
    using Target = std::remove_reference_t<decltype(state.*Member)>;
    state.*Member = static_cast<Target>(value);
    return true;
}

bool StoreBaudCode(MeterState& state, std::int64_t value)
{
    if (value != 0x04 && value != 0x08 && value != 0x10 && value != 0x20) {
        return false;
    }
    state.baudCode = static_cast<std::uint8_t>(value);
    return true;
}

constexpr auto kStoreAddress = &StoreInRange<&MeterState::address, 1, 254>;
constexpr auto kStoreParity = &StoreInRange<&MeterState::parityCode, 0, 2>;
constexpr auto kStoreDecimals = &StoreInRange<&MeterState::decimals, 1, 2>;
constexpr auto kStoreDisplayTime = &StoreInRange<&MeterState::displayTime, 0, 0xFFFF>;
constexpr auto kStoreScreenNumber = &StoreInRange<&MeterState::screenNumber, 0, 0xFFFF>;
constexpr auto kStoreCtRatio = &StoreInRange<&MeterState::ctRatio, 0, 0xFFFF>;

// Single-phase meter: packed BCD measured values, the settings from 0x14 on. Registers 24
// to 26 of the measured block are the address, display time and screen number settings.
constexpr RegisterRow kSinglePhaseRows[] = {
    {0x00, 2, Coding::Bcd, 1, &Field<&MeterState::activeEnergy>},
    {0x02, 2, Coding::Bcd, 1, &Field<&MeterState::positiveEnergy>},
    {0x04, 2, Coding::Bcd, 1, &Field<&MeterState::reverseEnergy>},
    {0x06, 2, Coding::Bcd, 1, &PhaseField<&MeterState::voltage, 0>},
    {0x08, 2, Coding::Bcd, 1, &PhaseField<&MeterState::current, 0>},
    {0x0A, 2, Coding::SignedBcd, 10, &PhaseField<&MeterState::activePower, 0>},
    {0x0C, 2, Coding::SignedBcd, 10, &PhaseField<&MeterState::reactivePower, 0>},
    {0x0E, 2, Coding::SignedBcd, 10, &Field<&MeterState::apparentPower>},
    {0x10, 2, Coding::Bcd, 1, &PhaseField<&MeterState::powerFactor, 0>},
    {0x12, 2, Coding::Bcd, 1, &Field<&MeterState::frequency>},
    {0x14, 2, Coding::Unsigned, 1, &SerialNumber, &StoreSerialNumber},
    {0x16, 2, Coding::Bcd, 1, &Field<&MeterState::constant>},
    {0x18, 1, Coding::Unsigned, 1, &Field<&MeterState::address>, kStoreAddress},
    {0x19, 1, Coding::Unsigned, 1, &Field<&MeterState::displayTime>, kStoreDisplayTime},
    {0x1A, 1, Coding::Unsigned, 1, &Field<&MeterState::screenNumber>, kStoreScreenNumber},
    {0x1B, 1, Coding::Unsigned, 1, &Field<&MeterState::decimals>, kStoreDecimals},
    {0x1C, 1, Coding::Bcd, 1, &Field<&MeterState::tariffNumber>},
    {0x1D, 1, Coding::Unsigned, 1, &Field<&MeterState::baudCode>, &StoreBaudCode},
    {0x50, 1, Coding::Unsigned, 1, &Field<&MeterState::parityCode>, kStoreParity},
};

// Three-phase meter: signed 32-bit binary measured values (voltages with 1 decimal,
// currents and powers with 2, power factors with 3, energies in 0.01 kWh), the settings
// from 0x2E on.
constexpr RegisterRow kThreePhaseRows[] = {
    {0x00, 2, Coding::Signed, 1, &Field<&MeterState::activeEnergy>},
    {0x02, 2, Coding::Signed, 1, &Field<&MeterState::positiveEnergy>},
    {0x04, 2, Coding::Signed, 1, &Field<&MeterState::reverseEnergy>},
    {0x06, 2, Coding::Signed, 1, &Field<&MeterState::reactiveEnergy>},
    {0x08, 2, Coding::Signed, 1, &PhaseField<&MeterState::voltage, 0>},
    {0x0A, 2, Coding::Signed, 1, &PhaseField<&MeterState::voltage, 1>},
    {0x0C, 2, Coding::Signed, 1, &PhaseField<&MeterState::voltage, 2>},
    {0x0E, 2, Coding::Signed, 10, &PhaseField<&MeterState::current, 0>},
    {0x10, 2, Coding::Signed, 10, &PhaseField<&MeterState::current, 1>},
    {0x12, 2, Coding::Signed, 10, &PhaseField<&MeterState::current, 2>},
    {0x14, 2, Coding::Signed, 1, &PhaseField<&MeterState::activePower, 0>},
    {0x16, 2, Coding::Signed, 1, &PhaseField<&MeterState::activePower, 1>},
    {0x18, 2, Coding::Signed, 1, &PhaseField<&MeterState::activePower, 2>},
    {0x1A, 2, Coding::Signed, 1, &PhaseField<&MeterState::reactivePower, 0>},
    {0x1C, 2, Coding::Signed, 1, &PhaseField<&MeterState::reactivePower, 1>},
    {0x1E, 2, Coding::Signed, 1, &PhaseField<&MeterState::reactivePower, 2>},
    {0x20, 2, Coding::Signed, 1, &PhaseField<&MeterState::powerFactor, 0>},
    {0x22, 2, Coding::Signed, 1, &PhaseField<&MeterState::powerFactor, 1>},
    {0x24, 2, Coding::Signed, 1, &PhaseField<&MeterState::powerFactor, 2>},
    {0x26, 2, Coding::Signed, 1, &PhaseSum<&MeterState::activePower>},
    {0x28, 2, Coding::Signed, 1, &PhaseSum<&MeterState::reactivePower>},
    {0x2A, 2, Coding::Signed, 1, &Field<&MeterState::totalPowerFactor>},
    {0x2C, 2, Coding::Signed, 1, &Field<&MeterState::frequency>},
    {0x2E, 1, Coding::Unsigned, 1, &Field<&MeterState::baudCode>, &StoreBaudCode},
    {0x2F, 1, Coding::Unsigned, 1, &Field<&MeterState::address>, kStoreAddress},
    {0x30, 1, Coding::Unsigned, 1, &Field<&MeterState::screenNumber>, kStoreScreenNumber},
    {0x31, 1, Coding::Unsigned, 1, &Field<&MeterState::displayTime>, kStoreDisplayTime},
    {0x32, 1, Coding::Unsigned, 1, &Field<&MeterState::decimals>, kStoreDecimals},
    {0x33, 2, Coding::Unsigned, 1, &SerialNumber, &StoreSerialNumber},
    {0x44, 1, Coding::Unsigned, 1, &Field<&MeterState::ctRatio>, kStoreCtRatio},
    {0x46, 1, Coding::Unsigned, 1, &Password, &StorePassword},
    {0x50, 1, Coding::Unsigned, 1, &Field<&MeterState::parityCode>, kStoreParity},
};

constexpr std::uint16_t kSinglePhaseMeasuredCount = 29;
constexpr std::uint16_t kSinglePhaseSettingsFirst = 0x14;
constexpr std::uint16_t kSinglePhaseSettingsLast = 0x1D;
constexpr std::uint16_t kMaxReadCount = 125;        // the most one Modbus reply can carry
constexpr std::uint16_t kMaxWriteCount = 123;       // the most one Modbus request can carry
constexpr std::int64_t kEnergyRollover = 100000000; // 8 digits, as the BCD registers hold

constexpr std::uint8_t kDltUnauthorised = 0x04;
constexpr int kDltReplyPreamble = 4;

std::span<const RegisterRow> RowsOf(MeterKind kind)
{
    if (kind == MeterKind::SinglePhase) {
        return kSinglePhaseRows;
    }
    return kThreePhaseRows;
}

// The meter that answers both maps reads its single-phase settings block and the
// single-phase measured layout from the single-phase map, everything else from the
// three-phase one.
std::span<const RegisterRow> RowsForRead(MeterKind kind, std::uint16_t first, std::uint16_t count)
{
    if (kind != MeterKind::Both) {
        return RowsOf(kind);
    }
    const bool singleLayout = first == 0 && count == kSinglePhaseMeasuredCount;
    const bool singleSettings =
        first >= kSinglePhaseSettingsFirst && first <= kSinglePhaseSettingsLast;
    return singleLayout || singleSettings ? RowsOf(MeterKind::SinglePhase)
                                          : RowsOf(MeterKind::ThreePhase);
}

const RegisterRow* FindRow(std::span<const RegisterRow> rows, unsigned reg)
{
    for (const RegisterRow& row : rows) {
        if (reg >= row.first && reg < static_cast<unsigned>(row.first + row.count)) {
            return &row;
        }
    }
    return nullptr;
}

// The setting row holding a register; the two maps' setting rows never overlap with
// different meanings, so the meter that answers both looks in either.
const RegisterRow* FindSettingRow(MeterKind kind, unsigned reg)
{
    const auto search = [reg](std::span<const RegisterRow> rows) -> const RegisterRow* {
        const RegisterRow* row = FindRow(rows, reg);
        return row != nullptr && row->store != nullptr ? row : nullptr;
    };
    if (kind != MeterKind::Both) {
        return search(RowsOf(kind));
    }
    const RegisterRow* row = search(RowsOf(MeterKind::SinglePhase));
    return row != nullptr ? row : search(RowsOf(MeterKind::ThreePhase));
}

std::int64_t DivideRounded(std::int64_t value, std::int64_t divisor)
{
    if (divisor == 1) {
        return value;
    }
    return value >= 0 ? (value + divisor / 2) / divisor : -((-value + divisor / 2) / divisor);
}

std::uint64_t PackBcd(std::int64_t value, int digits)
{
    std::uint64_t code = 0;
    for (int i = 0; i < digits; ++i) {
        code |= static_cast<std::uint64_t>(value % 10) << (4 * i);
        value /= 10;
    }
    return code;
}

std::int64_t PowerOfTen(int digits)
{
    std::int64_t power = 1;
    for (int i = 0; i < digits; ++i) {
        power *= 10;
    }
    return power;
}

// The bytes of a row's registers, high byte of the first register first.
std::array<std::uint8_t, 4> RowBytes(const RegisterRow& row, const MeterState& state)
{
    const int size = 2 * row.count;
    const std::int64_t value = DivideRounded(row.fetch(state), row.divisor);
    std::uint64_t code = 0;
    switch (row.coding) {
    case Coding::Unsigned:
    case Coding::Signed: {
        // Values beyond the registers stick at their limits instead of wrapping into
        // nonsense (or into the other sign).
        const int bits = 16 * row.count;
        const std::int64_t low =
            row.coding == Coding::Signed ? -(std::int64_t{1} << (bits - 1)) : 0;
        const std::int64_t high = row.coding == Coding::Signed ? (std::int64_t{1} << (bits - 1)) - 1
                                                               : (std::int64_t{1} << bits) - 1;
        code = static_cast<std::uint64_t>(std::clamp(value, low, high)) &
               ((std::uint64_t{1} << bits) - 1);
        break;
    }
    case Coding::Bcd: {
        const int digits = 4 * row.count;
        code = PackBcd(std::clamp<std::int64_t>(value, 0, PowerOfTen(digits) - 1), digits);
        break;
    }
    case Coding::SignedBcd: {
        // The top bit marks a negative value, so a positive one stops below 80000000.
        const std::int64_t magnitude = std::min<std::int64_t>(value < 0 ? -value : value, 79999999);
        code = PackBcd(magnitude, 8);
        if (value < 0) {
            code = (~code + 1) & 0xFFFFFFFFu;
        }
        break;
    }
    }
    std::array<std::uint8_t, 4> bytes{};
    for (int i = 0; i < size; ++i) {
        bytes[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>((code >> (8 * (size - 1 - i))) & 0xFF);
    }
    return bytes;
}

void AppendCrc(std::vector<std::uint8_t>& frame)
{
    const std::uint16_t crc = CalcCrc16(frame.data(), static_cast<std::uint16_t>(frame.size()));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));   // byte sent first
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF)); // byte sent second
}

std::uint16_t Word(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::vector<std::uint8_t> ExceptionReply(std::span<const std::uint8_t> request, std::uint8_t code)
{
    std::vector<std::uint8_t> reply{request[0], static_cast<std::uint8_t>(request[1] | 0x80), code};
    AppendCrc(reply);
    return reply;
}

void GrowEnergies(MeterState& state)
{
    state.activeEnergy = (state.activeEnergy + state.energyStep) % kEnergyRollover;
    state.positiveEnergy = (state.positiveEnergy + state.energyStep) % kEnergyRollover;
}

std::vector<std::uint8_t> AnswerRead(MeterState& state, MeterKind kind,
                                     std::span<const std::uint8_t> request)
{
    const std::uint16_t first = Word(request, 2);
    const std::uint16_t count = Word(request, 4);
    if (count == 0 || count > kMaxReadCount) {
        return ExceptionReply(request, kIllegalDataValue);
    }
    if (unsigned{first} + count > 0x10000u) {
        return ExceptionReply(request, kIllegalDataAddress);
    }
    const std::span<const RegisterRow> rows = RowsForRead(kind, first, count);
    std::vector<std::uint8_t> reply{request[0], 0x04, static_cast<std::uint8_t>(2 * count)};
    const unsigned end = unsigned{first} + count;
    for (unsigned reg = first; reg < end; ++reg) {
        const RegisterRow* row = FindRow(rows, reg);
        if (row == nullptr) {
            reply.insert(reply.end(), {0x00, 0x00});
            continue;
        }
        const auto bytes = RowBytes(*row, state);
        const std::size_t at = 2 * (reg - row->first);
        reply.insert(reply.end(), {bytes[at], bytes[at + 1]});
    }
    AppendCrc(reply);
    if (first == 0) {
        GrowEnergies(state);
    }
    return reply;
}

// Carries out a write of `values` (two bytes per register) from `first`; returns 0 or the
// exception code. All or nothing: state is only changed when every register takes its value.
std::uint8_t WriteRegisters(MeterState& state, MeterKind kind, std::uint16_t first,
                            std::span<const std::uint8_t> values)
{
    const std::size_t count = values.size() / 2;
    if (first + count > 0x10000) {
        return kIllegalDataAddress;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (FindSettingRow(kind, first + static_cast<unsigned>(i)) == nullptr) {
            return kIllegalDataAddress;
        }
    }
    MeterState next = state;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned reg = first + static_cast<unsigned>(i);
        const RegisterRow* row = FindSettingRow(kind, reg);
        // A write may cover part of a two-register quantity: patch its register into the
        // quantity's current bytes.
        auto bytes = RowBytes(*row, next);
        const std::size_t at = 2 * (reg - row->first);
        bytes[at] = values[2 * i];
        bytes[at + 1] = values[2 * i + 1];
        std::int64_t value = 0;
        for (int b = 0; b < 2 * row->count; ++b) {
            value = value << 8 | bytes[static_cast<std::size_t>(b)];
        }
        if (!row->store(next, value)) {
            return kIllegalDataValue;
        }
    }
    state = next;
    return 0;
}

std::vector<std::uint8_t> AnswerWriteMultiple(MeterState& state, MeterKind kind,
                                              std::span<const std::uint8_t> request)
{
    if (request.size() < 9) {
        return {};
    }
    const std::uint16_t first = Word(request, 2);
    const std::uint16_t count = Word(request, 4);
    const std::size_t byteCount = request[6];
    if (count == 0 || count > kMaxWriteCount || byteCount != 2u * count ||
        request.size() != 9 + byteCount) {
        return ExceptionReply(request, kIllegalDataValue);
    }
    if (const std::uint8_t code = WriteRegisters(state, kind, first, request.subspan(7, byteCount));
        code != 0) {
        return ExceptionReply(request, code);
    }
    std::vector<std::uint8_t> reply(request.begin(), request.begin() + 6);
    AppendCrc(reply);
    return reply;
}

std::vector<std::uint8_t> AnswerWriteSingle(MeterState& state, MeterKind kind,
                                            std::span<const std::uint8_t> request)
{
    if (const std::uint8_t code =
            WriteRegisters(state, kind, Word(request, 2), request.subspan(4, 2));
        code != 0) {
        return ExceptionReply(request, code);
    }
    return {request.begin(), request.end()};
}

bool ModbusAddresses(std::span<const std::uint8_t> request, const MeterState& state)
{
    return request.size() >= 4 && ReplyCrcMatches(request.data(), request.size()) &&
           (request[0] == 0 || request[0] == state.address);
}

std::vector<std::uint8_t> AnswerModbus(MeterState& state, MeterKind kind,
                                       std::span<const std::uint8_t> request)
{
    if (!ModbusAddresses(request, state)) {
        return {};
    }
    switch (request[1]) {
    case 0x04:
        return request.size() == 8 ? AnswerRead(state, kind, request) : std::vector<std::uint8_t>{};
    case 0x06:
        return request.size() == 8 ? AnswerWriteSingle(state, kind, request)
                                   : std::vector<std::uint8_t>{};
    case 0x10:
        return AnswerWriteMultiple(state, kind, request);
    default:
        return ExceptionReply(request, kIllegalFunction);
    }
}

std::size_t PreambleLength(std::span<const std::uint8_t> bytes)
{
    std::size_t n = 0;
    while (n < bytes.size() && bytes[n] == kDltWakeUp) {
        ++n;
    }
    return n;
}

std::uint8_t Checksum(std::span<const std::uint8_t> bytes)
{
    unsigned sum = 0;
    for (const std::uint8_t byte : bytes) {
        sum += byte;
    }
    return static_cast<std::uint8_t>(sum & 0xFF);
}

std::vector<std::uint8_t> Dlt645Reply(const MeterState& state, std::uint8_t control,
                                      std::span<const std::uint8_t> data)
{
    std::vector<std::uint8_t> reply(kDltReplyPreamble, kDltWakeUp);
    const std::size_t start = reply.size();
    reply.push_back(kDltStart);
    const auto address = Dlt645Address(state);
    reply.insert(reply.end(), address.begin(), address.end());
    reply.push_back(kDltStart);
    reply.push_back(control);
    reply.push_back(static_cast<std::uint8_t>(data.size()));
    reply.insert(reply.end(), data.begin(), data.end());
    reply.push_back(Checksum(std::span(reply).subspan(start)));
    reply.push_back(kDltEnd);
    return reply;
}

// frame: one whole DL/T 645 frame without its preamble.
bool Dlt645Addresses(std::span<const std::uint8_t> frame, const MeterState& state)
{
    const std::size_t dataLength = frame[9];
    if (Checksum(frame.first(10 + dataLength)) != frame[10 + dataLength]) {
        return false;
    }
    const auto own = Dlt645Address(state);
    for (std::size_t i = 0; i < own.size(); ++i) {
        if (frame[1 + i] != kDltWildcard && frame[1 + i] != own[i]) {
            return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> AnswerDlt645(MeterState& state, std::span<const std::uint8_t> request)
{
    const std::span<const std::uint8_t> frame = request.subspan(PreambleLength(request));
    if (!Dlt645Addresses(frame, state)) {
        return {};
    }
    const std::size_t dataLength = frame[9];
    const std::uint8_t control = frame[8];
    if (control != kDltMeterClear || dataLength != 8) {
        return {};
    }
    bool authorised = true;
    for (std::size_t i = 0; i < state.clearPassword.size(); ++i) {
        if (static_cast<std::uint8_t>(frame[10 + i] - kDltOffset) != state.clearPassword[i]) {
            authorised = false;
        }
    }
    if (!authorised) {
        const std::uint8_t error[] = {static_cast<std::uint8_t>(kDltUnauthorised + kDltOffset)};
        return Dlt645Reply(state, control | kDltReplyBit | kDltAbnormalBit, error);
    }
    state.activeEnergy = 0;
    state.positiveEnergy = 0;
    state.reverseEnergy = 0;
    state.reactiveEnergy = 0;
    return Dlt645Reply(state, control | kDltReplyBit, {});
}

} // namespace

std::array<std::uint8_t, 6> Dlt645Address(const MeterState& state)
{
    std::array<std::uint8_t, 6> address{};
    unsigned value = state.address;
    for (std::uint8_t& byte : address) {
        byte = static_cast<std::uint8_t>((value % 10) | (value / 10 % 10) << 4);
        value /= 100;
    }
    return address;
}

bool Addresses(std::span<const std::uint8_t> request, const MeterState& state)
{
    if (IsDlt645Frame(request)) {
        return Dlt645Addresses(request.subspan(PreambleLength(request)), state);
    }
    return ModbusAddresses(request, state);
}

bool ToEveryMeter(std::span<const std::uint8_t> request)
{
    if (IsDlt645Frame(request)) {
        const auto address = request.subspan(PreambleLength(request) + 1, 6);
        return std::find(address.begin(), address.end(), kDltWildcard) != address.end();
    }
    return !request.empty() && request[0] == 0;
}

std::vector<std::uint8_t> NoiseFor(std::span<const std::uint8_t> reply, int meterBaud, int lineBaud)
{
    if (reply.empty()) {
        return {};
    }
    std::size_t count = reply.size();
    if (lineBaud > 0 && lineBaud < meterBaud) {
        const auto slow = static_cast<std::size_t>(lineBaud);
        const auto fast = static_cast<std::size_t>(meterBaud);
        count = std::max<std::size_t>(1, (reply.size() * slow + fast - 1) / fast);
    }
    // A character sampled at the wrong speed keeps little of the one sent: mix each byte
    // with its position so that no two replies, and no two bytes, come out alike.
    std::vector<std::uint8_t> noise(count);
    for (std::size_t i = 0; i < count; ++i) {
        noise[i] = static_cast<std::uint8_t>((reply[i] * 0x9D + i * 0x3B) ^ 0xA5);
    }
    if (ReplyCrcMatches(noise.data(), noise.size())) {
        noise.back() ^= 0x01;
    }
    return noise;
}

std::vector<std::uint8_t> AnswerRequest(MeterState& state, MeterKind kind,
                                        std::span<const std::uint8_t> request)
{
    if (IsDlt645Frame(request)) {
        return AnswerDlt645(state, request);
    }
    return AnswerModbus(state, kind, request);
}

std::size_t CompleteFrameLength(std::span<const std::uint8_t> received)
{
    const std::size_t preamble = PreambleLength(received);
    if (preamble == received.size()) {
        return 0;
    }
    if (received[preamble] == kDltStart) {
        if (received.size() < preamble + 10) {
            return 0;
        }
        const std::size_t length = preamble + kDltFrameOverhead + received[preamble + 9];
        if (received.size() < length || !IsDlt645Frame(received.first(length))) {
            return 0;
        }
        return length;
    }
    if (received.size() < 2) {
        return 0;
    }
    std::size_t length = 0;
    switch (received[1]) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
        length = 8;
        break;
    case 0x0F:
    case 0x10:
        if (received.size() < 7) {
            return 0;
        }
        length = 9 + std::size_t{received[6]};
        break;
    default:
        return 0;
    }
    if (received.size() < length || !ReplyCrcMatches(received.data(), length)) {
        return 0;
    }
    return length;
}

std::vector<std::uint8_t> BendReply(std::vector<std::uint8_t> reply,
                                    std::span<const std::uint8_t> request,
                                    const Misbehaviour& misbehaviour)
{
    const bool modbus = !IsDlt645Frame(request) && request.size() >= 2;
    if (!misbehaviour.cannedReply.empty()) {
        reply = misbehaviour.cannedReply;
    } else if (modbus && misbehaviour.exceptionCode) {
        reply = ExceptionReply(request, *misbehaviour.exceptionCode);
    }
    if (modbus && misbehaviour.replyAddress && reply.size() >= 2) {
        reply[0] = *misbehaviour.replyAddress;
        reply.resize(reply.size() - 2);
        AppendCrc(reply);
    }
    if (misbehaviour.corruptCrc && reply.size() >= 2) {
        if (modbus) {
            reply[reply.size() - 1] ^= 0xFF;
        }
        reply[reply.size() - 2] ^= 0xFF; // the byte sent first, or the DL/T 645 checksum
    }
    if (misbehaviour.overlongTotal > reply.size()) {
        reply.resize(misbehaviour.overlongTotal, 0x00);
    }
    reply.insert(reply.begin(), misbehaviour.garbagePrefix.begin(),
                 misbehaviour.garbagePrefix.end());
    return reply;
}

std::vector<std::vector<std::uint8_t>> SplitIntoPieces(std::span<const std::uint8_t> bytes, int n)
{
    std::vector<std::vector<std::uint8_t>> pieces;
    if (bytes.empty()) {
        return pieces;
    }
    const std::size_t count =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::max(n, 1)), 1, bytes.size());
    const std::size_t base = bytes.size() / count;
    const std::size_t longer = bytes.size() % count;
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = base + (i < longer ? 1 : 0);
        pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return pieces;
}

Response Serve(MeterState& state, MeterKind kind, std::span<const std::uint8_t> request,
               const Misbehaviour& misbehaviour)
{
    MeterState next = state;
    std::vector<std::uint8_t> reply = AnswerRequest(next, kind, request);
    if (reply.empty()) {
        return {};
    }
    const Misbehaviour& used = misbehaviour;
    const bool refused =
        !used.cannedReply.empty() || (used.exceptionCode && !IsDlt645Frame(request));
    if (!refused) {
        state = next;
    }
    if (used.silent) {
        return {};
    }
    Response response;
    response.delayMs = std::max(used.delayMs, 0);
    response.gapMs = std::max(used.splitGapMs, 0);
    response.pieces = SplitIntoPieces(BendReply(std::move(reply), request, used), used.splitPieces);
    return response;
}

} // namespace metersim
