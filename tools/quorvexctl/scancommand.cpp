#include "scancommand.h"

#include "portlink.h"
#include "scan.h"
#include "lineport.h"
#include "session.h"

#include <unistd.h>

namespace ctl {

namespace {

// A sweep waits for each address only as long as the line needs: a meter on a shared bus
// answers within a few characters' time, and 247 silent addresses must not take minutes.
constexpr unsigned kSweepTurnaroundMs = 12;

const char* TypeName(MeterType type) { return type == MeterType::ThreePhase ? "three" : "single"; }

const char* ParityName(int parity)
{
    static const char* const kNames[] = {"none", "odd", "even"};
    return parity >= 0 && parity < 3 ? kNames[parity] : "?";
}

Outcome AnswerOutcome(const ScanRun& run, const ScanAnswer& answer)
{
    const std::string error = !answer.refused.empty() ? "the port refused this setting: " + answer.refused
                              : answer.noise             ? "noise"
                                                         : std::string();
    Outcome outcome{std::chrono::system_clock::now(), run.port.devicePath(), "scan", answer.found(), error, {}};
    outcome.fields = {{"baud", std::to_string(answer.setting.baud)}, {"parity", ParityName(answer.setting.parity)}};
    if (answer.found()) {
        outcome.fields.emplace_back("address", std::to_string(answer.address));
        outcome.fields.emplace_back("type", TypeName(answer.type));
    }
    return outcome;
}

// Progress on standard error: one line rewritten in place on a terminal, plain lines otherwise.
class Progress
{
public:
    explicit Progress(std::FILE* err) : m_err(err), m_terminal(::isatty(::fileno(err)) != 0) {}
    ~Progress()
    {
        if (m_terminal && m_shown) {
            std::fputs("\r\033[K", m_err);
        }
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void show(const std::string& line)
    {
        if (m_terminal) {
            std::fprintf(m_err, "\r\033[K%s", line.c_str());
        } else {
            std::fprintf(m_err, "%s\n", line.c_str());
        }
        std::fflush(m_err);
        m_shown = true;
    }

private:
    std::FILE* m_err;
    bool m_terminal;
    bool m_shown = false;
};

} // namespace

std::vector<std::string> ScanColumns() { return {"baud", "parity", "address", "type"}; }

bool RunScan(const ScanRun& run)
{
    Progress progress(run.err);
    const std::string device = run.port.devicePath();
    ScanHooks hooks;
    hooks.cancelled = [&run] { return run.interrupted.load(); };
    std::vector<ScanAnswer> answers;
    if (run.options.sweep) {
        const LineSetting setting{run.options.baud, run.options.parity};
        const unsigned turnaround = run.options.turnaroundGiven ? run.options.turnaroundMs : kSweepTurnaroundMs;
        hooks.tryingAddress = [&](int address) {
            progress.show(device + ": " + DescribeSetting(setting) + ", address " + std::to_string(address) + " of " +
                          std::to_string(run.options.from) + "-" + std::to_string(run.options.to));
        };
        answers = SweepAddresses(run.session, hooks, setting, run.options.type, run.options.from, run.options.to,
                                 turnaround);
    } else {
        hooks.trying = [&](const LineSetting& setting) { progress.show(device + ": trying " + DescribeSetting(setting)); };
        hooks.applySetting = [&run](const LineSetting& setting) { return PutLineAt(run.port, setting); };
        answers = ScanLineSettings(run.session, hooks, run.options.type, run.options.turnaroundMs, run.options.all);
    }
    bool found = false;
    for (const ScanAnswer& answer : answers) {
        run.writer.write(AnswerOutcome(run, answer));
        found = found || answer.found();
    }
    if (!found) {
        run.writer.write(Outcome{std::chrono::system_clock::now(), device, "scan", false,
                                 run.options.sweep ? "no meter answered" : "no meter answered at any setting", {}});
    }
    return found;
}

} // namespace ctl
