// quorvexctl through network gateways, as whole processes timed from the outside:
//   - read-meter over Modbus TCP from the simulator, side by side with mbpoll -m tcp reading
//     the same 46 input registers from the same simulator;
//   - read-meter through ser2net (raw and RFC 2217) to the simulator's pseudo-terminal, the
//     meter paced at 9600 baud with a 20 ms turnaround, against the line time and start-up;
//   - one quorvexctl on 1, 16 and 256 Modbus TCP ports of one simulator with 256 listeners:
//     total time and peak resident memory (GNU time's %M); watch --count 100 over all 256,
//     every result counted.
//
//   bench_gateways [--runs N]
//
// Prints markdown rows; a run whose result is wrong is reported on standard error and makes
// the exit status 1.

#include "benchutil.h"
#include "childprocess.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kCtl = QVX_QUORVEXCTL;
const std::string kSim = QVX_METERSIM;
constexpr auto kLimit = std::chrono::seconds(120);
constexpr int kTurnaroundMs = 20;
// 8 request bytes and 97 reply bytes (46 registers) of 10 bits at 9600 baud.
constexpr double kLineMs = (8 + 97) * 10 * 1000.0 / 9600;

int g_failures = 0;

void Fail(const std::string& what)
{
    ++g_failures;
    std::fprintf(stderr, "bench_gateways: %s\n", what.c_str());
}

// Free loopback ports, all held until every one is chosen so that none comes twice.
std::vector<int> FreePorts(int count)
{
    std::vector<int> sockets;
    std::vector<int> ports;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        sockets.push_back(fd);
        ports.push_back(ntohs(address.sin_port));
    }
    for (const int fd : sockets) {
        ::close(fd);
    }
    return ports;
}

int CountOk(const std::string& out, int* total)
{
    int ok = 0;
    *total = 0;
    for (std::size_t at = 0; (at = out.find("\"command\"", at)) != std::string::npos; ++at) {
        ++*total;
    }
    for (std::size_t at = 0; (at = out.find("\"ok\":true", at)) != std::string::npos; ++at) {
        ++ok;
    }
    return ok;
}

Sample TimeRuns(int runs, const std::vector<std::string>& argv, int expectedOk)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const Finished run = RunChild(argv, kLimit);
        int total = 0;
        if (run.status != 0 || (expectedOk > 0 && CountOk(run.out, &total) != expectedOk)) {
            Fail(argv[0] + " " + argv[1] + " ...: exit " + std::to_string(run.status) + ", " +
                 run.err.substr(0, 300));
        }
        times.push_back(run.ms);
    }
    return SampleOf(times);
}

// Peak resident memory in KiB of one run, by GNU time.
long PeakKiB(std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/time", "-f", "peak %M"});
    const Finished run = RunChild(argv, kLimit);
    const std::size_t at = run.err.rfind("peak ");
    return at == std::string::npos ? -1 : std::atol(run.err.c_str() + at + 5);
}

std::vector<std::string> ReadMeter(const std::vector<std::string>& urls)
{
    std::vector<std::string> argv{kCtl, "--type", "three", "--decimals", "2", "--format", "json"};
    for (const std::string& url : urls) {
        argv.insert(argv.end(), {"--port", url});
    }
    argv.push_back("read-meter");
    return argv;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 21;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    std::printf("load average before: %s\n\n", LoadAverage().c_str());
    PrintHeader();
    std::string error;

    // Modbus TCP, one simulator, no wire time: quorvexctl against mbpoll.
    {
        const int port = FreePorts(1).front();
        const auto sim = SimulatorProcess::Start(
            kSim, {"--type", "three", "--listen", "tcp:127.0.0.1:" + std::to_string(port)}, &error);
        if (!sim) {
            Fail(error);
            return 1;
        }
        const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
        const Sample ours = TimeRuns(runs, ReadMeter({url}), 1);
        const Sample theirs = TimeRuns(runs,
                                       {"mbpoll", "-m", "tcp", "-p", std::to_string(port), "-a",
                                        "1", "-t", "3", "-r", "1", "-c", "46", "-1", "127.0.0.1"},
                                       0);
        PrintRow("read-meter, tcp://, loopback", ours, "ms");
        PrintRow("mbpoll -m tcp, the same 46 registers", theirs, "ms");
        PrintValue("ratio quorvexctl / mbpoll (medians)", ours.median / theirs.median, "×", 2);
    }

    // Through ser2net to the paced meter at 9600 baud with a 20 ms turnaround.
    {
        const auto raw = SimulatorProcess::Start(
            kSim, {"--type", "three", "--wire-time", "--delay", std::to_string(kTurnaroundMs)},
            &error);
        const auto telnet = SimulatorProcess::Start(
            kSim, {"--type", "three", "--wire-time", "--delay", std::to_string(kTurnaroundMs)},
            &error);
        if (!raw || !telnet) {
            Fail(error);
            return 1;
        }
        const std::vector<int> ports = FreePorts(2);
        char folder[] = "/tmp/bench_gateways.XXXXXX";
        if (!::mkdtemp(folder)) {
            Fail("no temporary folder");
            return 1;
        }
        const std::string config = std::string(folder) + "/ser2net.yaml";
        std::ofstream(config) << "connection: &raw\n  accepter: tcp,127.0.0.1," << ports[0]
                              << "\n  connector: serialdev," << raw->path()
                              << ",9600n81,local\nconnection: &telnet\n"
                                 "  accepter: telnet(rfc2217),tcp,127.0.0.1,"
                              << ports[1] << "\n  connector: serialdev," << telnet->path()
                              << ",9600n81,local\n";
        const pid_t ser2net = ::fork();
        if (ser2net == 0) {
            ::execlp("ser2net", "ser2net", "-n", "-d", "-c", config.c_str(), nullptr);
            ::_exit(127);
        }
        ::usleep(300'000); // ser2net listens once it has read its configuration
        const Sample start = TimeRuns(runs, {kCtl, "--version"}, 0);
        const Sample viaRaw =
            TimeRuns(runs, ReadMeter({"rtu+tcp://127.0.0.1:" + std::to_string(ports[0])}), 1);
        const Sample viaTelnet =
            TimeRuns(runs, ReadMeter({"rfc2217://127.0.0.1:" + std::to_string(ports[1])}), 1);
        ::kill(ser2net, SIGTERM);
        ::waitpid(ser2net, nullptr, 0);
        ::unlink(config.c_str());
        ::rmdir(folder);
        const double bound = kLineMs + kTurnaroundMs + start.median;
        PrintRow("quorvexctl --version (start-up)", start, "ms");
        PrintValue("line time 105 bytes at 9600 + 20 ms turnaround", kLineMs + kTurnaroundMs, "ms",
                   1);
        PrintRow("read-meter, rtu+tcp:// via ser2net", viaRaw, "ms");
        PrintValue("  ratio to line time + start-up", viaRaw.median / bound, "×", 2);
        PrintRow("read-meter, rfc2217:// via ser2net", viaTelnet, "ms");
        PrintValue("  ratio to line time + start-up", viaTelnet.median / bound, "×", 2);
    }

    // Scale: one simulator with 256 listeners.
    {
        const std::vector<int> ports = FreePorts(256);
        std::vector<std::string> options{"--type", "three"};
        std::vector<std::string> urls;
        for (const int port : ports) {
            options.insert(options.end(), {"--listen", "tcp:127.0.0.1:" + std::to_string(port)});
            urls.push_back("tcp://127.0.0.1:" + std::to_string(port));
        }
        const auto sim = SimulatorProcess::Start(kSim, options, &error);
        if (!sim) {
            Fail(error);
            return 1;
        }
        const int scaleRuns = std::max(1, runs / 4);
        double one = 0;
        for (const int count : {1, 16, 256}) {
            const std::vector<std::string> some(urls.begin(), urls.begin() + count);
            const Sample sample = TimeRuns(scaleRuns, ReadMeter(some), count);
            if (count == 1) {
                one = sample.median;
            }
            const std::string label = "read-meter, " + std::to_string(count) + " tcp:// ports";
            PrintRow(label, sample, "ms");
            PrintValue("  × the time of one port", sample.median / one, "×", 2);
            PrintValue("  peak resident memory", PeakKiB(ReadMeter(some)) / 1024.0, "MiB", 1);
        }
        std::vector<std::string> watch{kCtl, "--type",   "three", "--decimals",
                                       "2",  "--format", "json"};
        for (const std::string& url : urls) {
            watch.insert(watch.end(), {"--port", url});
        }
        watch.insert(watch.end(), {"watch", "--count", "100", "--interval", "0"});
        const Finished run = RunChild(watch, kLimit);
        int total = 0;
        const int ok = CountOk(run.out, &total);
        if (run.status != 0 || total != 25600 || ok != 25600) {
            Fail("watch over 256 ports: exit " + std::to_string(run.status) + ", " +
                 std::to_string(total) + " results, " + std::to_string(ok) + " ok");
        }
        PrintValue("watch --count 100 over 256 ports: results", total, "");
        PrintValue("  of them ok", ok, "");
        PrintValue("  total time", run.ms, "ms");
        PrintValue("  peak resident memory", PeakKiB(watch) / 1024.0, "MiB", 1);
    }
    std::printf("\nload average after: %s\n", LoadAverage().c_str());
    return g_failures == 0 ? 0 : 1;
}
