#include "ctl.h"

#include "addresslist.h"

#include "bcd.h"
#include "commands.h"
#include "commission.h"
#include "comports.h"
#include "framelog.h"
#include "hextext.h"
#include "jobcommand.h"
#include "portlink.h"
#include "historycommand.h"
#include "scancommand.h"
#include "storesink.h"
#include "lineport.h"
#include "netport.h"

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
// Standard output has gone (the reader of a pipe ended): nothing more can be reported, so
// nothing more is done.
std::atomic<bool> g_outputClosed{false};

extern "C" void OnInterrupt(int) { g_interrupted = true; }

bool Stopped() { return g_interrupted || g_outputClosed; }

// Sleeps until the time, in short naps so that Ctrl+C or a closed output ends it at once;
// false when stopped while waiting.
bool SleepUntil(std::chrono::steady_clock::time_point until)
{
    while (!Stopped() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
    }
    return !Stopped();
}

} // namespace

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

namespace {

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

    // Opens the port again after its device went away; false while it is still away.
    std::function<bool()> reopen;

    std::uint8_t address() const { return static_cast<std::uint8_t>(options.address); }

    // Writes one result; false when it failed.
    bool report(const std::string& command, const std::optional<CommandFault>& fault, Fields fields = {}) const
    {
        // Several meters on one line: each result says whose it is.
        const bool named = std::any_of(fields.begin(), fields.end(), [](const auto& f) { return f.first == "address"; });
        if (options.addresses.size() > 1 && !named) {
            fields.insert(fields.begin(), {"address", std::to_string(options.address)});
        }
        const std::string error = !fault                                 ? std::string()
                                  : fault->fault == Fault::Disconnected ? port.lossText()
                                                                        : DescribeFault(*fault);
        Outcome outcome{std::chrono::system_clock::now(), port.devicePath(), command, !fault, error,
                        std::move(fields)};
        writer.write(outcome);
        return !fault;
    }
};

// The command for each meter of --address in turn, on the one line; true when all went well.
bool ForEachAddress(const PortRun& run, const std::function<bool(const PortRun&)>& command)
{
    bool allOk = true;
    for (std::size_t i = 0; i < run.options.addresses.size() && (i == 0 || !Stopped()); ++i) {
        Options one = run.options;
        one.address = run.options.addresses[i];
        allOk = command(PortRun{one, run.port, run.session, run.writer, run.err, run.reopen}) && allOk;
    }
    return allOk;
}

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

// One reading of a watch. The decimals and the address are read once, at the first reading
// the meter answers; an adapter that went away is looked for again before each reading.
bool WatchOnce(const PortRun& run, std::optional<std::pair<int, std::string>>& start)
{
    if (!run.port.isOpen() && !run.reopen()) {
        return run.report("watch", CommandFault{Fault::Disconnected});
    }
    if (!start) {
        const auto read = DecimalsAndAddress(run);
        if (!read) {
            return run.report("watch", read.fault());
        }
        start = *read;
    }
    return ReadOneReading(run, "watch", start->first, start->second);
}

bool RunWatch(const PortRun& run)
{
    using Clock = std::chrono::steady_clock;
    // A reading that starts later than this after its time moves the schedule on, so that
    // readings after a slow one never come back to back to catch up.
    constexpr auto kLate = std::chrono::milliseconds(10);
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(run.options.intervalSeconds));
    std::optional<std::pair<int, std::string>> start;
    bool allOk = true;
    Clock::time_point due = Clock::now();
    for (long n = 0; (run.options.count == 0 || n < run.options.count) && !Stopped(); ++n) {
        if (n > 0) {
            due += interval;
            if (!SleepUntil(due)) {
                break; // stopped while waiting: no reading after that
            }
            if (const Clock::time_point now = Clock::now(); now - due > kLate) {
                due = now;
            }
        }
        allOk = WatchOnce(run, start) && allOk;
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

bool RunCommission(const PortRun& run, std::vector<Setting> settings)
{
    MeterLine line{run.options.type, run.options.address, run.options.baud, run.options.parity};
    bool allOk = true;
    const auto settled = [&](const SettingStep& step) {
        Fields fields{{"property", std::string(PropertyName(step.property))}, {"value", step.value.text}};
        if (step.fault) {
            allOk = run.report("commission", step.fault, std::move(fields)) && allOk;
            return;
        }
        if (!step.read) {
            // Written, and then the commission could not go on to read it back.
            fields.insert(fields.end(), {{"read", ""}, {"verified", "not read back"}});
            run.report("commission", std::nullopt, std::move(fields));
            return;
        }
        fields.emplace_back("read", *step.read);
        fields.emplace_back("verified", step.verified ? "true" : "false");
        run.writer.write(Outcome{std::chrono::system_clock::now(), run.port.devicePath(), "commission",
                                 step.verified,
                                 step.verified ? std::string() : "read back " + *step.read + ", not " + step.value.readBack,
                                 std::move(fields)});
        allOk = step.verified && allOk;
    };
    std::string stopped;
    if (!Commission(run.session, run.port, line, std::move(settings), settled, nullptr, &stopped)) {
        // Where the meter is now, so that the technician can reach it again.
        const std::string parity = kParityWords[static_cast<std::size_t>(line.parity)];
        run.writer.write(Outcome{std::chrono::system_clock::now(), run.port.devicePath(), "commission", false,
                                 stopped + "; the meter is now at address " + std::to_string(line.address) + ", " +
                                     std::to_string(line.baud) + " " + parity,
                                 {{"address", std::to_string(line.address)},
                                  {"baud", std::to_string(line.baud)},
                                  {"parity", parity}}});
        return false;
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
    std::vector<std::string> columns;
    if (options.addresses.size() > 1) {
        columns.push_back("address");
    }
    if (options.command == "read" || options.command == "set") {
        columns.insert(columns.end(), {"property", "value"});
        return columns;
    }
    if (options.command == "commission") {
        columns.insert(columns.end(), {"property", "value", "read", "verified"});
        // Where the meter is now, when a commission cannot go on.
        if (columns.front() != "address") {
            columns.push_back("address");
        }
        columns.insert(columns.end(), {"baud", "parity"});
        return columns;
    }
    if (options.command == "clear-zero") {
        return columns;
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
                                         "job", "history"};

} // namespace

std::string UsageText()
{
    return "usage: quorvexctl [--port PORT]... [--baud 1200|2400|4800|9600] [--parity none|odd|even]\n"
           "                  [--type single|three] [--address N] [--format text|csv|json]\n"
           "                  [--timeout MS] [--connect-timeout MS] [--log FILE] [--rs485]\n"
           "                  [--store URL] [MQTT OPTIONS] COMMAND [ARG]...\n"
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
           "  job FILE [--resume]               commission the meters a CSV file lists, a row each\n"
           "  history [--sn SN] [--job ID] [--since TIME] [--until TIME] [--command C] [--failed]\n"
           "                                    what the store holds (--store, or the default one)\n"
           "  history --report JOB              a job's rows, passed, failed and each failure's reason\n"
           "URL is a file, sqlite:PATH or postgresql://[user[:password]@]host[:port]/database.\n"
           "MQTT options: every result also to a broker, kept on disk while the broker is away\n"
           "  --mqtt mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT]/PREFIX   topics PREFIX/<meter>/<command>\n"
           "  --mqtt-ca FILE  --mqtt-client-id ID  --mqtt-spool FILE  --mqtt-queue N  --mqtt-drain-timeout S\n"
           "  --ha-discovery                    announce each meter's sensors to Home Assistant\n"
           "PORT is COM1..COM10 (as in the window; QUORVEX_COM<n> overrides), a device path,\n"
           "tcp://HOST[:PORT] (Modbus TCP), rtu+tcp://HOST:PORT or rfc2217://HOST:PORT.\n"
           "--address takes a list and ranges (1,2,5-9): the command runs for each meter.\n"
           "--timeout MS is what a meter may take beyond the line time of its request and reply.\n"
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
            const auto text = value();
            if (!text) {
                return fail("--address needs a value");
            }
            const auto addresses = ParseAddressList(*text, error);
            if (!addresses) {
                return std::nullopt;
            }
            options.addresses = *addresses;
            options.address = addresses->front();
            options.addressGiven = true;
        } else if (arg == "--connect-timeout") {
            const auto timeout = number(1, 60000);
            if (!timeout) {
                return std::nullopt;
            }
            options.connectTimeoutMs = static_cast<unsigned>(*timeout);
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
        } else if (arg == "--resume") {
            if (!flag()) {
                return std::nullopt;
            }
            options.resume = true;
        } else if (arg == "--turnaround") {
            const auto turnaround = number(0, 10000);
            if (!turnaround) {
                return std::nullopt;
            }
            options.turnaroundMs = static_cast<unsigned>(*turnaround);
            options.turnaroundGiven = true;
        } else if (IsMqttOption(arg)) {
            if (!ParseMqttOption(arg, value, inlineValue.has_value(), &options.mqtt, error)) {
                return std::nullopt;
            }
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
    const bool portsGiven = !options.ports.empty();
    if (!CheckMqttOptions(options.mqtt, error)) {
        return std::nullopt;
    }
    if (options.ports.empty()) {
        options.ports.push_back("COM1");
    }
    const std::size_t wanted = options.command == "read" || options.command == "job" ? 1
                               : options.command == "set"                            ? 2
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
    if (options.command == "job" && portsGiven) {
        return fail("job takes its ports from the file's port column, not --port");
    }
    if (options.command == "commission" && options.arguments.empty()) {
        return fail("commission needs KEY=VALUE settings, e.g. address=5 baud=9600");
    }
    if (options.command == "clear-zero" && !options.yes) {
        return fail("clear-zero erases the meter's energy for good: add --yes");
    }
    for (const std::string& port : options.ports) {
        if (const std::string why = RefusalForPort(ResolvePort(port), options.command, options.sweep);
            !why.empty()) {
            return fail(why);
        }
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
    // A reader that goes away (quorvexctl watch | head -n 1) must not kill the process with
    // the port's lock and settings left behind: the failed write ends the run instead.
    std::signal(SIGPIPE, SIG_IGN);
    g_interrupted = false;
    g_outputClosed = false;

    // Each result goes to these as well as to the output. The broker's sink lives to the end
    // of the run, when it waits for the broker to take what is queued.
    std::vector<std::function<void(const Outcome&)>> sinks;
    std::unique_ptr<MqttSink> mqtt;
    if (options.mqtt.broker) {
        std::string why;
        mqtt = MqttSink::Start(options.mqtt, err, &why);
        if (!mqtt) {
            std::fprintf(err, "quorvexctl: %s\n", why.c_str());
            return kBadUsage;
        }
        sinks.push_back([&sink = *mqtt](const Outcome& outcome) { sink.write(outcome); });
    }

    // The job keeps its own record, in the default store unless --store names another.
    std::unique_ptr<Store> store;
    if (!options.storeUrl.empty() && options.command != "job") {
        std::string why;
        store = Store::Open(options.storeUrl, &why);
        if (!store) {
            std::fprintf(err, "quorvexctl: --store: %s\n", why.c_str());
            return kBadUsage;
        }
        sinks.push_back(StoreSink(*store));
    }

    if (options.command == "job") {
        PortTap tap;
        if (log) {
            tap = [&log](const std::string& device, FrameDirection direction, std::span<const std::uint8_t> bytes) {
                log->write(device, direction, bytes);
            };
        }
        return RunJobCommand(options, out, err, g_interrupted, tap, sinks);
    }

    OutcomeWriter writer(out, options.format, ColumnsOf(options));
    writer.setOnClosed([] { g_outputClosed = true; });
    for (const auto& sink : sinks) {
        writer.addSink(sink);
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
        if (auto* net = dynamic_cast<NetPort*>(line.get())) {
            net->setConnectTimeout(options.connectTimeoutMs);
            if (log) {
                // A late reply never reaches the exchange; the log still shows it came.
                net->setLateReplyTap([&log, device](std::span<const std::uint8_t> bytes) {
                    log->write(device, FrameDirection::Rx, bytes);
                });
            }
        }
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
        session.line = LineTiming{static_cast<unsigned>(options.baud), options.parity != 0};
        session.responseTimeoutMs = options.timeoutMs;
        session.extraLatencyMs = port.extraLatencyMs();
        session.link = LinkOver(port);
        if (log) {
            session.tap = [&log, device](FrameDirection direction, std::span<const std::uint8_t> bytes) {
                log->write(device, direction, bytes);
            };
        }
        // Names the adapter may come back under after it is pulled and plugged in again; a
        // gateway is reached by its own name again.
        std::vector<std::string> names{device};
        if (!device.empty() && device.front() == '/') {
            for (std::string& name : StableDeviceNames(device)) {
                names.push_back(std::move(name));
            }
        }
        const auto reopen = [&] {
            return std::any_of(names.begin(), names.end(),
                               [&](const std::string& name) { return port.open(name, settings); });
        };
        const PortRun run{options, port, session, writer, err, reopen};
        bool ok = false;
        if (options.command == "read-meter") {
            ok = ForEachAddress(run, RunReadMeter);
        } else if (options.command == "watch") {
            ok = ForEachAddress(run, RunWatch);
        } else if (options.command == "read") {
            const MeterProperty property = *PropertyFromName(options.arguments[0]);
            ok = ForEachAddress(run, [property](const PortRun& one) { return RunRead(one, property); });
        } else if (options.command == "set") {
            const MeterProperty property = *PropertyFromName(options.arguments[0]);
            std::string why;
            const CheckedValue value = *CheckSetting(property, options.type, options.arguments[1], &why);
            ok = ForEachAddress(run, [&](const PortRun& one) { return RunSet(one, property, value); });
        } else if (options.command == "clear-zero") {
            ok = ForEachAddress(run, RunClearZero);
        } else if (options.command == "commission") {
            std::vector<Setting> settings;
            for (const std::string& setting : options.arguments) {
                const auto equals = setting.find('=');
                const MeterProperty property = *PropertyFromName(setting.substr(0, equals));
                std::string why;
                settings.emplace_back(property, *CheckSetting(property, options.type, setting.substr(equals + 1), &why));
            }
            ok = ForEachAddress(run, [&settings](const PortRun& one) { return RunCommission(one, settings); });
        } else if (options.command == "scan") {
            ok = RunScan(ScanRun{options, port, session, writer, err, g_interrupted});
        }
        if (port.state() == LineState::Disconnected && options.command != "watch") {
            std::fprintf(err, "quorvexctl: %s\n", port.lastError().c_str());
            raise(kPortFailed);
        } else if (!ok) {
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
    // As a shell reports a pipeline's writer that a closed pipe ended: 128 + SIGPIPE.
    constexpr int kOutputClosed = 128 + SIGPIPE;
    return g_outputClosed ? kOutputClosed : status.load();
}

} // namespace ctl
