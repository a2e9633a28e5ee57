// quorvexctl --mqtt against a local mosquitto, timed from the outside (fork to reaped).
//
//   bench_mqtt [--readings N] [--runs R] [--queue Q]
//       the cost of publishing: watch N readings at memory speed (--interval 0) against
//       quorvex-metersim, R runs with --mqtt and R without, alternated, in the same run;
//       then a spool of Q messages (default 100 000) left by a run whose broker was away,
//       drained by the next run, with a consumer counting what arrives.
//
// Prints markdown rows; a run whose result is wrong is reported on standard error and
// makes the exit status 1.

#include "benchutil.h"
#include "childprocess.h"
#include "spool.h"
#include "testbroker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

const std::string kCtl = QVX_QUORVEXCTL;
const std::string kSim = QVX_METERSIM;
constexpr auto kLimit = std::chrono::seconds(600);

int g_failures = 0;

void Fail(const std::string& what)
{
    ++g_failures;
    std::fprintf(stderr, "bench_mqtt: %s\n", what.c_str());
}

std::size_t Lines(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A watch result as quorvexctl sends it, for the spool to hold.
std::string ReadingPayload(unsigned long long seq)
{
    return "{\"time\":\"2026-12-08T12:00:00.000+00:00\",\"port\":\"/dev/pts/"
           "9\",\"command\":\"watch\",\"ok\":true,"
           "\"address\":\"1\",\"sn\":\"12345678\",\"active_kwh\":\"1234.56\",\"positive_kwh\":"
           "\"1234.56\","
           "\"reverse_kwh\":\"0\",\"voltage_l1\":\"230\",\"current_l1\":\"5\",\"active_power\":"
           "\"1127\","
           "\"reactive_power\":\"228.8\",\"apparent_power\":\"1150\",\"power_factor\":\"0.980\","
           "\"frequency\":\"50\","
           "\"constant\":\"1600\",\"tariff_number\":\"1\",\"station\":\"quorvex-bench-1\",\"run\":"
           "\"2026-12-08T12:00:00.000+00:00\",\"seq\":" +
           std::to_string(seq) + "}";
}

std::size_t SpoolSize(const std::string& path)
{
    std::string error;
    const auto spool = mqtt::Spool::Open(path, 0, &error);
    if (!spool) {
        Fail(error);
        return 0;
    }
    return spool->size();
}

} // namespace

int main(int argc, char* argv[])
{
    long readings = 2000;
    int runs = 7;
    long queue = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const long value = std::atol(argv[i + 1]);
        if (option == "--readings") {
            readings = value;
        } else if (option == "--runs") {
            runs = static_cast<int>(value);
        } else if (option == "--queue") {
            queue = value;
        }
    }
    char folderTemplate[] = "/tmp/bench_mqtt.XXXXXX";
    if (!::mkdtemp(folderTemplate)) {
        Fail("no temporary folder");
        return 1;
    }
    const std::string folder = folderTemplate;
    TestBroker broker(folder, false);
    if (!broker.start()) {
        Fail(broker.error());
        return 1;
    }
    std::string error;
    const auto simulator = SimulatorProcess::Start(kSim, {"--type", "single"}, &error);
    if (!simulator) {
        Fail("simulator: " + error);
        return 1;
    }
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(broker.port()) + "/bench";
    const std::vector<std::string> watch{
        kCtl,   "--port", simulator->path(), "--decimals", "2",       "--format",
        "json", "watch",  "--interval",      "0",          "--count", std::to_string(readings)};
    std::vector<std::string> published = watch;
    const std::string costSpool = folder + "/cost.sqlite";
    published.insert(published.end(), {"--mqtt", url, "--mqtt-spool", costSpool});

    // The same with the broker away: every message waits in the spool, removed after each run.
    std::vector<std::string> unreachable = watch;
    const std::string awaySpool = folder + "/away.sqlite";
    unreachable.insert(unreachable.end(),
                       {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(FreePort()) + "/bench",
                        "--mqtt-spool", awaySpool, "--mqtt-drain-timeout", "0"});
    const std::vector<const std::vector<std::string>*> variants{&watch, &published, &unreachable};
    std::vector<std::vector<double>> times(variants.size());
    for (int i = 0; i <= runs; ++i) { // the first round warms the caches, not counted
        for (std::size_t v = 0; v < variants.size(); ++v) {
            const Finished run = RunChild(*variants[v], kLimit);
            std::filesystem::remove(awaySpool);
            if (run.status != 0 || Lines(run.out) != static_cast<std::size_t>(readings)) {
                Fail("watch: exit status " + std::to_string(run.status) + ", " +
                     std::to_string(Lines(run.out)) + " results; " + run.err.substr(0, 300));
            } else if (i > 0) {
                times[v].push_back(run.ms * 1000 / static_cast<double>(readings));
            }
        }
        if (const std::size_t left = SpoolSize(costSpool); left != 0) {
            Fail(std::to_string(left) + " messages not acknowledged at the end of a watch");
        }
    }
    PrintHeader();
    const Sample off = SampleOf(times[0]);
    const Sample on = SampleOf(times[1]);
    const Sample away = SampleOf(times[2]);
    PrintRow("watch, per result, --mqtt off", off, "µs");
    PrintRow("watch, per result, --mqtt to a local broker", on, "µs");
    PrintValue("publishing cost per result (difference)", on.median - off.median, "µs", 1);
    PrintRow("watch, per result, --mqtt, broker away", away, "µs");
    PrintValue("cost per result, broker away (difference)", away.median - off.median, "µs", 1);

    // The spool a run left while its broker was away.
    const std::string drainSpool = folder + "/drain.sqlite";
    {
        const auto spool = mqtt::Spool::Open(drainSpool, static_cast<std::size_t>(queue), &error);
        if (!spool) {
            Fail(error);
            return 1;
        }
        const auto start = BenchClock::now();
        for (long i = 0; i < queue; ++i) {
            const bool state = i % 2 == 1; // a result, then the meter's retained state
            spool->push(state ? "drain/12345678/state" : "drain/12345678/watch",
                        ReadingPayload(i / 2 + 1), state);
        }
        const double ms =
            std::chrono::duration<double, std::milli>(BenchClock::now() - start).count();
        PrintValue("spool: put one message (of " + std::to_string(queue) + ")", ms * 1000 / queue,
                   "µs", 1);
    }
    // The consumer: every message of the spool and the two of the run itself.
    const std::string expected = std::to_string(queue + 2);
    Finished consumed;
    std::thread consumer([&] {
        consumed =
            RunChild({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-t",
                      "drain/+/+", "-q", "1", "-C", expected, "-W", "300"},
                     kLimit, [](pid_t, const std::string&) {});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // subscribed before the run
    const Finished drain =
        RunChild({kCtl, "--port", simulator->path(), "--format", "json", "--mqtt",
                  "mqtt://127.0.0.1:" + std::to_string(broker.port()) + "/drain", "--mqtt-spool",
                  drainSpool, "--mqtt-drain-timeout", "600", "read-meter"},
                 kLimit);
    consumer.join();
    if (drain.status != 0) {
        Fail("drain: exit status " + std::to_string(drain.status) + "; " +
             drain.err.substr(0, 300));
    }
    if (consumed.status != 0) {
        Fail("the consumer did not get " + expected + " messages: " + consumed.err.substr(0, 300));
    }
    if (const std::size_t left = SpoolSize(drainSpool); left != 0) {
        Fail(std::to_string(left) + " messages left in the drained spool");
    }
    PrintValue("drain " + std::to_string(queue) + " spooled messages: the run", drain.ms, "ms", 0);
    PrintValue("drain rate, messages per second", queue / (drain.ms / 1000), "/s", 0);
    std::filesystem::remove_all(folder);
    return g_failures == 0 ? 0 : 1;
}
