// quorvexctl and the scan as whole processes, against quorvex-metersim on pseudo-terminals,
// timed from the outside (fork to reaped) with a steady clock.
//
//   bench_quorvexctl timing [--runs N] [--scan-runs N]
//       start-up; one three-phase reading at 9600 baud with the meter's bytes paced at the
//       line's speed and a 20 ms turnaround, side by side with mbpoll reading the same 46
//       registers; eight ports at once against one; the scan with nothing on the line and
//       with a meter at 1200 baud; the address sweep.
//   bench_quorvexctl soak [--count N] [--wire-time]
//       watch N readings from a meter that spoils every hundredth reply, every result
//       checked, the resident memory of quorvexctl sampled every hundred results.
//
// Prints markdown rows (median with spread); a run whose result is wrong is reported on
// standard error and makes the exit status 1, whatever its time.

#include "benchutil.h"
#include "childprocess.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <pty.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kCtl = QVX_QUORVEXCTL;
const std::string kSim = QVX_METERSIM;

constexpr int kDefaultRuns = 21;
constexpr int kDefaultScanRuns = 5;
constexpr long kDefaultSoakCount = 10000;
constexpr auto kLimit = std::chrono::seconds(60);

// One three-phase reading at 9600 baud: its request, its reply (46 registers), and the
// meter's turnaround set on the simulator.
constexpr int kBaud = 9600;
constexpr int kRequestBytes = 8;
constexpr int kRegisters = 46;
constexpr int kReplyBytes = 5 + 2 * kRegisters;
constexpr int kTurnaroundMs = 20;
constexpr int kPortCount = 8;
// The sweep: a meter at this address, and the silent addresses below it asked alone.
constexpr int kSweepMeter = 200;
constexpr int kSweepLast = 247;

int g_failures = 0;

void Fail(const std::string& what)
{
    ++g_failures;
    std::fprintf(stderr, "bench_quorvexctl: %s\n", what.c_str());
}

double WireMs(int bytes, int baud)
{
    return bytes * 10 * 1000.0 / baud;
}

std::string Describe(const Finished& run)
{
    std::string text = "exit status " + std::to_string(run.status);
    if (run.timedOut) {
        text += ", killed after its time limit";
    }
    if (!run.err.empty()) {
        text += "; its standard error: " + run.err.substr(0, 400);
    }
    return text;
}

// Every line of standard output as a JSON object; an empty object for a line that is none.
std::vector<QJsonObject> JsonLines(const std::string& out)
{
    std::vector<QJsonObject> objects;
    std::size_t from = 0;
    while (from < out.size()) {
        std::size_t end = out.find('\n', from);
        if (end == std::string::npos) {
            end = out.size();
        }
        const QJsonDocument document = QJsonDocument::fromJson(
            QByteArray(out.data() + from, static_cast<qsizetype>(end - from)));
        objects.push_back(document.isObject() ? document.object() : QJsonObject());
        from = end + 1;
    }
    return objects;
}

std::string Text(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString().toStdString();
}

bool IsOk(const QJsonObject& object)
{
    return object.value(QLatin1String("ok")).toBool(false);
}

// mbpoll reading the registers of one three-phase reading once: input registers (-t 3)
// from reference 1, which is register 0 (mbpoll counts from 1 unless given -0).
std::vector<std::string> Mbpoll(const std::string& port)
{
    return {"mbpoll", "-m", "rtu", "-a", "1", "-b", std::to_string(kBaud),      "-P",
            "none",   "-t", "3",   "-r", "1", "-c", std::to_string(kRegisters), "-1",
            port};
}

std::unique_ptr<SimulatorProcess> StartSimulator(const std::vector<std::string>& options)
{
    std::string error;
    std::unique_ptr<SimulatorProcess> simulator = SimulatorProcess::Start(kSim, options, &error);
    if (!simulator) {
        Fail("simulator: " + error);
    }
    return simulator;
}

std::vector<std::string> Ctl(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), kCtl);
    return arguments;
}

// Runs quorvexctl runs times (one warm-up run more, not counted, so that the page cache
// is warm for all of them), checking each run's result; returns the times.
std::vector<double> TimeRuns(int runs, const std::vector<std::string>& argv, const char* what,
                             const std::function<bool(const Finished&)>& right)
{
    std::vector<double> times;
    for (int i = 0; i <= runs; ++i) {
        const Finished run = RunChild(argv, kLimit);
        if (!right(run)) {
            Fail(std::string(what) + ": wrong result, " + Describe(run) +
                 "; output: " + run.out.substr(0, 400));
            continue;
        }
        if (i > 0) {
            times.push_back(run.ms);
        }
    }
    return times;
}

// A read-meter run: exit 0 and one good reading from each port named, and nothing else.
bool ReadingsFrom(const Finished& run, const std::vector<std::string>& ports)
{
    if (run.status != 0 || run.timedOut) {
        return false;
    }
    const std::vector<QJsonObject> results = JsonLines(run.out);
    if (results.size() != ports.size()) {
        return false;
    }
    std::vector<std::string> seen;
    for (const QJsonObject& result : results) {
        if (!IsOk(result) || Text(result, "command") != "read-meter" ||
            Text(result, "voltage_l1").empty()) {
            return false;
        }
        seen.push_back(Text(result, "port"));
    }
    std::vector<std::string> wanted = ports;
    std::sort(seen.begin(), seen.end());
    std::sort(wanted.begin(), wanted.end());
    return seen == wanted;
}

// mbpoll prints each register as "[reference]: <tab>value", references from 1.
bool AllRegistersFrom(const Finished& run)
{
    if (run.status != 0 || run.timedOut) {
        return false;
    }
    for (int reference = 1; reference <= kRegisters; ++reference) {
        if (run.out.find("[" + std::to_string(reference) + "]:") == std::string::npos) {
            return false;
        }
    }
    return run.out.find("[" + std::to_string(kRegisters + 1) + "]:") == std::string::npos;
}

// Scan results: the exit status, and what each line found.
bool ScanGave(const Finished& run, int status, const std::vector<std::string>& found)
{
    if (run.status != status || run.timedOut) {
        return false;
    }
    std::vector<std::string> answers;
    for (const QJsonObject& result : JsonLines(run.out)) {
        if (Text(result, "command") != "scan") {
            return false;
        }
        if (IsOk(result)) {
            answers.push_back(Text(result, "baud") + " " + Text(result, "parity") + " " +
                              Text(result, "address") + " " + Text(result, "type"));
        }
    }
    return answers == found;
}

void PrintLoad(const char* when)
{
    std::printf("| %-44s | %13s | %19s |\n",
                (std::string("load average (1, 5, 15 min), ") + when).c_str(),
                LoadAverage().c_str(), "—");
}

void PrintRatio(const std::string& what, const std::vector<double>& numerators,
                const std::vector<double>& denominators)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < numerators.size() && i < denominators.size(); ++i) {
        ratios.push_back(numerators[i] / denominators[i]);
    }
    PrintRow(what, SampleOf(ratios), "×");
}

int RunTiming(int runs, int scanRuns)
{
    PrintHeader();
    PrintLoad("at the start");

    // Start-up: the least a run costs, whatever it does on the line.
    const std::vector<double> version =
        TimeRuns(runs, Ctl({"--version"}), "quorvexctl --version",
                 [](const Finished& run) { return run.status == 0; });
    const std::vector<double> noPort = TimeRuns(
        runs, Ctl({"--port", "/nonexistent/ttyQVX0", "--format", "json", "read-meter"}),
        "quorvexctl on a missing port", [](const Finished& run) { return run.status == 3; });
    // mbpoll's own, to tell its start from its time on the line below.
    const std::vector<double> mbpollNoPort =
        TimeRuns(runs, Mbpoll("/nonexistent/ttyQVX0"), "mbpoll on a missing port",
                 [](const Finished& run) { return run.status == 1; });
    PrintRow("start-up: quorvexctl --version", SampleOf(version), "ms");
    PrintRow("start-up: quorvexctl on a missing port (exit 3)", SampleOf(noPort), "ms");
    PrintRow("start-up: mbpoll on a missing port (exit 1)", SampleOf(mbpollNoPort), "ms");
    const double startUpMs = SampleOf(noPort).median;

    // One reading, quorvexctl and mbpoll in turn on the same meter, so that both see the
    // same load. mbpoll cannot ask address 0 (it refuses a broadcast read), so it asks the
    // meter's own address, 1; the frames are of the same length.
    const std::string turnaround = std::to_string(kTurnaroundMs);
    const auto meter = StartSimulator({"--type", "three", "--wire-time", "--delay", turnaround});
    if (!meter) {
        return 1;
    }
    const std::vector<std::string> readMeter =
        Ctl({"--port", meter->path(), "--type", "three", "--format", "json", "read-meter",
             "--decimals", "2"});
    const std::vector<std::string> mbpoll = Mbpoll(meter->path());
    std::vector<double> ctlTimes;
    std::vector<double> mbpollTimes;
    for (int i = 0; i <= runs; ++i) {
        const Finished ours = RunChild(readMeter, kLimit);
        const Finished theirs = RunChild(mbpoll, kLimit);
        if (!ReadingsFrom(ours, {meter->path()})) {
            Fail("read-meter: wrong result, " + Describe(ours) + "; output: " + ours.out);
        }
        if (!AllRegistersFrom(theirs)) {
            Fail("mbpoll: wrong result, " + Describe(theirs) +
                 (theirs.status == 127 ? " (is mbpoll installed? Debian package mbpoll)" : ""));
        }
        if (i > 0 && ReadingsFrom(ours, {meter->path()}) && AllRegistersFrom(theirs)) {
            ctlTimes.push_back(ours.ms);
            mbpollTimes.push_back(theirs.ms);
        }
    }
    const double lineMs = WireMs(kRequestBytes, kBaud) + kTurnaroundMs + WireMs(kReplyBytes, kBaud);
    PrintValue("read-meter on the line: 8 + 97 bytes + 20 ms", lineMs, "ms", 3);
    PrintValue("bound: 1.1 × line + start-up", 1.1 * lineMs + startUpMs, "ms", 3);
    PrintRow("quorvexctl read-meter, three phase, 9600", SampleOf(ctlTimes), "ms");
    PrintRow("mbpoll, 46 input registers, 9600", SampleOf(mbpollTimes), "ms");
    PrintRatio("quorvexctl / mbpoll, run by run", ctlTimes, mbpollTimes);

    // Eight meters, each on its own line, read by one process: the lines work in parallel.
    std::vector<std::unique_ptr<SimulatorProcess>> meters;
    std::vector<std::string> ports;
    std::vector<std::string> eightPorts = Ctl({"--type", "three", "--format", "json"});
    for (int i = 0; i < kPortCount; ++i) {
        meters.push_back(StartSimulator({"--type", "three", "--wire-time", "--delay", turnaround}));
        if (!meters.back()) {
            return 1;
        }
        ports.push_back(meters.back()->path());
        eightPorts.insert(eightPorts.end(), {"--port", ports.back()});
    }
    eightPorts.insert(eightPorts.end(), {"read-meter", "--decimals", "2"});
    const std::vector<std::string> onePort =
        Ctl({"--port", ports.front(), "--type", "three", "--format", "json", "read-meter",
             "--decimals", "2"});
    std::vector<double> oneTimes;
    std::vector<double> eightTimes;
    for (int i = 0; i <= runs; ++i) {
        const Finished one = RunChild(onePort, kLimit);
        const Finished eight = RunChild(eightPorts, kLimit);
        const bool right = ReadingsFrom(one, {ports.front()}) && ReadingsFrom(eight, ports);
        if (!right) {
            Fail("eight ports: wrong result, " + Describe(one) + " / " + Describe(eight) +
                 "; output: " + eight.out.substr(0, 600));
        }
        if (i > 0 && right) {
            oneTimes.push_back(one.ms);
            eightTimes.push_back(eight.ms);
        }
    }
    meters.clear();
    PrintRow("read-meter, one port", SampleOf(oneTimes), "ms");
    PrintRow("read-meter, eight ports at once", SampleOf(eightTimes), "ms");
    PrintRatio("eight ports / one, run by run (goal ≤ 1.3)", eightTimes, oneTimes);

    // Nothing on the line: a pseudo-terminal whose other side is held open and never read.
    int master = -1;
    int slave = -1;
    char name[64] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        Fail(std::string("openpty: ") + std::strerror(errno));
        return 1;
    }
    const std::vector<double> silent =
        TimeRuns(scanRuns, Ctl({"--port", name, "--format", "json", "scan"}), "scan with no meter",
                 [](const Finished& run) { return ScanGave(run, 1, {}); });
    ::close(master);
    ::close(slave);
    PrintRow("scan, no meter, 12 settings (goal ≤ 3 s)", SampleOf(silent), "ms");

    // A meter at the slowest speed, even parity. A pseudo-terminal does not carry parity,
    // so it answers at the first 1200 baud setting tried (none); --all goes on through the
    // other two, which answer as well: no longer than finding it at the last one would take.
    {
        const auto slow = StartSimulator({"--baud", "1200", "--parity", "even", "--wire-time"});
        if (!slow) {
            return 1;
        }
        const std::vector<double> found = TimeRuns(
            scanRuns, Ctl({"--port", slow->path(), "--format", "json", "scan"}), "scan at 1200",
            [](const Finished& run) { return ScanGave(run, 0, {"1200 none 1 single"}); });
        const std::vector<double> all = TimeRuns(
            scanRuns, Ctl({"--port", slow->path(), "--format", "json", "scan", "--all"}),
            "scan --all at 1200", [](const Finished& run) {
                return ScanGave(run, 0,
                                {"1200 none 1 single", "1200 odd 1 single", "1200 even 1 single"});
            });
        PrintRow("scan, meter at 1200, found (goal ≤ 3 s)", SampleOf(found), "ms");
        PrintRow("scan --all, meter at 1200, all 12 settings", SampleOf(all), "ms");
    }

    // The sweep at 9600: one meter at an address near the end. The silent addresses below
    // it, asked alone, give the time per address with nothing to answer.
    for (const char* type : {"single", "three"}) {
        const auto bus = StartSimulator(
            {"--type", type, "--address", std::to_string(kSweepMeter), "--wire-time"});
        if (!bus) {
            return 1;
        }
        const std::string meterFound = "9600 none " + std::to_string(kSweepMeter) + " " + type;
        const std::vector<double> sweep =
            TimeRuns(scanRuns,
                     Ctl({"--port", bus->path(), "--type", type, "--format", "json", "scan",
                          "--sweep", "--from", "1", "--to", std::to_string(kSweepLast)}),
                     "sweep", [&](const Finished& run) { return ScanGave(run, 0, {meterFound}); });
        const std::vector<double> silentSweep =
            TimeRuns(scanRuns,
                     Ctl({"--port", bus->path(), "--type", type, "--format", "json", "scan",
                          "--sweep", "--from", "1", "--to", std::to_string(kSweepMeter - 1)}),
                     "silent sweep", [](const Finished& run) { return ScanGave(run, 1, {}); });
        std::vector<double> perAddress;
        for (const double ms : silentSweep) {
            perAddress.push_back((ms - startUpMs) / (kSweepMeter - 1));
        }
        const std::string what =
            std::string("sweep 1–") + std::to_string(kSweepLast) + ", " + type + " phase";
        PrintRow(what + " (goal < 8 s)", SampleOf(sweep), "ms");
        PrintRow(std::string("sweep, per silent address, ") + type + " (goal ≤ 30 ms)",
                 SampleOf(perAddress), "ms");
    }
    PrintLoad("at the end");
    return g_failures == 0 ? 0 : 1;
}

// "1234.56" in hundredths; nullopt for anything else.
std::optional<long long> Hundredths(const std::string& text)
{
    const std::size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);
    if (whole.empty() || whole.size() > 12 || fraction.size() > 2 ||
        whole.find_first_not_of("0123456789") != std::string::npos ||
        fraction.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    fraction.resize(2, '0');
    return std::stoll(whole) * 100 + std::stoll(fraction);
}

// What a reading's fixed quantities must be: everything of a clean reading but its energies
// (which grow by a step per reply) and what names the run (time, port).
QJsonObject FixedPart(QJsonObject reading)
{
    for (const QString& key : reading.keys()) {
        if (key == QLatin1String("time") || key == QLatin1String("port") ||
            key.endsWith(QLatin1String("_kwh"))) {
            reading.remove(key);
        }
    }
    return reading;
}

int RunSoak(long count, bool wireTime)
{
    constexpr long kSpoilEvery = 100;
    // The values to expect come from a meter that spoils nothing.
    QJsonObject reference;
    {
        const auto clean = StartSimulator({"--type", "three"});
        if (!clean) {
            return 1;
        }
        const Finished run = RunChild(Ctl({"--port", clean->path(), "--type", "three", "--format",
                                           "json", "watch", "--decimals", "2", "--count", "1"}),
                                      kLimit);
        const std::vector<QJsonObject> lines = JsonLines(run.out);
        if (run.status != 0 || lines.size() != 1 || !IsOk(lines.front())) {
            Fail("the reference reading is not one good reading: " + Describe(run) + "; " +
                 run.out);
            return 1;
        }
        reference = FixedPart(lines.front());
    }

    std::vector<std::string> options{"--type", "three", "--spoil-every",
                                     std::to_string(kSpoilEvery)};
    if (wireTime) {
        options.push_back("--wire-time");
    }
    const auto meter = StartSimulator(options);
    if (!meter) {
        return 1;
    }

    long lines = 0;
    long okRight = 0;
    long spoiledWhereDue = 0;
    long wrongValues = 0;     // ok, but a fixed quantity differs
    long outOfSequence = 0;   // ok, but the energy is not the one this result's reply carried
    long failedElsewhere = 0; // not ok where the meter sent a good reply
    long okWhereSpoiled = 0;  // ok where the meter spoiled its reply
    long unreadable = 0;      // not a JSON result of this command and port
    std::map<std::string, long> errors;
    std::optional<long long> energyAtFirst; // active energy of result 1, from the first ok
    long rssAtHundred = -1;
    long rssMax = -1;
    long rssLast = -1;

    // The meter adds one step to its active energy after every reply, spoiled or not, and
    // spoils replies 100, 200, ...: result n must carry the energy of result 1 plus n - 1
    // steps, or be the error of a spoiled reply exactly when n is a multiple of 100. A
    // reading lost, doubled or taken from the wrong reply breaks the sequence.
    const auto check = [&](pid_t pid, const std::string& line) {
        const long n = ++lines;
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray(line.data(), static_cast<qsizetype>(line.size())));
        const QJsonObject result = document.object();
        if (!document.isObject() || Text(result, "command") != "watch" ||
            Text(result, "port") != meter->path()) {
            ++unreadable;
        } else if (n % kSpoilEvery == 0) {
            if (IsOk(result)) {
                ++okWhereSpoiled;
            } else {
                ++spoiledWhereDue;
                ++errors[Text(result, "error")];
            }
        } else if (!IsOk(result)) {
            ++failedElsewhere;
            ++errors[Text(result, "error")];
        } else {
            const std::optional<long long> energy = Hundredths(Text(result, "active_kwh"));
            if (energy && !energyAtFirst) {
                energyAtFirst = *energy - (n - 1);
            }
            if (FixedPart(result) != reference) {
                ++wrongValues;
            } else if (!energy || *energy != *energyAtFirst + (n - 1)) {
                ++outOfSequence;
            } else {
                ++okRight;
            }
        }
        if (n % 100 == 0) {
            const long rss = ResidentKiBOf(pid);
            if (rss > 0) {
                rssLast = rss;
                if (n == 100) {
                    rssAtHundred = rss;
                }
                if (n > 100) {
                    rssMax = std::max(rssMax, rss);
                }
            }
        }
    };
    // A reading at wire speed takes about 110 ms; give every one a second.
    const auto limit = std::chrono::milliseconds(count * (wireTime ? 1000 : 100) + 60000);
    const Finished run =
        RunChild(Ctl({"--port", meter->path(), "--type", "three", "--format", "json", "watch",
                      "--decimals", "2", "--interval", "0", "--count", std::to_string(count)}),
                 limit, check);
    const long spoiledDue = count / kSpoilEvery;
    const int statusDue = spoiledDue > 0 ? 1 : 0;
    if (run.status != statusDue || run.timedOut) {
        Fail("watch: " + Describe(run) + ", not exit status " + std::to_string(statusDue));
    }
    if (lines != count || okRight != count - spoiledDue || spoiledWhereDue != spoiledDue) {
        Fail("watch: " + std::to_string(lines) + " results of " + std::to_string(count) + ", " +
             std::to_string(okRight) + " right readings, " + std::to_string(spoiledWhereDue) +
             " spoiled replies reported of " + std::to_string(spoiledDue) +
             "; the table says what went wrong");
    }

    const std::string of = " (of " + std::to_string(count) + ")";
    std::printf("| %-44s | %13s | %19s |\n", "soak: meter's replies paced at the line's speed",
                wireTime ? "yes, 9600" : "no", "—");
    PrintValue("soak: results written" + of, static_cast<double>(lines), "");
    PrintValue("soak: ok, right values, energy in sequence", static_cast<double>(okRight), "");
    PrintValue("soak: not ok where the reply was spoiled", static_cast<double>(spoiledWhereDue),
               "");
    for (const auto& [error, times] : errors) {
        PrintValue("soak: error \"" + error + "\"", static_cast<double>(times), "");
    }
    PrintValue("soak: ok where the reply was spoiled", static_cast<double>(okWhereSpoiled), "");
    PrintValue("soak: not ok where the reply was good", static_cast<double>(failedElsewhere), "");
    PrintValue("soak: ok with a wrong value", static_cast<double>(wrongValues), "");
    PrintValue("soak: energy out of sequence (lost, doubled)", static_cast<double>(outOfSequence),
               "");
    PrintValue("soak: unreadable lines", static_cast<double>(unreadable), "");
    PrintValue("soak: time per reading", run.ms / static_cast<double>(count), "ms", 3);
    // Sampled from result 100 on: a shorter soak has nothing to show.
    if (rssAtHundred > 0) {
        PrintValue("soak: quorvexctl VmRSS at result 100", static_cast<double>(rssAtHundred),
                   "KiB");
    }
    if (rssMax > 0) {
        PrintValue("soak: quorvexctl VmRSS, highest after 100", static_cast<double>(rssMax), "KiB");
        PrintValue("soak: quorvexctl VmRSS at the last sample", static_cast<double>(rssLast),
                   "KiB");
    }
    PrintLoad("at the end");
    return g_failures == 0 ? 0 : 1;
}

const char* kUsage = "usage: bench_quorvexctl timing [--runs N] [--scan-runs N]\n"
                     "       bench_quorvexctl soak [--count N] [--wire-time]\n";

int Usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        return Usage();
    }
    const std::string mode = argv[1];
    int runs = kDefaultRuns;
    int scanRuns = kDefaultScanRuns;
    long count = kDefaultSoakCount;
    bool wireTime = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto number = [&](long low, long high) {
            char* end = nullptr;
            const long value = i + 1 < argc ? std::strtol(argv[++i], &end, 10) : 0;
            if (end == nullptr || *end != '\0' || value < low || value > high) {
                std::fprintf(stderr, "bench_quorvexctl: %s wants a number from %ld to %ld\n",
                             arg.c_str(), low, high);
                std::exit(Usage());
            }
            return value;
        };
        if (mode == "timing" && arg == "--runs") {
            runs = static_cast<int>(number(1, 1000));
        } else if (mode == "timing" && arg == "--scan-runs") {
            scanRuns = static_cast<int>(number(1, 1000));
        } else if (mode == "soak" && arg == "--count") {
            count = number(1, 10000000);
        } else if (mode == "soak" && arg == "--wire-time") {
            wireTime = true;
        } else {
            return Usage();
        }
    }
    if (mode == "timing") {
        return RunTiming(runs, scanRuns);
    }
    if (mode == "soak") {
        return RunSoak(count, wireTime);
    }
    return Usage();
}
