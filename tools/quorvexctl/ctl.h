#pragma once

#include "mqttsink.h"
#include "output.h"
#include "registermap.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace ctl {

// Exit statuses.
enum ExitStatus
{
    kAllOk = 0,
    kMeterFailed = 1, // a meter did not answer, refused, or did not verify
    kBadUsage = 2,    // the message names the option or value at fault
    kPortFailed = 3,  // a port could not be opened
};

struct Options
{
    std::vector<std::string> ports;
    int baud = 9600;
    int parity = 0; // the port's parity: 0 none, 1 odd, 2 even
    MeterType type = MeterType::SinglePhase;
    int address = 0;
    bool addressGiven = false;
    std::vector<int> addresses{0}; // --address as a list: the command runs for each in turn
    Format format = Format::Text;
    unsigned timeoutMs = 1000;
    unsigned connectTimeoutMs = 3000; // network ports
    std::string logPath;
    bool rs485 = false;
    MqttOptions mqtt; // every result to a broker as well
    std::string storeUrl; // --store: every result is recorded there as well

    std::string command;
    std::vector<std::string> arguments;

    // read-meter and watch
    std::optional<int> decimals;
    double intervalSeconds = 1.0;
    long count = 0; // watch: 0 runs until interrupted
    // clear-zero
    bool yes = false;
    // scan
    bool all = false;
    bool sweep = false;
    int from = 1;
    int to = 247;
    unsigned turnaroundMs = 100;
    bool turnaroundGiven = false;
    // job: skip the rows whose serial number passed before in a job of the same file
    bool resume = false;
};

// Parses the command line (without the program name). On bad usage returns nothing and puts
// the message, which names the option or value at fault, in *error. stdoutIsTerminal picks the
// default format: text on a terminal, JSON lines otherwise.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, bool stdoutIsTerminal,
                                    std::string* error);

// Runs the command on every port at once, one thread per port, writing results to out and
// diagnostics to err; returns the exit status.
int Run(const Options& options, std::FILE* out, std::FILE* err);

// The device a --port names: COM<n> resolved as the window resolves it, or a path as given.
std::string ResolvePort(const std::string& port);

std::string UsageText();

} // namespace ctl
