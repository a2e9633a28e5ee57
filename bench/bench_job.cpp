// quorvexctl job as a whole process against quorvex-metersim on pseudo-terminals, its bytes
// paced at the line's speed (--wire-time) with a 20 ms turnaround, timed from the outside.
//
//   bench_job [--runs N]
//       a job of 32 meters on 8 ports (4 on each bus, single-phase on half the ports,
//       three-phase on the others), then, for each port, a job of its 4 rows alone: that
//       port's own line time. The goal: the whole job takes at most 1.3 times the longest
//       port's own time, the ports working side by side.
//
// Prints markdown rows (median with spread); a run whose result is wrong is reported on
// standard error and makes the exit status 1, whatever its time.

#include "benchutil.h"
#include "childprocess.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const std::string kCtl = QVX_QUORVEXCTL;
const std::string kSim = QVX_METERSIM;

constexpr int kPorts = 8;
constexpr int kMetersPerPort = 4;
constexpr int kDefaultRuns = 5;
constexpr auto kLimit = std::chrono::seconds(120);

int g_failures = 0;

void Fail(const std::string& what)
{
    ++g_failures;
    std::fprintf(stderr, "bench_job: %s\n", what.c_str());
}

bool ThreePhase(int port)
{
    return port % 2 == 1;
}

// The rows of one port, or of all (port -1), interleaved as a line's sheet would list them.
std::string JobCsv(const std::vector<std::string>& paths, int only)
{
    std::string csv = "port,address,type,sn,display_time,screen,ct,label\n";
    for (int meter = 0; meter < kMetersPerPort; ++meter) {
        for (int port = 0; port < kPorts; ++port) {
            if (only >= 0 && port != only) {
                continue;
            }
            char serial[16];
            std::snprintf(serial, sizeof serial, "%08d", 20260000 + port * 100 + meter);
            csv += paths[static_cast<std::size_t>(port)] + "," + std::to_string(meter + 1) + "," +
                   (ThreePhase(port) ? "three" : "single") + "," + serial + ",3,9," +
                   (ThreePhase(port) ? "40" : "") + ",bench\n";
        }
    }
    return csv;
}

// Exit 0 and one ok result per row, rows in order.
bool AllRowsOk(const Finished& run, int rows)
{
    if (run.status != 0 || run.timedOut) {
        return false;
    }
    int row = 0;
    std::size_t from = 0;
    while (from < run.out.size()) {
        std::size_t end = run.out.find('\n', from);
        end = end == std::string::npos ? run.out.size() : end;
        const QJsonObject result =
            QJsonDocument::fromJson(QByteArray(run.out.data() + from, static_cast<qsizetype>(end - from)))
                .object();
        from = end + 1;
        if (!result.value("ok").toBool() ||
            result.value("row").toString() != QString::number(++row)) {
            return false;
        }
    }
    return row == rows;
}

} // namespace

int main(int argc, char* argv[])
{
    int runs = kDefaultRuns;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_job [--runs N]\n");
            return 2;
        }
    }
    // Whatever store quorvexctl records into, it is not the user's.
    char scratch[] = "/tmp/bench_job.XXXXXX";
    if (::mkdtemp(scratch) == nullptr) {
        Fail("mkdtemp failed");
        return 1;
    }
    ::setenv("XDG_DATA_HOME", scratch, 1);

    std::vector<std::unique_ptr<SimulatorProcess>> buses;
    std::vector<std::string> paths;
    for (int port = 0; port < kPorts; ++port) {
        std::string error;
        buses.push_back(SimulatorProcess::Start(
            kSim,
            {"--type", ThreePhase(port) ? "three" : "single", "--address", "1,2,3,4", "--wire-time",
             "--delay", "20"},
            &error));
        if (!buses.back()) {
            Fail("simulator: " + error);
            return 1;
        }
        paths.push_back(buses.back()->path());
    }
    const auto write = [&](const std::string& name, const std::string& text) {
        const std::string path = std::string(scratch) + "/" + name;
        std::ofstream(path) << text;
        return path;
    };
    const std::string whole = write("all.csv", JobCsv(paths, -1));
    std::vector<std::string> alone;
    for (int port = 0; port < kPorts; ++port) {
        alone.push_back(write("port" + std::to_string(port) + ".csv", JobCsv(paths, port)));
    }
    const auto job = [](const std::string& file) {
        return std::vector<std::string>{kCtl, "--format", "json", "--timeout", "500", "job", file};
    };

    std::vector<double> wholeTimes;
    std::vector<std::vector<double>> portTimes(kPorts);
    for (int i = 0; i <= runs; ++i) { // the first run warms up and is not counted
        const Finished all = RunChild(job(whole), kLimit);
        if (!AllRowsOk(all, kPorts * kMetersPerPort)) {
            Fail("the whole job: exit " + std::to_string(all.status) + ", " + all.err.substr(0, 400) +
                 all.out.substr(0, 400));
        } else if (i > 0) {
            wholeTimes.push_back(all.ms);
        }
        for (int port = 0; port < kPorts; ++port) {
            const Finished one = RunChild(job(alone[static_cast<std::size_t>(port)]), kLimit);
            if (!AllRowsOk(one, kMetersPerPort)) {
                Fail("port " + std::to_string(port) + " alone: exit " + std::to_string(one.status) + ", " +
                     one.err.substr(0, 400));
            } else if (i > 0) {
                portTimes[static_cast<std::size_t>(port)].push_back(one.ms);
            }
        }
    }
    // The longest port by its median: the largest of eight single runs would take the
    // machine's worst moment for the port's own time.
    int longest = 0;
    for (int port = 1; port < kPorts; ++port) {
        if (SampleOf(portTimes[static_cast<std::size_t>(port)]).median >
            SampleOf(portTimes[static_cast<std::size_t>(longest)]).median) {
            longest = port;
        }
    }
    std::string cleanup = std::string("rm -rf ") + scratch;
    std::system(cleanup.c_str());

    PrintHeader();
    std::printf("| %-44s | %13s | %19s |\n", "load average (1, 5, 15 min)", LoadAverage().c_str(), "—");
    PrintRow("job, 4 single-phase meters on one port alone", SampleOf(portTimes[0]), "ms");
    PrintRow("job, 4 three-phase meters on one port alone", SampleOf(portTimes[1]), "ms");
    PrintRow("the longest port alone (port " + std::to_string(longest) + ")",
             SampleOf(portTimes[static_cast<std::size_t>(longest)]), "ms");
    PrintRow("job, 32 meters on 8 ports at once", SampleOf(wholeTimes), "ms");
    PrintValue("32 on 8 / longest port alone, medians (goal ≤ 1.3)",
               SampleOf(wholeTimes).median / SampleOf(portTimes[static_cast<std::size_t>(longest)]).median,
               "×", 3);
    return g_failures == 0 ? 0 : 1;
}
