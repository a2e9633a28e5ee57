#include "jobcommand.h"

#include "commands.h"
#include "commission.h"
#include "lineport.h"
#include "output.h"
#include "portlink.h"
#include "scan.h"
#include "session.h"
#include "store.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <unistd.h>

namespace ctl {

namespace {

const char* TypeWord(MeterType type)
{
    return type == MeterType::ThreePhase ? "three" : "single";
}

const char* ParityWord(int parity)
{
    static const char* const kWords[] = {"none", "odd", "even"};
    return parity >= 0 && parity < 3 ? kWords[parity] : "?";
}

std::string Describe(const MeterLine& line)
{
    return "address " + std::to_string(line.address) + ", " + std::to_string(line.baud) +
           " baud, parity " + ParityWord(line.parity);
}

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

int UtcOffsetMinutes(std::chrono::system_clock::time_point time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    return static_cast<int>(local.tm_gmtoff / 60);
}

// How far one row got.
struct RowReport
{
    bool found = false;
    MeterLine start; // where the meter was found
    MeterLine now;   // where it answers after the row
    std::vector<SettingStep> steps;
    std::optional<MeterReading> reading;
    std::string serialNumber;
    std::vector<std::string> problems;
    bool interrupted = false;

    bool passed() const { return problems.empty() && !interrupted; }
};

// Writes results in the file's row order, whichever port finishes first: a row's result waits
// until the rows before it have theirs.
class InRowOrder
{
public:
    InRowOrder(OutcomeWriter& writer, std::size_t rows) : m_writer(writer), m_ready(rows) {}

    void put(std::size_t index, Outcome outcome)
    {
        const std::lock_guard lock(m_mutex);
        m_ready[index] = std::move(outcome);
        while (m_next < m_ready.size() && m_ready[m_next]) {
            m_writer.write(*m_ready[m_next]);
            m_ready[m_next].reset();
            ++m_next;
        }
    }

private:
    OutcomeWriter& m_writer;
    std::mutex m_mutex;
    std::vector<std::optional<Outcome>> m_ready;
    std::size_t m_next = 0;
};

// What the rows of every port share.
struct Shared
{
    Shared(const JobRun& run, std::int64_t jobId, InRowOrder& results,
           std::set<std::string> passedBefore)
        : run(run), jobId(jobId), results(results), passedBefore(std::move(passedBefore))
    {
    }

    const JobRun& run;
    const std::int64_t jobId;
    InRowOrder& results;
    const std::set<std::string> passedBefore;
    std::mutex storeMutex; // the store is not asked to take calls from several threads
    std::mutex errMutex;
    int passed = 0;
    int failed = 0;
    bool anyFailed = false;
};

void Progress(Shared& shared, const JobRow& row, const std::string& serialNumber,
              const std::string& how)
{
    const std::lock_guard lock(shared.errMutex);
    std::fprintf(shared.run.err, "row %d/%zu %s sn %s ... %s\n", row.row,
                 shared.run.job.rows.size(), row.port.c_str(),
                 serialNumber.empty() ? "?" : serialNumber.c_str(), how.c_str());
    std::fflush(shared.run.err);
}

std::string StepText(const SettingStep& step)
{
    return std::string(PropertyName(step.property)) + "=" + step.value.text;
}

std::string StepProblem(const SettingStep& step)
{
    const std::string name(PropertyName(step.property));
    if (step.notDone) {
        return {};
    }
    if (step.fault) {
        return name + " " + step.value.text +
               (step.written ? " not read back: " : " not written: ") + DescribeFault(*step.fault);
    }
    if (!step.read) {
        return {}; // written, stopped before its read back
    }
    if (!step.verified) {
        return name + " read back " + *step.read + ", not " + step.value.readBack;
    }
    return {};
}

// Finds the meter of a row: at the address it gives, at the job's line settings; or, with no
// address, by trying every line setting.
bool FindMeter(const JobRun& run, LinePort& port, Session& session, const JobRow& row,
               RowReport& report, std::optional<int>& decimalsRegister)
{
    if (row.address) {
        const LineSetting setting{run.options.baud, run.options.parity};
        if (const std::string reason = PutLineAt(port, setting); !reason.empty()) {
            report.problems.push_back(reason);
            return false;
        }
        session.line = LineTiming{static_cast<unsigned>(setting.baud), setting.parity != 0};
        const Result<PropertyReading> read = ReadProperty(
            session, row.type, static_cast<std::uint8_t>(*row.address), MeterProperty::Address);
        if (!read) {
            report.problems.push_back("no meter at address " + std::to_string(*row.address) + ", " +
                                      DescribeSetting(setting) + ": " +
                                      DescribeFault(read.fault()));
            return false;
        }
        report.start = {row.type, *row.address == 0 ? read->number : *row.address, setting.baud,
                        setting.parity};
        decimalsRegister = read->decimalsRegister;
        report.serialNumber = read->serialNumber.value_or("");
    } else {
        ScanHooks hooks;
        hooks.applySetting = [&port](const LineSetting& setting) { return PutLineAt(port, setting); };
        hooks.cancelled = [&run] { return run.interrupted.load(); };
        const unsigned timeout = session.responseTimeoutMs;
        const std::vector<ScanAnswer> answers =
            ScanLineSettings(session, hooks, row.type, run.options.turnaroundMs, false);
        session.responseTimeoutMs = timeout;
        const auto found = std::find_if(answers.begin(), answers.end(),
                                        [](const ScanAnswer& answer) { return answer.found(); });
        if (found == answers.end()) {
            if (!run.interrupted) {
                report.problems.push_back("no meter answered at any line setting");
            }
            return false;
        }
        if (const std::string reason = PutLineAt(port, found->setting); !reason.empty()) {
            report.problems.push_back(reason);
            return false;
        }
        session.line = LineTiming{static_cast<unsigned>(found->setting.baud), found->setting.parity != 0};
        report.start = {row.type, found->address, found->setting.baud, found->setting.parity};
        if (found->type != row.type) {
            report.now = report.start;
            report.problems.push_back(std::string("found a ") + TypeWord(found->type) +
                                      "-phase meter at " + Describe(report.start) +
                                      "; the row says " + TypeWord(row.type));
            return false;
        }
        decimalsRegister = found->decimalsRegister;
    }
    report.found = true;
    report.now = report.start;
    return true;
}

RowReport RunRow(const JobRun& run, LinePort& port, Session& session, const JobRow& row)
{
    RowReport report;
    std::optional<int> decimalsRegister;
    if (!FindMeter(run, port, session, row, report, decimalsRegister)) {
        report.interrupted = run.interrupted;
        return report;
    }
    std::string portError;
    const bool lineKept = Commission(
        session, port, report.now, row.settings,
        [&report](const SettingStep& step) { report.steps.push_back(step); }, &run.interrupted,
        &portError);
    if (!lineKept) {
        report.problems.push_back(portError);
        return report;
    }
    for (const SettingStep& step : report.steps) {
        if (const std::string problem = StepProblem(step); !problem.empty()) {
            report.problems.push_back(problem);
        }
        if (step.property == MeterProperty::SerialNumber && step.verified) {
            report.serialNumber = step.value.text;
        }
        if (step.property == MeterProperty::DecimalPlaces && step.verified) {
            decimalsRegister = step.value.setting.number;
        }
    }
    if (run.interrupted) {
        report.interrupted = true;
        return report;
    }
    // One reading, to show that the meter measures. A three-phase reply cannot be read
    // without the decimals of its energies.
    const int decimals = decimalsRegister.value_or(0);
    if (row.type == MeterType::ThreePhase && decimals != 1 && decimals != 2) {
        report.problems.push_back(
            "read-meter: " +
            DescribeFault(CommandFault{Fault::UnknownValue, static_cast<std::uint8_t>(decimals)}));
        return report;
    }
    ReadMeterOptions options;
    options.address = static_cast<std::uint8_t>(report.now.address);
    options.decimalMode = decimals;
    const MeterType type = row.type;
    options.meterType = [type] { return type; };
    const Result<MeterReading> reading = ReadMeter(session, options);
    if (!reading) {
        report.problems.push_back("read-meter: " + DescribeFault(reading.fault()));
    } else {
        report.reading = *reading;
        if (reading->type == MeterType::SinglePhase && report.serialNumber.empty()) {
            report.serialNumber = reading->single.serialNumber;
        }
    }
    return report;
}

std::string ErrorOf(const RowReport& report)
{
    std::string error;
    for (const std::string& problem : report.problems) {
        error += (error.empty() ? "" : "; ") + problem;
    }
    if (report.interrupted) {
        error += std::string(error.empty() ? "" : "; ") +
                 (report.found ? "interrupted" : "interrupted before the meter was found");
    }
    if (!report.passed() && report.found &&
        (report.now.address != report.start.address || report.now.baud != report.start.baud ||
         report.now.parity != report.start.parity)) {
        error += "; the meter now answers at " + Describe(report.now);
    }
    return error;
}

Outcome OutcomeOf(const std::string& device, const JobRow& row, const RowReport& report)
{
    Outcome outcome{
        std::chrono::system_clock::now(), device, "job", report.passed(), ErrorOf(report), {}};
    Fields& fields = outcome.fields;
    fields.emplace_back("row", std::to_string(row.row));
    if (!row.label.empty()) {
        fields.emplace_back("label", row.label);
    }
    fields.emplace_back("type", TypeWord(row.type));
    if (!report.serialNumber.empty()) {
        fields.emplace_back("sn", report.serialNumber);
    }
    if (report.found) {
        // The meter's line settings now, where the next command finds it.
        fields.emplace_back("address", std::to_string(report.now.address));
        fields.emplace_back("baud", std::to_string(report.now.baud));
        fields.emplace_back("parity", ParityWord(report.now.parity));
    }
    std::string verified;
    std::string notVerified;
    for (const SettingStep& step : report.steps) {
        std::string& list = step.verified ? verified : notVerified;
        list += (list.empty() ? "" : " ") + StepText(step);
    }
    if (!verified.empty()) {
        fields.emplace_back("verified", verified);
    }
    if (!notVerified.empty()) {
        fields.emplace_back("not_verified", notVerified);
    }
    if (report.reading) {
        for (auto& field : ReadingFields(*report.reading)) {
            if (field.first != "sn") {
                fields.push_back(std::move(field));
            }
        }
    }
    return outcome;
}

StoredResult RecordOf(const Shared& shared, const std::string& device, const JobRow& row,
                      const RowReport& report, const Outcome& outcome)
{
    StoredResult result;
    result.time = outcome.time;
    result.utcOffsetMinutes = UtcOffsetMinutes(outcome.time);
    result.host = HostName();
    result.port = device;
    result.command = "job";
    result.ok = outcome.ok;
    result.error = outcome.error;
    if (report.found) {
        result.address = report.now.address;
    }
    result.serialNumber = report.serialNumber;
    result.job = shared.jobId;
    result.row = row.row;
    for (const SettingStep& step : report.steps) {
        StoredProperty property{std::string(PropertyName(step.property)), step.value.text,
                                std::nullopt};
        if (step.read) {
            property.verified = step.verified;
        } else if (step.fault && !step.written) {
            property.verified = false; // refused: it certainly did not take
        }
        result.properties.push_back(std::move(property));
    }
    if (report.reading) {
        result.reading = ReadingFields(*report.reading);
    }
    return result;
}

// The result of a row that never reached its meter: skipped, or not started.
Outcome Unrun(const std::string& device, const JobRow& row, bool ok, const std::string& error,
              const char* skipped = nullptr)
{
    Outcome outcome{std::chrono::system_clock::now(), device, "job", ok, error, {}};
    outcome.fields.emplace_back("row", std::to_string(row.row));
    if (!row.label.empty()) {
        outcome.fields.emplace_back("label", row.label);
    }
    outcome.fields.emplace_back("type", TypeWord(row.type));
    if (!row.serialNumber.empty()) {
        outcome.fields.emplace_back("sn", row.serialNumber);
    }
    if (skipped) {
        outcome.fields.emplace_back("skipped", skipped);
    }
    return outcome;
}

void Finish(Shared& shared, const std::string& device, const JobRow& row, const RowReport& report)
{
    const Outcome outcome = OutcomeOf(device, row, report);
    {
        // Recorded as soon as it is known: a crash later loses none of it.
        const std::lock_guard lock(shared.storeMutex);
        shared.run.store.record(RecordOf(shared, device, row, report, outcome));
        ++(outcome.ok ? shared.passed : shared.failed);
        shared.anyFailed = shared.anyFailed || !outcome.ok;
    }
    Progress(shared, row, report.serialNumber.empty() ? row.serialNumber : report.serialNumber,
             outcome.ok ? "ok" : "FAILED: " + outcome.error);
    shared.results.put(static_cast<std::size_t>(row.row - 1), outcome);
}

void RunPort(Shared& shared, const std::string& device, const std::vector<const JobRow*>& rows)
{
    const JobRun& run = shared.run;
    const std::string& name = rows.front()->port;
    const std::unique_ptr<LinePort> line = device.empty() ? nullptr : MakeLinePort(device);
    SerialSettings settings;
    settings.baudRate = static_cast<std::uint32_t>(run.options.baud);
    settings.parity = static_cast<std::uint8_t>(run.options.parity);
    settings.enableRs485 = run.options.rs485;
    if (!line || !line->open(device, settings)) {
        RowReport report;
        report.problems.push_back(!line ? name + " leads to no device (set QUORVEX_" + name +
                                              "=/dev/...)"
                                        : line->lastError());
        for (const JobRow* row : rows) {
            Finish(shared, device.empty() ? name : device, *row, report);
        }
        return;
    }
    Session session;
    session.timing = Timing::WireSpeed;
    session.line = LineTiming{static_cast<unsigned>(run.options.baud), run.options.parity != 0};
    session.responseTimeoutMs = run.options.timeoutMs;
    session.extraLatencyMs = line->extraLatencyMs();
    session.link = LinkOver(*line);
    if (run.tap) {
        session.tap = [&run, device](FrameDirection direction,
                                     std::span<const std::uint8_t> bytes) {
            run.tap(device, direction, bytes);
        };
    }
    for (const JobRow* row : rows) {
        if (run.options.resume && !row->serialNumber.empty() &&
            shared.passedBefore.count(row->serialNumber)) {
            Progress(shared, *row, row->serialNumber, "skipped, passed before");
            shared.results.put(static_cast<std::size_t>(row->row - 1),
                               Unrun(device, *row, true, {}, "passed before"));
            continue;
        }
        if (run.interrupted) {
            shared.results.put(static_cast<std::size_t>(row->row - 1),
                               Unrun(device, *row, false, "interrupted before it started"));
            continue;
        }
        // Each row starts on a quiet line: what the meter before sent late is not this one's reply.
        line->purge();
        Finish(shared, device, *row, RunRow(run, *line, session, *row));
    }
}

} // namespace

std::vector<std::string> JobColumns()
{
    std::vector<std::string> columns{"row",  "label",  "type",     "sn",           "address",
                                     "baud", "parity", "verified", "not_verified", "skipped"};
    for (const MeterType type : {MeterType::SinglePhase, MeterType::ThreePhase}) {
        MeterReading empty;
        empty.type = type;
        empty.single.activeKWh = empty.single.positiveKWh = empty.single.reverseKWh = std::string();
        for (const auto& field : ReadingFields(empty)) {
            if (std::find(columns.begin(), columns.end(), field.first) == columns.end()) {
                columns.push_back(field.first);
            }
        }
    }
    return columns;
}

int RunJob(const JobRun& run)
{
    OutcomeWriter writer(run.out, run.options.format, JobColumns());
    for (const auto& sink : run.sinks) {
        writer.addSink(sink);
    }
    InRowOrder results(writer, run.job.rows.size());
    std::set<std::string> passedBefore;
    if (run.options.resume) {
        for (std::string& serialNumber : run.store.passedSerialNumbers(run.job.contentHash)) {
            passedBefore.insert(std::move(serialNumber));
        }
    }
    Shared shared(run, run.store.beginJob(run.fileName, run.job.contentHash), results,
                  std::move(passedBefore));

    // One bus per device: COM3 and the path it leads to are one line.
    std::vector<std::pair<std::string, std::vector<const JobRow*>>> ports;
    for (const JobRow& row : run.job.rows) {
        const std::string device = ResolvePort(row.port);
        const std::string key = device.empty() ? row.port : device;
        auto found = std::find_if(ports.begin(), ports.end(),
                                  [&key](const auto& port) { return port.first == key; });
        if (found == ports.end()) {
            ports.emplace_back(key, std::vector<const JobRow*>{});
            found = ports.end() - 1;
        }
        found->second.push_back(&row);
    }
    std::vector<std::thread> threads;
    for (const auto& [key, rows] : ports) {
        const std::string device = ResolvePort(rows.front()->port);
        threads.emplace_back([&shared, device, &rows = rows] { RunPort(shared, device, rows); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    run.store.endJob(shared.jobId, shared.passed, shared.failed);
    if (const std::string warning = run.store.warning(); !warning.empty()) {
        std::fprintf(run.err, "quorvexctl: %s\n", warning.c_str());
    }
    if (run.interrupted) {
        return kInterrupted;
    }
    return shared.anyFailed ? kMeterFailed : kAllOk;
}

int RunJobCommand(const Options& options, std::FILE* out, std::FILE* err,
                  const std::atomic<bool>& interrupted, const PortTap& tap,
                  const std::vector<std::function<void(const Outcome&)>>& sinks)
{
    const std::string& path = options.arguments.front();
    std::string bytes;
    std::string error;
    if (!ReadJobBytes(path, &bytes, &error)) {
        std::fprintf(err, "quorvexctl: job: %s\n", error.c_str());
        return kBadUsage;
    }
    const std::optional<JobFile> job = ParseJobFile(bytes, options.type, &error);
    if (!job) {
        std::fprintf(err, "quorvexctl: job %s: %s\n", path.c_str(), error.c_str());
        return kBadUsage;
    }
    const std::unique_ptr<Store> store = OpenJobStore(options, &error);
    if (!store) {
        std::fprintf(err, "quorvexctl: job: the store: %s\n", error.c_str());
        return kBadUsage;
    }
    return RunJob(JobRun{options, *job, path == "-" ? std::string("(standard input)") : path,
                         *store, out, err, interrupted, tap, sinks});
}

} // namespace ctl
