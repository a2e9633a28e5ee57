// The record store: what recording costs per result, and how fast history finds a meter
// among a million results.
//
//   bench_store [--results N] [--runs N] [--fill N] [--folder DIR]
//       recording: quorvexctl watch of N readings (500) against quorvex-metersim, with and
//       without --store into an SQLite file, runs times each in turns (5), the difference
//       per result; and Store::record alone in this process.
//       history: a store of --fill results (1 000 000, made here), then quorvexctl history
//       --sn as a whole process and Store::history alone, for 21 serial numbers.
//
// Prints markdown rows; a wrong result is reported on standard error and exits 1.

#include "benchutil.h"
#include "childprocess.h"
#include "database.h"
#include "store.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

const std::string kCtl = QVX_QUORVEXCTL;
const std::string kSim = QVX_METERSIM;
constexpr auto kLimit = std::chrono::seconds(120);

int g_failures = 0;

void Fail(const std::string& what)
{
    ++g_failures;
    std::fprintf(stderr, "bench_store: %s\n", what.c_str());
}

long Lines(const std::string& text)
{
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

StoredResult Reading(long i)
{
    StoredResult result;
    result.time = std::chrono::system_clock::now();
    result.host = "bench";
    result.port = "/dev/pts/1";
    result.command = "read-meter";
    result.ok = true;
    result.address = 1;
    result.serialNumber = "12345678";
    result.reading = {{"sn", "12345678"},          {"active_kwh", std::to_string(i)},
                      {"positive_kwh", "1234.56"}, {"reverse_kwh", "0"},
                      {"voltage_l1", "230"},       {"current_l1", "5"},
                      {"active_power", "1127"},    {"reactive_power", "228.8"},
                      {"apparent_power", "1150"},  {"power_factor", "0.980"},
                      {"frequency", "50"},         {"constant", "1600"},
                      {"tariff_number", "1"}};
    return result;
}

void Recording(const std::string& folder, long results, int runs)
{
    std::string error;
    const auto simulator = SimulatorProcess::Start(kSim, {"--type", "single"}, &error);
    if (!simulator) {
        Fail("simulator: " + error);
        return;
    }
    const std::string count = std::to_string(results);
    std::vector<double> plain;
    std::vector<double> stored;
    for (int run = 0; run < runs; ++run) {
        const std::string file = folder + "/record-" + std::to_string(run) + ".sqlite";
        for (const bool store : {false, true}) {
            std::vector<std::string> argv{kCtl, "--port", simulator->path(), "--format", "json"};
            if (store) {
                argv.insert(argv.end(), {"--store", file});
            }
            argv.insert(argv.end(), {"watch", "--count", count, "--interval", "0"});
            const Finished done = RunChild(argv, kLimit);
            if (done.status != 0 || Lines(done.out) != results) {
                Fail("watch: exit status " + std::to_string(done.status) + ", " +
                     done.err.substr(0, 300));
                return;
            }
            (store ? stored : plain).push_back(done.ms / static_cast<double>(results));
        }
        HistoryQuery all;
        const auto check = Store::Open(file, &error);
        if (!check || check->history(all).size() != static_cast<std::size_t>(results)) {
            Fail("the store does not hold every reading of the watch");
        }
    }
    const Sample without = SampleOf(plain);
    const Sample with = SampleOf(stored);
    PrintRow("quorvexctl watch, per reading, no store", without, "ms");
    PrintRow("quorvexctl watch, per reading, --store SQLite", with, "ms");
    std::vector<double> difference;
    for (std::size_t i = 0; i < plain.size() && i < stored.size(); ++i) {
        difference.push_back(stored[i] - plain[i]);
    }
    PrintRow("recording cost per reading (difference)", SampleOf(difference), "ms");

    // The same writes without the meter: Store::record alone.
    const auto store = Store::Open(folder + "/direct.sqlite", &error);
    if (!store) {
        Fail("store: " + error);
        return;
    }
    std::vector<double> each;
    for (long i = 0; i < results; ++i) {
        const StoredResult result = Reading(i);
        const auto start = std::chrono::steady_clock::now();
        store->record(result);
        each.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    if (store->pending() != 0) {
        Fail("results went to the spool");
    }
    PrintRow("Store::record, one reading of 13 fields", SampleOf(each), "ms");

    // What one commit must wait for at least: the disk's own sync of a small write.
    const int fd = ::open((folder + "/sync").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string page(4096, 'x');
    std::vector<double> syncs;
    for (int i = 0; fd >= 0 && i < 200; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (::pwrite(fd, page.data(), page.size(), 0) != static_cast<ssize_t>(page.size()) ||
            ::fdatasync(fd) != 0) {
            Fail("fdatasync failed");
            break;
        }
        syncs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    if (fd >= 0) {
        ::close(fd);
    }
    PrintRow("the disk: write 4 KiB + fdatasync", SampleOf(syncs), "ms");
}

// A million results in one transaction, made by the database itself: 100 000 serial numbers,
// ten results each over a year, each with two properties and four reading fields.
bool Fill(const std::string& path, long count)
{
    std::string error;
    if (!Store::Open(path, &error)) {
        Fail("store: " + error);
        return false;
    }
    bool busy = false;
    const auto database = qvxstore::OpenSqlite(path, 5000, &error, &busy);
    const std::string numbers =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(count) + ") ";
    const bool done =
        database && database->begin() &&
        database->script(
            numbers +
            "INSERT INTO results (id, time_us, utc_offset, time, host, port, command, ok, error,"
            " address, serial_number, job_id, job_row)"
            " SELECT i, 1764547200000000 + i * 31536000, 480, '2025-12-01T08:00:00.000+08:00',"
            " 'bench-' || (i % 8), '/dev/ttyUSB' || (i % 8), 'read-meter', i % 50 <> 0,"
            " CASE WHEN i % 50 = 0 THEN 'no answer' ELSE '' END, 1 + i % 247,"
            " printf('%08d', i % 100000), NULL, NULL FROM n") &&
        database->script(numbers +
                         "INSERT INTO properties (result_id, position, name, value, verified)"
                         " SELECT i, 1, 'baud', '9600', 1 FROM n UNION ALL"
                         " SELECT i, 2, 'parity', 'even', 1 FROM n") &&
        database->script(numbers +
                         "INSERT INTO readings (result_id, position, field, value)"
                         " SELECT i, 1, 'active_kwh', printf('%d.%02d', i % 10000, i % 100) FROM n"
                         " UNION ALL SELECT i, 2, 'voltage_l1', '230' FROM n"
                         " UNION ALL SELECT i, 3, 'current_l1', '5' FROM n"
                         " UNION ALL SELECT i, 4, 'frequency', '50' FROM n") &&
        database->commit();
    if (!done) {
        Fail("fill: " + (database ? database->error() : error));
    }
    return done;
}

void History(const std::string& folder, long count)
{
    const std::string path = folder + "/million.sqlite";
    std::filesystem::remove(path);
    const auto start = std::chrono::steady_clock::now();
    if (!Fill(path, count)) {
        return;
    }
    const double fillSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PrintValue("results in the store", static_cast<double>(count), "  ");
    PrintValue("filling it (one transaction)", fillSeconds, " s", 1);
    PrintValue("its file",
               static_cast<double>(std::filesystem::file_size(path)) / (1024.0 * 1024.0), "MiB");
    std::string error;
    const auto store = Store::Open(path, &error);
    std::vector<double> whole;
    std::vector<double> alone;
    const long perNumber = count / 100000;
    for (int i = 0; i < 21; ++i) {
        char sn[16];
        std::snprintf(sn, sizeof sn, "%08d", (i * 4721) % 100000);
        const Finished run =
            RunChild({kCtl, "--store", path, "--format", "json", "history", "--sn", sn}, kLimit);
        if (run.status != 0 || Lines(run.out) != perNumber) {
            Fail(std::string("history --sn ") + sn + ": exit status " + std::to_string(run.status) +
                 ", " + std::to_string(Lines(run.out)) + " results, " + run.err.substr(0, 300));
            continue;
        }
        whole.push_back(run.ms);
        HistoryQuery query;
        query.serialNumber = sn;
        const auto begin = std::chrono::steady_clock::now();
        const auto results = store->history(query);
        alone.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                .count());
        if (static_cast<long>(results.size()) != perNumber || results.front().reading.size() != 4) {
            Fail("Store::history: wrong results");
        }
    }
    PrintRow("quorvexctl history --sn, whole process", SampleOf(whole), "ms");
    PrintRow("Store::history by serial number alone", SampleOf(alone), "ms");
}

} // namespace

int main(int argc, char** argv)
{
    long results = 500;
    int runs = 5;
    long fill = 1'000'000;
    std::string folder =
        std::filesystem::temp_directory_path() / ("bench_store-" + std::to_string(::getpid()));
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--results") {
            results = std::atol(argv[i + 1]);
        } else if (option == "--runs") {
            runs = std::atoi(argv[i + 1]);
        } else if (option == "--fill") {
            fill = std::atol(argv[i + 1]);
        } else if (option == "--folder") {
            folder = argv[i + 1];
        }
    }
    if (results < 1 || runs < 1 || fill < 100000) {
        std::fprintf(
            stderr,
            "usage: bench_store [--results N] [--runs N] [--fill N (>= 100000)] [--folder DIR]\n");
        return 2;
    }
    std::filesystem::create_directories(folder);
    // The spool of a store that could not be written would go beside the default store: here.
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
    std::printf("load average before: %s\n\n", LoadAverage().c_str());
    PrintHeader();
    Recording(folder, results, runs);
    History(folder, fill);
    std::printf("\nload average after: %s\n", LoadAverage().c_str());
    std::filesystem::remove_all(folder);
    return g_failures == 0 ? 0 : 1;
}
