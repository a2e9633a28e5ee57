#pragma once

// Programs run as child processes and timed from the outside, as a script or an operator
// runs them: the clock starts before fork and stops once the child has been reaped, so a
// figure includes the dynamic loader, the program's start and its exit.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

using BenchClock = std::chrono::steady_clock;

struct Finished
{
    // The exit status; 128 + the signal when one ended it; -1 when it could not be started.
    int status = -1;
    bool timedOut = false; // killed at its time limit
    std::string out;       // standard output, unless a line handler took it
    std::string err;
    double ms = 0; // from before fork to the child reaped
};

// Runs argv (argv[0] looked up in PATH) to its end, reading its standard output and error
// as they come. onLine, when given, gets each line of standard output (without its newline)
// as soon as it is complete, together with the child's pid, and the output is not kept.
// A child that outlives limit is killed.
Finished RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                  const std::function<void(pid_t, const std::string&)>& onLine = {});

// quorvex-metersim as a process of its own: started with the options given, it serves a new
// pseudo-terminal until stopped (SIGTERM) or destroyed.
class SimulatorProcess
{
public:
    // Null, with the reason in *error, when it did not start or never said where it listens.
    static std::unique_ptr<SimulatorProcess>
    Start(const std::string& program, const std::vector<std::string>& options, std::string* error);
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // /dev/pts/N.
    const std::string& path() const { return m_path; }

private:
    SimulatorProcess(pid_t pid, int out, std::string path);

    pid_t m_pid;
    int m_out; // kept open: a simulator that writes later must not die of SIGPIPE
    std::string m_path;
};

// Resident memory of a running process in KiB (VmRSS), or -1 when it has gone.
long ResidentKiBOf(pid_t pid);

// The 1, 5 and 15 minute load averages, as /proc/loadavg gives them.
std::string LoadAverage();
