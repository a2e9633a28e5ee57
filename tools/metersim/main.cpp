// quorvex-metersim: a simulated electricity meter on a pseudo-terminal or a serial device.
// With "-- COMMAND", runs the command with QUORVEX_COM1 pointing at the meter, so that
// `quorvex-metersim --type both -- quorvex` is a session without hardware.

#include "netserver.h"
#include "simulator.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <span>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kName = "quorvex-metersim";

constexpr const char* kUsage =
    "Usage: quorvex-metersim [OPTION]... [-- COMMAND [ARG]...]\n"
    "Play an electricity meter (Modbus RTU and the DL/T 645 clear frame) on a new\n"
    "pseudo-terminal, or on a serial device, and print where it listens.\n"
    "\n"
    "  --type single|three|both  register map to answer (default single)\n"
    "  --device PATH             serve this serial device instead of a pseudo-terminal\n"
    "  --baud N                  speed of --device and the meter's baud setting (default 9600)\n"
    "  --parity none|odd|even    parity of --device and the meter's parity setting (default none)\n"
    "  --address N[,N]...        bus address, 1 to 254 (default 1); a list puts one meter\n"
    "                            on the line per address, the first answering address 0\n"
    "  --decimals N              energy decimals, 1 or 2 (default 2)\n"
    "  --serial DIGITS           serial number, 8 digits (default 12345678)\n"
    "  --delay MS                wait this long before every reply\n"
    "  --split N                 send every reply in N pieces\n"
    "  --split-gap MS            silence between two pieces (default 50)\n"
    "  --corrupt-crc             spoil the CRC of every reply\n"
    "  --exception CODE          refuse every request with this Modbus exception code\n"
    "  --silent                  carry requests out but never reply\n"
    "  --garbage HEX             send these bytes before every reply, e.g. 55AA\n"
    "  --reply HEX               send these bytes instead of every answer (no CRC added)\n"
    "  --overlong N              pad every reply with zero bytes to N bytes\n"
    "  --reply-address N         reply as if from bus address N\n"
    "  --spoil-every N           spoil the CRC of every Nth reply of each meter\n"
    "  --wire-time               send at the line's speed, and answer only when the master's\n"
    "                            speed is the meter's own (a pseudo-terminal only)\n"
    "  --noise-at-wrong-speed    with --wire-time: answer a few bytes of noise at a wrong\n"
    "                            speed instead of nothing\n"
    "  --listen tcp:[HOST:]PORT  play a Modbus TCP gateway with the meters behind it\n"
    "  --listen rtu-tcp:[HOST:]PORT  play a device server passing RTU bytes over TCP;\n"
    "                            --listen may be given many times (HOST 127.0.0.1,\n"
    "                            PORT 0 picks a free one); each has its own meters\n"
    "  --net-fault mute|garbage|huge-length|half-close|late-first|stale\n"
    "                            with --listen: a gateway that goes wrong (for tests)\n"
    "  --verbose                 log every request and reply as hex on standard error\n"
    "  --help                    show this help and exit\n"
    "  --version                 show the version and exit\n"
    "\n"
    "With -- COMMAND, the command runs with QUORVEX_COM1 set to the meter's line (with\n"
    "--listen, QUORVEX_COM<n> to the nth listener's URL); the\n"
    "simulator ends when the command ends, with its exit status.\n";

struct Options
{
    metersim::MeterKind kind = metersim::MeterKind::SinglePhase;
    std::string device;
    int baud = 9600;
    metersim::LineParity parity = metersim::LineParity::None;
    metersim::MeterState state;
    std::vector<std::uint8_t> addresses{state.address};
    metersim::Misbehaviour misbehaviour;
    bool wireTime = false;
    bool noiseAtWrongSpeed = false;
    bool verbose = false;
    std::vector<metersim::Listen> listens;
    metersim::NetFault netFault = metersim::NetFault::None;
    std::vector<char*> command;
};

class UsageError
{
public:
    explicit UsageError(std::string text) : m_text(std::move(text)) {}
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};

long ParseNumber(std::string_view option, std::string_view text, long low, long high)
{
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
        throw UsageError(std::string(option) + " wants a number from " + std::to_string(low) +
                         " to " + std::to_string(high) + ", not '" + std::string(text) + "'");
    }
    return value;
}

std::vector<std::uint8_t> ParseHex(std::string_view option, std::string_view text)
{
    std::string digits;
    for (const char c : text) {
        if (c != ' ' && c != ':') {
            digits += c;
        }
    }
    if (digits.empty() || digits.size() % 2 != 0) {
        throw UsageError(std::string(option) + " wants pairs of hex digits, not '" +
                         std::string(text) + "'");
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        unsigned value = 0;
        const char* first = digits.data() + i;
        const auto [end, ec] = std::from_chars(first, first + 2, value, 16);
        if (ec != std::errc{} || end != first + 2) {
            throw UsageError(std::string(option) + " wants pairs of hex digits, not '" +
                             std::string(text) + "'");
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::array<std::uint8_t, 4> ParseSerial(std::string_view text)
{
    if (text.size() != 8 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        throw UsageError("--serial wants 8 digits, not '" + std::string(text) + "'");
    }
    std::array<std::uint8_t, 4> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>((text[2 * i] - '0') << 4 | (text[2 * i + 1] - '0'));
    }
    return bytes;
}

std::vector<std::uint8_t> ParseAddresses(std::string_view text)
{
    std::vector<std::uint8_t> addresses;
    for (std::size_t from = 0;;) {
        const std::size_t comma = text.find(',', from);
        const std::string_view one = text.substr(from, comma - from);
        const auto address = static_cast<std::uint8_t>(ParseNumber("--address", one, 1, 254));
        if (std::find(addresses.begin(), addresses.end(), address) != addresses.end()) {
            // Two meters at one address would only garble each other's replies.
            throw UsageError("--address names " + std::string(one) + " twice");
        }
        addresses.push_back(address);
        if (comma == text.npos) {
            return addresses;
        }
        from = comma + 1;
    }
}

// tcp:[HOST:]PORT or rtu-tcp:[HOST:]PORT, HOST an IPv6 literal in brackets if need be.
metersim::Listen ParseListen(std::string_view text)
{
    metersim::Listen listen;
    std::string_view rest;
    if (text.starts_with("tcp:")) {
        listen.framing = metersim::NetFraming::ModbusTcp;
        rest = text.substr(4);
    } else if (text.starts_with("rtu-tcp:")) {
        listen.framing = metersim::NetFraming::RtuTcp;
        rest = text.substr(8);
    } else {
        throw UsageError("--listen wants tcp:[HOST:]PORT or rtu-tcp:[HOST:]PORT, not '" +
                         std::string(text) + "'");
    }
    const std::size_t colon = rest.rfind(':');
    if (colon != rest.npos) {
        std::string_view host = rest.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
        if (host.empty()) {
            throw UsageError("--listen '" + std::string(text) + "' names no host");
        }
        listen.host = host;
        rest = rest.substr(colon + 1);
    }
    listen.port = static_cast<std::uint16_t>(ParseNumber("--listen", rest, 0, 65535));
    return listen;
}

metersim::NetFault ParseNetFault(std::string_view text)
{
    static const std::pair<std::string_view, metersim::NetFault> kFaults[] = {
        {"mute", metersim::NetFault::Mute},
        {"garbage", metersim::NetFault::Garbage},
        {"huge-length", metersim::NetFault::HugeLength},
        {"half-close", metersim::NetFault::HalfClose},
        {"late-first", metersim::NetFault::LateFirst},
        {"stale", metersim::NetFault::Stale},
    };
    for (const auto& [name, fault] : kFaults) {
        if (text == name) {
            return fault;
        }
    }
    throw UsageError("--net-fault wants mute, garbage, huge-length, half-close, late-first or "
                     "stale, not '" +
                     std::string(text) + "'");
}

bool IsMeterBaud(int baud)
{
    return baud == 1200 || baud == 2400 || baud == 4800 || baud == 9600;
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") {
            options.command.assign(argv + i + 1, argv + argc);
            if (options.command.empty()) {
                throw UsageError("'--' must be followed by a command");
            }
            break;
        }
        std::string_view value;
        bool hasValue = false;
        if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        const auto next = [&]() -> std::string_view {
            if (hasValue) {
                return value;
            }
            if (i + 1 >= argc) {
                throw UsageError(std::string(arg) + " wants a value");
            }
            return argv[++i];
        };
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::printf("%s %s\n", kName, QUORVEX_VERSION);
            std::exit(0);
        } else if (arg == "--type") {
            const std::string_view type = next();
            if (type == "single") {
                options.kind = metersim::MeterKind::SinglePhase;
            } else if (type == "three") {
                options.kind = metersim::MeterKind::ThreePhase;
            } else if (type == "both") {
                options.kind = metersim::MeterKind::Both;
            } else {
                throw UsageError("--type wants single, three or both, not '" + std::string(type) +
                                 "'");
            }
        } else if (arg == "--device") {
            options.device = next();
        } else if (arg == "--baud") {
            options.baud = static_cast<int>(ParseNumber(arg, next(), 1200, 115200));
            options.state.baudCode = options.baud == 1200   ? 0x04
                                     : options.baud == 2400 ? 0x08
                                     : options.baud == 4800 ? 0x10
                                                            : 0x20;
        } else if (arg == "--parity") {
            const std::string_view parity = next();
            if (parity == "none") {
                options.parity = metersim::LineParity::None;
                options.state.parityCode = 2;
            } else if (parity == "odd") {
                options.parity = metersim::LineParity::Odd;
                options.state.parityCode = 1;
            } else if (parity == "even") {
                options.parity = metersim::LineParity::Even;
                options.state.parityCode = 0;
            } else {
                throw UsageError("--parity wants none, odd or even, not '" + std::string(parity) +
                                 "'");
            }
        } else if (arg == "--address") {
            options.addresses = ParseAddresses(next());
        } else if (arg == "--decimals") {
            options.state.decimals = static_cast<std::uint16_t>(ParseNumber(arg, next(), 1, 2));
        } else if (arg == "--serial") {
            options.state.serialNumber = ParseSerial(next());
        } else if (arg == "--delay") {
            options.misbehaviour.delayMs = static_cast<int>(ParseNumber(arg, next(), 0, 60000));
        } else if (arg == "--split") {
            options.misbehaviour.splitPieces = static_cast<int>(ParseNumber(arg, next(), 1, 4096));
        } else if (arg == "--split-gap") {
            options.misbehaviour.splitGapMs = static_cast<int>(ParseNumber(arg, next(), 0, 60000));
        } else if (arg == "--corrupt-crc") {
            options.misbehaviour.corruptCrc = true;
        } else if (arg == "--exception") {
            options.misbehaviour.exceptionCode =
                static_cast<std::uint8_t>(ParseNumber(arg, next(), 1, 255));
        } else if (arg == "--silent") {
            options.misbehaviour.silent = true;
        } else if (arg == "--garbage") {
            options.misbehaviour.garbagePrefix = ParseHex(arg, next());
        } else if (arg == "--reply") {
            options.misbehaviour.cannedReply = ParseHex(arg, next());
        } else if (arg == "--overlong") {
            options.misbehaviour.overlongTotal =
                static_cast<std::size_t>(ParseNumber(arg, next(), 1, 65536));
        } else if (arg == "--reply-address") {
            options.misbehaviour.replyAddress =
                static_cast<std::uint8_t>(ParseNumber(arg, next(), 0, 255));
        } else if (arg == "--spoil-every") {
            options.misbehaviour.spoilEvery =
                static_cast<int>(ParseNumber(arg, next(), 1, 1000000000));
        } else if (arg == "--wire-time") {
            options.wireTime = true;
        } else if (arg == "--noise-at-wrong-speed") {
            options.noiseAtWrongSpeed = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--listen") {
            options.listens.push_back(ParseListen(next()));
        } else if (arg == "--net-fault") {
            options.netFault = ParseNetFault(next());
        } else {
            throw UsageError("unknown option '" + std::string(argv[i]) + "'");
        }
        if (hasValue && (arg == "--corrupt-crc" || arg == "--silent" || arg == "--verbose" ||
                         arg == "--wire-time" || arg == "--noise-at-wrong-speed")) {
            throw UsageError(std::string(arg) + " takes no value");
        }
    }
    if (!options.listens.empty() && !options.device.empty()) {
        throw UsageError("--listen and --device do not go together");
    }
    if (options.netFault != metersim::NetFault::None && options.listens.empty()) {
        throw UsageError("--net-fault needs --listen");
    }
    if (options.noiseAtWrongSpeed && !options.wireTime) {
        throw UsageError("--noise-at-wrong-speed needs --wire-time");
    }
    // On a pseudo-terminal the meter's speed is its baud setting, which holds only these.
    if (options.wireTime && options.device.empty() && !IsMeterBaud(options.baud)) {
        throw UsageError("--wire-time on a pseudo-terminal wants --baud 1200, 2400, 4800 or "
                         "9600, not " +
                         std::to_string(options.baud));
    }
    return options;
}

const char* KindText(metersim::MeterKind kind)
{
    switch (kind) {
    case metersim::MeterKind::SinglePhase:
        return "single phase meter";
    case metersim::MeterKind::ThreePhase:
        return "three phase meter";
    case metersim::MeterKind::Both:
        break;
    }
    return "single and three phase meter";
}

// "single phase meter", or "3 single phase meters at addresses 1, 2, 5".
std::string MetersText(const Options& options)
{
    std::string text = KindText(options.kind);
    if (options.addresses.size() == 1) {
        return text;
    }
    text = std::to_string(options.addresses.size()) + " " + text + "s at addresses ";
    for (std::size_t i = 0; i < options.addresses.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(options.addresses[i]);
    }
    return text;
}

void LogTraffic(metersim::MeterSimulator::Direction direction, std::span<const std::uint8_t> bytes)
{
    std::string line = kName;
    line += direction == metersim::MeterSimulator::Direction::Request ? ": request" : ": reply  ";
    char hex[4];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(hex, sizeof hex, " %02X", byte);
        line += hex;
    }
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

int ExitStatusOf(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 1;
}

// Runs the command with the meter on COM1; returns the pid, or -1.
pid_t StartCommand(const Options& options, const std::vector<std::string>& lines,
                   const sigset_t& oldMask)
{
    const pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &oldMask, nullptr);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            setenv(("QUORVEX_COM" + std::to_string(i + 1)).c_str(), lines[i].c_str(), 1);
        }
        std::vector<char*> argv = options.command;
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "%s: cannot run %s: %s\n", kName, argv[0], std::strerror(errno));
        _exit(127);
    }
    if (pid < 0) {
        std::fprintf(stderr, "%s: cannot start a process: %s\n", kName, std::strerror(errno));
    }
    return pid;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kName, error.text().c_str(), kName);
        return 2;
    }

    // Signals are taken one at a time by sigwaitinfo below; block them before the meter's
    // thread starts so that it inherits the mask.
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGINT);
    sigaddset(&waited, SIGTERM);
    sigaddset(&waited, SIGCHLD);
    sigset_t oldMask;
    pthread_sigmask(SIG_BLOCK, &waited, &oldMask);

    std::string error;
    std::unique_ptr<metersim::NetServer> gateways;
    std::unique_ptr<metersim::MeterSimulator> meter;
    std::vector<std::string> lines;
    if (!options.listens.empty()) {
        std::vector<metersim::MeterState> states;
        for (const std::uint8_t address : options.addresses) {
            states.push_back(options.state);
            states.back().address = address;
        }
        gateways = std::make_unique<metersim::NetServer>(
            options.kind, states, options.misbehaviour, options.wireTime, options.netFault);
        for (const metersim::Listen& listen : options.listens) {
            if (!gateways->listen(listen, &error)) {
                std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
                return 1;
            }
        }
        if (!gateways->start(&error)) {
            std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
            return 1;
        }
        for (const std::string& address : gateways->addresses()) {
            std::printf("%s: %s on %s\n", kName, MetersText(options).c_str(), address.c_str());
        }
        std::fflush(stdout);
        lines = gateways->urls();
    } else {
        meter =
            options.device.empty()
                ? metersim::MeterSimulator::OnPseudoTerminal(options.kind, &error)
                : metersim::MeterSimulator::OnDevice(options.kind, options.device, options.baud,
                                                     options.parity, &error);
        if (!meter) {
            std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
            return 1;
        }
        for (std::size_t i = 0; i < options.addresses.size(); ++i) {
            metersim::MeterState state = options.state;
            state.address = options.addresses[i];
            if (i == 0) {
                meter->setState(state);
            } else {
                meter->addMeter(state);
            }
        }
        meter->setMisbehaviour(options.misbehaviour);
        meter->setWireTime(options.wireTime);
        meter->setNoiseAtWrongSpeed(options.noiseAtWrongSpeed);
        if (options.verbose) {
            meter->setTrafficLog(&LogTraffic);
        }
        meter->start();
        std::printf("%s: %s on %s\n", kName, MetersText(options).c_str(), meter->devicePath().c_str());
        std::fflush(stdout);
        lines = {meter->devicePath()};
    }

    pid_t child = -1;
    if (!options.command.empty()) {
        child = StartCommand(options, lines, oldMask);
        if (child < 0) {
            return 1;
        }
    }

    int exitCode = 0;
    for (;;) {
        siginfo_t info{};
        if (sigwaitinfo(&waited, &info) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (info.si_signo == SIGCHLD) {
            int status = 0;
            if (child > 0 && waitpid(child, &status, WNOHANG) == child) {
                exitCode = ExitStatusOf(status);
                break;
            }
            continue;
        }
        if (child > 0) {
            // The command decides how to end; the meter stays until it has.
            kill(child, info.si_signo);
            continue;
        }
        break;
    }
    if (meter) {
        meter->stop();
    }
    if (gateways) {
        gateways->stop();
    }
    return exitCode;
}
