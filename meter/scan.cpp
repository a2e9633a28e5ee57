#include "scan.h"

#include "commands.h"
#include "transaction.h"

#include <algorithm>

namespace {

// Each request waits as long as its reply takes at the setting tried, plus the turnaround.
void AtSetting(Session& session, const LineSetting& setting, unsigned turnaroundMs)
{
    session.line = LineTiming{static_cast<unsigned>(setting.baud), setting.parity != 0};
    session.responseTimeoutMs = turnaroundMs;
}

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
    AtSetting(session, setting, turnaroundMs);
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
    const LineTiming line{static_cast<unsigned>(std::max(setting.baud, 1)), setting.parity != 0};
    return LineTimeMs(line, requestBytes + replyBytes) + turnaroundMs;
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
        if (hooks.applySetting) {
            if (std::string reason = hooks.applySetting(setting); !reason.empty()) {
                ScanAnswer refused;
                refused.setting = setting;
                refused.refused = std::move(reason);
                answers.push_back(refused);
                continue;
            }
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
    AtSetting(session, setting, turnaroundMs);
    std::vector<ScanAnswer> answers;
    const auto list = [&](int address, bool noise) {
        const bool known = std::any_of(answers.begin(), answers.end(),
                                       [address](const ScanAnswer& a) { return a.address == address && !a.noise; });
        if (known) {
            return;
        }
        ScanAnswer answer;
        answer.setting = setting;
        answer.type = type;
        answer.noise = noise;
        answer.address = address;
        answers.push_back(answer);
    };
    for (int address = from; address <= to; ++address) {
        if (Cancelled(hooks)) {
            break;
        }
        if (hooks.tryingAddress) {
            hooks.tryingAddress(address);
        }
        const Frame request =
            BuildReadRequest(static_cast<std::uint8_t>(address), RegisterOf(MeterProperty::Address, type), 1);
        if (WriteRequest(session, request)) {
            continue;
        }
        // A meter slower than the allowance answers while the next address is asked: a reply
        // with a right CRC from another address of the sweep is that meter's, and the address
        // asked may still answer after it within its own time.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(ReplyBudgetMs(session, request.bytes()));
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            Reply reply;
            const auto fault = AwaitReply(session, request, static_cast<unsigned>(std::max<long long>(left.count(), 0)),
                                          &reply);
            if (fault) {
                if (KindOf(*fault) != Probe::Kind::Silent) {
                    list(address, true);
                }
                break;
            }
            // Any address: whose reply it is comes next. The meter at the address asked is
            // listed under it whatever its register says (a register of the other type reads 0).
            if (const auto bad = CheckReadReply(reply, {2})) {
                // A meter without the register refuses it: still a meter at that address.
                if (KindOf(*bad) != Probe::Kind::Silent) {
                    list(address, KindOf(*bad) == Probe::Kind::Noise);
                }
                break;
            }
            const int replier = reply[0];
            if (replier == address || replier < from || replier > to) {
                list(address, replier != address);
                break;
            }
            list(replier, false);
        }
    }
    // A late meter is found while a later address is asked.
    std::sort(answers.begin(), answers.end(),
              [](const ScanAnswer& a, const ScanAnswer& b) { return a.address < b.address; });
    return answers;
}
