#include "scan.h"

#include "commands.h"
#include "transaction.h"

namespace {

constexpr std::size_t kReadRequestBytes = 8;

// What one read of the address found at the present setting.
struct Probe
{
    enum class Kind
    {
        Silent,
        Noise,
        Exception, // a meter that has no such register: alive, but not of this type
        Answer,
    };
    Kind kind = Kind::Silent;
    int address = 0;
    std::optional<int> decimalsRegister;
};

// Nothing on the line, bytes that make no reply, or a meter refusing the register.
Probe::Kind KindOf(const CommandFault& fault)
{
    switch (fault.fault) {
    case Fault::NoReply:
    case Fault::PortClosed:
    case Fault::ShortWrite:
        return Probe::Kind::Silent;
    case Fault::Exception:
        return Probe::Kind::Exception;
    default:
        return Probe::Kind::Noise;
    }
}

Probe ProbeAddress(Session& session, const LineSetting& setting, MeterType type, std::uint8_t to,
                   unsigned turnaroundMs)
{
    const std::size_t replyBytes = 5u + 2u * ReadCountOf(MeterProperty::Address, type);
    session.responseTimeoutMs = WireWaitMs(setting, kReadRequestBytes, replyBytes, turnaroundMs);
    const Result<PropertyReading> read = ReadProperty(session, type, to, MeterProperty::Address);
    Probe probe;
    if (read) {
        probe.kind = Probe::Kind::Answer;
        probe.address = read->number;
        probe.decimalsRegister = read->decimalsRegister;
        return probe;
    }
    probe.kind = KindOf(read.fault());
    if (probe.kind == Probe::Kind::Exception) {
        probe.address = session.recvBuffer()[0];
    }
    return probe;
}

// The sweep asks each address for its address register alone: on a three-phase meter a
// one-register reply is ten bytes shorter than the six-register block, and 247 silent
// addresses each wait for the longest reply they could have.
Probe ProbeAddressRegister(Session& session, const LineSetting& setting, MeterType type, std::uint8_t to,
                           unsigned turnaroundMs)
{
    constexpr std::size_t kOneRegisterReply = 7;
    session.responseTimeoutMs = WireWaitMs(setting, kReadRequestBytes, kOneRegisterReply, turnaroundMs);
    const Frame request = BuildReadRequest(to, RegisterOf(MeterProperty::Address, type), 1);
    Reply reply;
    const auto fault = Transact(
        session, request, 0, ReplyShown::BeforeTest, [to](Reply r) { return CheckReadReply(r, {2}, to); }, &reply);
    Probe probe;
    if (!fault) {
        probe.kind = Probe::Kind::Answer;
        probe.address = FirstRegister(reply);
        return probe;
    }
    probe.kind = KindOf(*fault);
    return probe;
}

MeterType OtherType(MeterType type)
{
    return type == MeterType::ThreePhase ? MeterType::SinglePhase : MeterType::ThreePhase;
}

bool IsMeterAddress(int address) { return address >= 1 && address <= 254; }

// The answer at a setting where the line is alive. Each type's read of the address lands
// somewhere else on a meter of the other type (a measured value, registers it does not have),
// so the type is the one whose read makes sense: a three-phase block of address and decimals
// (1 or 2) is checked first, as a single-phase reply is one register that anything can fill.
std::optional<ScanAnswer> Identify(const LineSetting& setting, MeterType firstType, const Probe& first,
                                   const Probe& second)
{
    const Probe& three = firstType == MeterType::ThreePhase ? first : second;
    const Probe& single = firstType == MeterType::ThreePhase ? second : first;
    const auto answer = [&setting](MeterType type, const Probe& probe) {
        ScanAnswer found;
        found.setting = setting;
        found.type = type;
        found.address = probe.address;
        found.decimalsRegister = probe.decimalsRegister;
        return found;
    };
    const bool threeFits = three.kind == Probe::Kind::Answer && IsMeterAddress(three.address) &&
                           (three.decimalsRegister == 1 || three.decimalsRegister == 2);
    if (threeFits) {
        return answer(MeterType::ThreePhase, three);
    }
    if (single.kind == Probe::Kind::Answer && IsMeterAddress(single.address)) {
        return answer(MeterType::SinglePhase, single);
    }
    // Answers that make no sense still name a meter: the first type's first.
    for (const Probe* probe : {&first, &second}) {
        if (probe->kind == Probe::Kind::Answer) {
            return answer(probe == &three ? MeterType::ThreePhase : MeterType::SinglePhase, *probe);
        }
    }
    // Refused by one type only: the meter is of the other.
    if (first.kind == Probe::Kind::Exception || second.kind == Probe::Kind::Exception) {
        const bool threeRefused = three.kind == Probe::Kind::Exception;
        return answer(threeRefused ? MeterType::SinglePhase : MeterType::ThreePhase, threeRefused ? three : single);
    }
    return std::nullopt;
}

bool Cancelled(const ScanHooks& hooks) { return hooks.cancelled && hooks.cancelled(); }

} // namespace

const std::array<LineSetting, 12>& ScanOrder()
{
    static const std::array<LineSetting, 12> order{{
        {9600, 0}, {9600, 2}, {9600, 1}, {4800, 0}, {4800, 1}, {4800, 2},
        {2400, 0}, {2400, 1}, {2400, 2}, {1200, 0}, {1200, 1}, {1200, 2},
    }};
    return order;
}

std::string DescribeSetting(const LineSetting& setting)
{
    static const char* const kParities[] = {"none", "odd", "even"};
    const char* parity = setting.parity >= 0 && setting.parity < 3 ? kParities[setting.parity] : "?";
    return std::to_string(setting.baud) + " " + parity;
}

unsigned WireWaitMs(const LineSetting& setting, std::size_t requestBytes, std::size_t replyBytes,
                    unsigned turnaroundMs)
{
    const unsigned bitsPerCharacter = setting.parity == 0 ? 10 : 11;
    const auto bits = static_cast<unsigned long long>(requestBytes + replyBytes) * bitsPerCharacter;
    const auto baud = static_cast<unsigned long long>(setting.baud > 0 ? setting.baud : 1);
    return static_cast<unsigned>((bits * 1000 + baud - 1) / baud) + turnaroundMs;
}

std::vector<ScanAnswer> ScanLineSettings(Session& session, const ScanHooks& hooks, MeterType firstType,
                                         unsigned turnaroundMs, bool all)
{
    std::vector<ScanAnswer> answers;
    for (const LineSetting& setting : ScanOrder()) {
        if (Cancelled(hooks)) {
            break;
        }
        if (hooks.trying) {
            hooks.trying(setting);
        }
        if (hooks.applySetting && !hooks.applySetting(setting)) {
            continue;
        }
        const Probe first = ProbeAddress(session, setting, firstType, 0, turnaroundMs);
        if (first.kind == Probe::Kind::Silent || Cancelled(hooks)) {
            continue;
        }
        const Probe second = ProbeAddress(session, setting, OtherType(firstType), 0, turnaroundMs);
        if (const std::optional<ScanAnswer> found = Identify(setting, firstType, first, second)) {
            answers.push_back(*found);
            if (!all) {
                break;
            }
            continue;
        }
        ScanAnswer noise;
        noise.setting = setting;
        noise.noise = true;
        answers.push_back(noise);
    }
    return answers;
}

std::vector<ScanAnswer> SweepAddresses(Session& session, const ScanHooks& hooks, const LineSetting& setting,
                                       MeterType type, int from, int to, unsigned turnaroundMs)
{
    std::vector<ScanAnswer> answers;
    for (int address = from; address <= to; ++address) {
        if (Cancelled(hooks)) {
            break;
        }
        if (hooks.tryingAddress) {
            hooks.tryingAddress(address);
        }
        const Probe probe =
            ProbeAddressRegister(session, setting, type, static_cast<std::uint8_t>(address), turnaroundMs);
        if (probe.kind == Probe::Kind::Silent) {
            continue;
        }
        ScanAnswer answer;
        answer.setting = setting;
        answer.type = type;
        answer.noise = probe.kind == Probe::Kind::Noise;
        // The meter at this address answered: its address is the one asked, whatever its
        // register says (a register of the other type reads as 0).
        answer.address = address;
        answer.decimalsRegister = probe.decimalsRegister;
        answers.push_back(answer);
    }
    return answers;
}
