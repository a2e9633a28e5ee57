#include "ctl.h"

#include "bcd.h"
#include "commands.h"
#include "comports.h"
#include "framelog.h"
#include "hextext.h"
#include "portlink.h"
#include "historycommand.h"
#include "scancommand.h"
#include "storesink.h"
#include "lineport.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace ctl {

namespace {

const std::vector<int> kScreenNumbers{3, 6, 7, 8, 9, 10, 11, 12, 13, 14};
const std::vector<int> kDisplayTimes{1, 2, 3, 4, 5};
const std::vector<int> kDecimals{1, 2};

std::vector<int> CtRatios()
{
    std::vector<int> ratios{1, 2, 5, 8, 10, 12, 15, 16, 20, 24};
    for (int ratio = 30; ratio <= 190; ratio += 10) {
        ratios.push_back(ratio);
    }
    return ratios;
}

const std::vector<std::string> kParityWords{"none", "odd", "even"};

// A whole decimal number and nothing else ("12abc", "1e3", "" and "+1" are not).
std::optional<long> WholeNumber(const std::string& text)
{
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::string JoinNumbers(const std::vector<int>& values)
{
    std::string text;
    for (int value : values) {
        text += (text.empty() ? "" : ", ") + std::to_string(value);
    }
    return text;
}

bool AllDigits(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted = true; }

// A value for a setting, checked before anything reaches the line.
struct CheckedValue
{
    SettingValue setting;
    std::string text;     // as the window would show it read back
    std::string readBack; // what a read of the property gives when it took
};

std::optional<CheckedValue> CheckSetting(MeterProperty property, MeterType type, const std::string& value,
                                         std::string* error)
{
    const std::string name(PropertyName(property));
    const auto refuse = [&](const std::string& why) {
        *error = name + ": " + why;
        return std::nullopt;
    };
    const auto fromList = [&](const std::vector<int>& list) -> std::optional<CheckedValue> {
        const std::optional<long> number = WholeNumber(value);
        if (!number || std::find(list.begin(), list.end(), *number) == list.end()) {
            return refuse("'" + value + "' is not one of " + JoinNumbers(list));
        }
        CheckedValue checked;
        checked.setting.number = static_cast<int>(*number);
        checked.text = checked.readBack = std::to_string(*number);
        return checked;
    };
    if ((property == MeterProperty::CtRatio || property == MeterProperty::Password) &&
        type != MeterType::ThreePhase) {
        return refuse("three-phase meters only (give --type three)");
    }
    switch (property) {
    case MeterProperty::Address: {
        const std::optional<long> number = WholeNumber(value);
        if (!number || *number < 1 || *number > 254) {
            return refuse("'" + value + "' is not a whole number from 1 to 254");
        }
        CheckedValue checked;
        checked.setting.number = static_cast<int>(*number);
        checked.text = checked.readBack = std::to_string(*number);
        return checked;
    }
    case MeterProperty::BaudRate:
        return fromList({kBaudRates.begin(), kBaudRates.end()});
    case MeterProperty::ScreenNumber:
        return fromList(kScreenNumbers);
    case MeterProperty::DisplayTime:
        return fromList(kDisplayTimes);
    case MeterProperty::DecimalPlaces:
        return fromList(kDecimals);
    case MeterProperty::CtRatio:
        return fromList(CtRatios());
    case MeterProperty::Parity: {
        const auto found = std::find(kParityWords.begin(), kParityWords.end(), value);
        if (found == kParityWords.end()) {
            return refuse("'" + value + "' is not one of none, odd, even");
        }
        const int index = static_cast<int>(found - kParityWords.begin());
        CheckedValue checked;
        checked.setting.number = *ParityCodeFromText(ParityText(index));
        checked.text = value;
        checked.readBack = std::string(ParityText(index));
        return checked;
    }
    case MeterProperty::SerialNumber: {
        if (value.empty() || value.size() > 8 || !AllDigits(value)) {
            return refuse("'" + value + "' is not 1 to 8 digits");
        }
        // Eight digits always go out: the packing of a shorter text repeats its digits, so
        // "7" would reach the meter as 70000070. A short number means its leading zeros.
        const std::string digits = std::string(8 - value.size(), '0') + value;
        CheckedValue checked;
        checked.setting.text = std::u32string(digits.begin(), digits.end());
        checked.text = digits;
        const auto packed = PackSerialNumber(checked.setting.text);
        checked.readBack = FormatLowerHexDigits(packed.data(), packed.size());
        return checked;
    }
    case MeterProperty::Password: {
        if (value.size() != 4 || !AllDigits(value)) {
            return refuse("'" + value + "' is not 4 digits");
        }
        CheckedValue checked;
        checked.setting.text = std::u32string(value.begin(), value.end());
        checked.text = checked.readBack = value;
        return checked;
    }
    }
    return refuse("unknown property");
}

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

// Every frame of every port, one line each, to the --log file.
class TrafficLogFile
{
public:
    explicit TrafficLogFile(std::FILE* stream) : m_stream(stream) {}

    void write(const std::string& port, FrameDirection direction, std::span<const std::uint8_t> bytes)
    {
        const std::lock_guard lock(m_mutex);
        std::vector<std::uint8_t>& request = m_lastRequest[port];
        const LoggedFrame frame = MakeLoggedFrame(direction, bytes, port, request);
        std::fputs((FormatLogLine(frame) + "\n").c_str(), m_stream);
        std::fflush(m_stream);
    }

private:
    std::FILE* m_stream;
    std::mutex m_mutex;
    std::map<std::string, std::vector<std::uint8_t>> m_lastRequest;
};

// What every command on one port shares.
struct PortRun
{
    const Options& options;
    LinePort& port;
    Session& session;
    OutcomeWriter& writer;
    std::FILE* err;

    std::uint8_t address() const { return static_cast<std::uint8_t>(options.address); }

    // Writes one result; false when it failed.
    bool report(const std::string& command, const std::optional<CommandFault>& fault, Fields fields = {}) const
    {
        Outcome outcome{std::chrono::system_clock::now(), port.devicePath(), command, !fault,
                        fault ? DescribeFault(*fault) : std::string(), std::move(fields)};
        writer.write(outcome);
        return !fault;
    }
};

// The decimals of the energies, read with the address when not given.
Result<std::pair<int, std::string>> DecimalsAndAddress(const PortRun& run)
{
    std::string address = run.options.addressGiven ? std::to_string(run.options.address) : std::string();
    if (run.options.decimals) {
        return std::make_pair(*run.options.decimals, address);
    }
    const Result<PropertyReading> read =
        ReadProperty(run.session, run.options.type, run.address(), MeterProperty::Address);
    if (!read) {
        return read.fault();
    }
    const int decimals = read->decimalsRegister.value_or(0);
    if (decimals != 1 && decimals != 2) {
        return CommandFault{Fault::UnknownValue, static_cast<std::uint8_t>(decimals)};
    }
    return std::make_pair(decimals, read->value);
}

bool ReadOneReading(const PortRun& run, const std::string& command, int decimals, const std::string& address)
{
    ReadMeterOptions options;
    options.address = run.address();
    options.decimalMode = decimals;
    const MeterType type = run.options.type;
    options.meterType = [type] { return type; };
    const Result<MeterReading> reading = ReadMeter(run.session, options);
    if (!reading) {
        return run.report(command, reading.fault());
    }
    Fields fields = ReadingFields(*reading);
    if (!address.empty()) {
        fields.insert(fields.begin(), {"address", address});
    }
    return run.report(command, std::nullopt, std::move(fields));
}

bool RunReadMeter(const PortRun& run)
{
    const auto start = DecimalsAndAddress(run);
    if (!start) {
        return run.report("read-meter", start.fault());
    }
    return ReadOneReading(run, "read-meter", start->first, start->second);
}

bool RunWatch(const PortRun& run)
{
    const auto start = DecimalsAndAddress(run);
    if (!start) {
        return run.report("watch", start.fault());
    }
    bool allOk = true;
    const auto interval = std::chrono::duration<double>(run.options.intervalSeconds);
    auto next = std::chrono::steady_clock::now();
    for (long n = 0; (run.options.count == 0 || n < run.options.count) && !g_interrupted; ++n) {
        if (n > 0) {
            next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
            // Short naps, so that Ctrl+C ends a long interval at once.
            while (!g_interrupted && std::chrono::steady_clock::now() < next) {
                std::this_thread::sleep_for(
                    std::min<std::chrono::steady_clock::duration>(next - std::chrono::steady_clock::now(),
                                                                  std::chrono::milliseconds(50)));
            }
            if (g_interrupted) {
                break; // stopped while waiting: no reading after that
            }
        }
        allOk = ReadOneReading(run, "watch", start->first, start->second) && allOk;
    }
    return allOk;
}

bool RunRead(const PortRun& run, MeterProperty property)
{
    const Result<PropertyReading> read = ReadProperty(run.session, run.options.type, run.address(), property);
    if (!read) {
        return run.report("read", read.fault(), {{"property", std::string(PropertyName(property))}});
    }
    return run.report("read", std::nullopt,
                      {{"property", std::string(PropertyName(property))}, {"value", read->value}});
}

bool RunSet(const PortRun& run, MeterProperty property, const CheckedValue& value)
{
    const Result<Done> set = SetProperty(run.session, run.options.type, run.address(), property, value.setting);
    return run.report("set", set ? std::nullopt : std::optional(set.fault()),
                      {{"property", std::string(PropertyName(property))}, {"value", value.text}});
}

bool RunClearZero(const PortRun& run)
{
    const Result<Done> cleared = ClearZero(run.session);
    return run.report("clear-zero", cleared ? std::nullopt : std::optional(cleared.fault()));
}

bool RunCommission(const PortRun& run, std::vector<std::pair<MeterProperty, CheckedValue>> settings)
{
    std::stable_sort(settings.begin(), settings.end(),
                     [](const auto& a, const auto& b) { return CommissionRank(a.first) < CommissionRank(b.first); });
    Options line = run.options;
    bool allOk = true;
    std::vector<std::pair<MeterProperty, CheckedValue>> written;
    for (const auto& [property, value] : settings) {
        const std::uint8_t address = static_cast<std::uint8_t>(line.address);
        const Result<Done> set = SetProperty(run.session, line.type, address, property, value.setting);
        if (!set) {
            allOk = run.report("commission", set.fault(),
                               {{"property", std::string(PropertyName(property))}, {"value", value.text}}) &&
                    allOk;
            continue;
        }
        written.emplace_back(property, value);
        // The meter answers at its new settings from now on: follow it.
        if (property == MeterProperty::Address && line.address != 0) {
            line.address = value.setting.number;
        } else if (property == MeterProperty::BaudRate || property == MeterProperty::Parity) {
            if (property == MeterProperty::BaudRate) {
                line.baud = value.setting.number;
            } else {
                line.parity = *ParityIndexFromCode(static_cast<std::uint8_t>(value.setting.number));
            }
            if (!ApplyLineSetting(run.port, LineSetting{line.baud, line.parity})) {
                std::fprintf(run.err, "quorvexctl: %s\n", run.port.lastError().c_str());
                return false;
            }
        }
    }
    for (const auto& [property, value] : written) {
        const Result<PropertyReading> read =
            ReadProperty(run.session, line.type, static_cast<std::uint8_t>(line.address), property);
        Fields fields{{"property", std::string(PropertyName(property))}, {"value", value.text}};
        if (!read) {
            allOk = run.report("commission", read.fault(), std::move(fields)) && allOk;
            continue;
        }
        const bool verified = read->value == value.readBack;
        fields.emplace_back("read", read->value);
        fields.emplace_back("verified", verified ? "true" : "false");
        const Outcome outcome{std::chrono::system_clock::now(),
                              run.port.devicePath(),
                              "commission",
                              verified,
                              verified ? std::string() : "read back " + read->value + ", not " + value.readBack,
                              std::move(fields)};
        run.writer.write(outcome);
        allOk = verified && allOk;
    }
    return allOk;
}

// The CSV columns of a command, known before the first result.
std::vector<std::string> ColumnsOf(const Options& options)
{
    if (options.command == "read-meter" || options.command == "watch") {
        MeterReading empty;
        empty.type = options.type;
        empty.single.activeKWh = empty.single.positiveKWh = empty.single.reverseKWh = std::string();
        std::vector<std::string> columns{"address"};
        for (const auto& field : ReadingFields(empty)) {
            columns.push_back(field.first);
        }
        return columns;
    }
    if (options.command == "read" || options.command == "set") {
        return {"property", "value"};
    }
    if (options.command == "commission") {
        return {"property", "value", "read", "verified"};
    }
    if (options.command == "scan") {
        return ScanColumns();
    }
    return {};
}

std::optional<Format> FormatFromName(const std::string& name)
{
    if (name == "text") {
        return Format::Text;
    }
    if (name == "csv") {
        return Format::Csv;
    }
    if (name == "json") {
        return Format::Json;
    }
    return std::nullopt;
}

const std::vector<std::string> kCommands{"read-meter", "read", "set", "clear-zero", "commission", "watch", "scan",
                                         "history"};

} // namespace

std::string UsageText()
{
    return "usage: quorvexctl [--port PORT]... [--baud 1200|2400|4800|9600] [--parity none|odd|even]\n"
           "                  [--type single|three] [--address N] [--format text|csv|json]\n"
           "                  [--timeout MS] [--log FILE] [--rs485] [--store URL] COMMAND [ARG]...\n"
           "commands:\n"
           "  read-meter [--decimals 1|2]       one reading of all measured values\n"
           "  read PROPERTY                     address | sn | baud | parity | screen | decimals |\n"
           "                                    display-time | ct | password\n"
           "  set PROPERTY VALUE                write one property\n"
           "  clear-zero --yes                  clear the meter's energy to zero\n"
           "  commission KEY=VALUE...           set each property, line settings last, then verify\n"
           "  watch [--interval S] [--count N]  read-meter again and again\n"
           "  scan [--all] [--turnaround MS]    find a meter's baud rate, parity, address and type\n"
           "  scan --sweep [--from N --to M]    list the addresses that answer at these settings\n"
           "  history [--sn SN] [--job ID] [--since TIME] [--until TIME] [--command C] [--failed]\n"
           "                                    what the store holds (--store, or the default one)\n"
           "  history --report JOB              a job's rows, passed, failed and each failure's reason\n"
           "URL is a file, sqlite:PATH or postgresql://[user[:password]@]host[:port]/database.\n"
           "PORT is COM1..COM10 (as in the window; QUORVEX_COM<n> overrides) or a device path.\n"
           "Exit status: 0 all ok, 1 a meter failed, 2 bad usage, 3 a port could not be opened.\n";
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, bool stdoutIsTerminal, std::string* error)
{
    Options options;
    options.format = stdoutIsTerminal ? Format::Text : Format::Json;
    const auto fail = [error](const std::string& message) {
        *error = message;
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            if (const auto equals = arg.find('='); equals != std::string::npos) {
                inlineValue = arg.substr(equals + 1);
                arg.resize(equals);
            }
        }
        const auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 >= args.size()) {
                return std::nullopt;
            }
            return args[++i];
        };
        const auto number = [&](long low, long high) -> std::optional<long> {
            const std::optional<std::string> text = value();
            if (!text) {
                *error = arg + " needs a value";
                return std::nullopt;
            }
            const std::optional<long> n = WholeNumber(*text);
            if (!n || *n < low || *n > high) {
                *error = arg + ": '" + *text + "' is not a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high);
                return std::nullopt;
            }
            return n;
        };
        const auto flag = [&]() {
            if (inlineValue) {
                *error = arg + " takes no value";
                return false;
            }
            return true;
        };

        if (arg == "--port") {
            const auto port = value();
            if (!port || port->empty()) {
                return fail("--port needs a COM name or a device path");
            }
            options.ports.push_back(*port);
        } else if (arg == "--baud") {
            const auto baud = number(0, 1000000);
            if (!baud) {
                return std::nullopt;
            }
            if (BaudCode(static_cast<int>(*baud)) == 0) {
                return fail("--baud: '" + std::to_string(*baud) + "' is not one of 1200, 2400, 4800, 9600");
            }
            options.baud = static_cast<int>(*baud);
        } else if (arg == "--parity") {
            const auto parity = value();
            const auto found = parity ? std::find(kParityWords.begin(), kParityWords.end(), *parity)
                                      : kParityWords.end();
            if (found == kParityWords.end()) {
                return fail("--parity: '" + parity.value_or("") + "' is not one of none, odd, even");
            }
            options.parity = static_cast<int>(found - kParityWords.begin());
        } else if (arg == "--type") {
            const auto type = value();
            if (type == "single") {
                options.type = MeterType::SinglePhase;
            } else if (type == "three") {
                options.type = MeterType::ThreePhase;
            } else {
                return fail("--type: '" + type.value_or("") + "' is not single or three");
            }
        } else if (arg == "--address") {
            const auto address = number(0, 254);
            if (!address) {
                return std::nullopt;
            }
            options.address = static_cast<int>(*address);
            options.addressGiven = true;
        } else if (arg == "--format") {
            const auto name = value();
            const auto format = name ? FormatFromName(*name) : std::nullopt;
            if (!format) {
                return fail("--format: '" + name.value_or("") + "' is not text, csv or json");
            }
            options.format = *format;
        } else if (arg == "--timeout") {
            const auto timeout = number(1, 60000);
            if (!timeout) {
                return std::nullopt;
            }
            options.timeoutMs = static_cast<unsigned>(*timeout);
        } else if (arg == "--log") {
            const auto path = value();
            if (!path || path->empty()) {
                return fail("--log needs a file name (- for standard error)");
            }
            options.logPath = *path;
        } else if (arg == "--store") {
            const auto url = value();
            if (!url || url->empty()) {
                return fail("--store needs a file or a postgresql:// URL");
            }
            options.storeUrl = *url;
        } else if (options.command == "history" && arg.rfind("--", 0) == 0) {
            options.arguments.push_back(args[i]); // history's own options, checked below
        } else if (arg == "--rs485") {
            if (!flag()) {
                return std::nullopt;
            }
            options.rs485 = true;
        } else if (arg == "--decimals") {
            const auto decimals = number(1, 2);
            if (!decimals) {
                return std::nullopt;
            }
            options.decimals = static_cast<int>(*decimals);
        } else if (arg == "--interval") {
            const auto text = value();
            double seconds = -1;
            if (text) {
                const auto [stop, parsed] = std::from_chars(text->data(), text->data() + text->size(), seconds);
                if (parsed != std::errc() || stop != text->data() + text->size()) {
                    seconds = -1;
                }
            }
            if (!(seconds >= 0 && seconds <= 86400)) {
                return fail("--interval: '" + text.value_or("") + "' is not a number of seconds from 0 to 86400");
            }
            options.intervalSeconds = seconds;
        } else if (arg == "--count") {
            const auto count = number(1, 1000000000);
            if (!count) {
                return std::nullopt;
            }
            options.count = *count;
        } else if (arg == "--yes") {
            if (!flag()) {
                return std::nullopt;
            }
            options.yes = true;
        } else if (arg == "--all") {
            if (!flag()) {
                return std::nullopt;
            }
            options.all = true;
        } else if (arg == "--sweep") {
            if (!flag()) {
                return std::nullopt;
            }
            options.sweep = true;
        } else if (arg == "--from" || arg == "--to") {
            const auto address = number(1, 254);
            if (!address) {
                return std::nullopt;
            }
            (arg == "--from" ? options.from : options.to) = static_cast<int>(*address);
        } else if (arg == "--turnaround") {
            const auto turnaround = number(0, 10000);
            if (!turnaround) {
                return std::nullopt;
            }
            options.turnaroundMs = static_cast<unsigned>(*turnaround);
            options.turnaroundGiven = true;
        } else if (arg.rfind("--", 0) == 0 || (arg.size() > 1 && arg[0] == '-' && arg != "-")) {
            return fail("unknown option " + arg);
        } else if (options.command.empty()) {
            if (std::find(kCommands.begin(), kCommands.end(), arg) == kCommands.end()) {
                return fail("unknown command '" + arg + "'");
            }
            options.command = arg;
        } else {
            options.arguments.push_back(arg);
        }
        if (!error->empty()) {
            return std::nullopt;
        }
    }

    if (options.command.empty()) {
        return fail("no command given");
    }
    if (options.ports.empty()) {
        options.ports.push_back("COM1");
    }
    const std::size_t wanted = options.command == "read"  ? 1
                               : options.command == "set" ? 2
                                                          : 0;
    if (options.command == "history") {
        if (!ParseHistoryArguments(options.arguments, error)) {
            return std::nullopt;
        }
        return options;
    }
    if (options.command != "commission" && options.arguments.size() != wanted) {
        return fail(options.command + " takes " + std::to_string(wanted) + " argument" + (wanted == 1 ? "" : "s") +
                    ", not " + std::to_string(options.arguments.size()));
    }
    if (options.command == "commission" && options.arguments.empty()) {
        return fail("commission needs KEY=VALUE settings, e.g. address=5 baud=9600");
    }
    if (options.command == "clear-zero" && !options.yes) {
        return fail("clear-zero erases the meter's energy for good: add --yes");
    }
    if (options.from > options.to) {
        return fail("--from " + std::to_string(options.from) + " is above --to " + std::to_string(options.to));
    }
    // Names and values of settings are checked here, before anything reaches the line.
    std::vector<std::string> settings;
    if (options.command == "read" || options.command == "set") {
        if (!PropertyFromName(options.arguments[0])) {
            return fail("unknown property '" + options.arguments[0] +
                        "' (address, sn, baud, parity, screen, decimals, display-time, ct, password)");
        }
        if (options.command == "read" && options.type != MeterType::ThreePhase &&
            (options.arguments[0] == "ct" || options.arguments[0] == "password")) {
            return fail(options.arguments[0] + ": three-phase meters only (give --type three)");
        }
        if (options.command == "set") {
            settings.push_back(options.arguments[0] + "=" + options.arguments[1]);
        }
    } else if (options.command == "commission") {
        settings = options.arguments;
    }
    std::vector<std::string> seen;
    for (const std::string& setting : settings) {
        const auto equals = setting.find('=');
        const std::string key = setting.substr(0, equals);
        const auto property = PropertyFromName(key);
        if (equals == std::string::npos || !property) {
            return fail("'" + setting + "' is not PROPERTY=VALUE with a known property");
        }
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            return fail(key + " is given twice");
        }
        seen.push_back(key);
        std::string why;
        if (!CheckSetting(*property, options.type, setting.substr(equals + 1), &why)) {
            return fail(why);
        }
    }
    return options;
}

std::string ResolvePort(const std::string& port)
{
    if (port.size() > 3 && (port.rfind("COM", 0) == 0 || port.rfind("com", 0) == 0)) {
        if (const auto number = WholeNumber(port.substr(3)); number && *number >= 1 && *number <= 255) {
            return ResolveComDevice(static_cast<int>(*number));
        }
    }
    return port;
}

int Run(const Options& options, std::FILE* out, std::FILE* err)
{
    if (options.command == "history") {
        return RunHistory(options, out, err);
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> logFile(nullptr, &std::fclose);
    std::unique_ptr<TrafficLogFile> log;
    if (!options.logPath.empty()) {
        std::FILE* stream = err;
        if (options.logPath != "-") {
            logFile.reset(std::fopen(options.logPath.c_str(), "a"));
            if (!logFile) {
                std::fprintf(err, "quorvexctl: --log %s: %s\n", options.logPath.c_str(), std::strerror(errno));
                return kBadUsage;
            }
            stream = logFile.get();
        }
        log = std::make_unique<TrafficLogFile>(stream);
    }

    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    g_interrupted = false;

    OutcomeWriter writer(out, options.format, ColumnsOf(options));
    std::unique_ptr<Store> store;
    if (!options.storeUrl.empty()) {
        std::string why;
        store = Store::Open(options.storeUrl, &why);
        if (!store) {
            std::fprintf(err, "quorvexctl: --store: %s\n", why.c_str());
            return kBadUsage;
        }
        writer.addSink(StoreSink(*store));
    }
    std::atomic<int> status{kAllOk};
    const auto raise = [&status](int to) {
        int current = status.load();
        while (current < to && !status.compare_exchange_weak(current, to)) {
        }
    };

    const auto runOnPort = [&](const std::string& name) {
        const std::string device = ResolvePort(name);
        const std::unique_ptr<LinePort> line = MakeLinePort(device);
        LinePort& port = *line;
        SerialSettings settings;
        settings.baudRate = static_cast<std::uint32_t>(options.baud);
        settings.parity = static_cast<std::uint8_t>(options.parity);
        settings.enableRs485 = options.rs485;
        if (device.empty() || !port.open(device, settings)) {
            const std::string reason =
                device.empty() ? name + " leads to no device (set QUORVEX_" + name + "=/dev/...)" : port.lastError();
            std::fprintf(err, "quorvexctl: %s\n", reason.c_str());
            writer.write(Outcome{std::chrono::system_clock::now(), device.empty() ? name : device, options.command,
                                 false, reason, {}});
            raise(kPortFailed);
            return;
        }
        if (!port.notes().empty()) {
            std::fprintf(err, "quorvexctl: %s: %s\n", device.c_str(), port.notes().c_str());
        }
        Session session;
        session.timing = Timing::WireSpeed;
        session.responseTimeoutMs = options.timeoutMs;
        session.link = LinkOver(port);
        if (log) {
            session.tap = [&log, device](FrameDirection direction, std::span<const std::uint8_t> bytes) {
                log->write(device, direction, bytes);
            };
        }
        const PortRun run{options, port, session, writer, err};
        bool ok = false;
        if (options.command == "read-meter") {
            ok = RunReadMeter(run);
        } else if (options.command == "watch") {
            ok = RunWatch(run);
        } else if (options.command == "read") {
            ok = RunRead(run, *PropertyFromName(options.arguments[0]));
        } else if (options.command == "set") {
            const MeterProperty property = *PropertyFromName(options.arguments[0]);
            std::string why;
            ok = RunSet(run, property, *CheckSetting(property, options.type, options.arguments[1], &why));
        } else if (options.command == "clear-zero") {
            ok = RunClearZero(run);
        } else if (options.command == "commission") {
            std::vector<std::pair<MeterProperty, CheckedValue>> settings;
            for (const std::string& setting : options.arguments) {
                const auto equals = setting.find('=');
                const MeterProperty property = *PropertyFromName(setting.substr(0, equals));
                std::string why;
                settings.emplace_back(property, *CheckSetting(property, options.type, setting.substr(equals + 1), &why));
            }
            ok = RunCommission(run, std::move(settings));
        } else if (options.command == "scan") {
            ok = RunScan(ScanRun{options, port, session, writer, err, g_interrupted});
        }
        if (!ok) {
            raise(kMeterFailed);
        }
    };

    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < options.ports.size(); ++i) {
        threads.emplace_back(runOnPort, options.ports[i]);
    }
    runOnPort(options.ports.front());
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (store && !store->warning().empty()) {
        std::fprintf(err, "quorvexctl: %s\n", store->warning().c_str());
    }
    return status;
}

} // namespace ctl
