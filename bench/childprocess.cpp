#include "childprocess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Started
{
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

void CloseIfOpen(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

Started StartChild(const std::vector<std::string>& argv)
{
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (argv.empty() || pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return {};
    }
    // Built before fork: the child only duplicates descriptors and executes.
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execvp(args[0], args.data());
        const char* why = std::strerror(errno);
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, why, std::strlen(why));
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return {};
    }
    return {pid, out[0], err[0]};
}

int ExitStatusOf(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

} // namespace

Finished RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                  const std::function<void(pid_t, const std::string&)>& onLine)
{
    Finished finished;
    const BenchClock::time_point start = BenchClock::now();
    Started child = StartChild(argv);
    if (child.pid < 0) {
        finished.err = "cannot start " + (argv.empty() ? std::string("nothing") : argv[0]);
        return finished;
    }
    const BenchClock::time_point deadline = start + limit;
    std::string pendingLine;
    char chunk[8192];
    while (child.out >= 0 || child.err >= 0) {
        pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - BenchClock::now()).count();
        if (left <= 0 && !finished.timedOut) {
            ::kill(child.pid, SIGKILL);
            finished.timedOut = true;
        }
        // Once killed, the pipes end as soon as the kernel has closed the child's side.
        const int timeout = finished.timedOut ? 1000 : static_cast<int>(std::max<long>(left, 1));
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            if (finished.timedOut) {
                break; // a grandchild holds the pipes: give up on them
            }
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? child.out : child.err;
            if (fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) {
                if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    CloseIfOpen(fd);
                }
                continue;
            }
            if (i == 1) {
                finished.err.append(chunk, static_cast<std::size_t>(n));
            } else if (!onLine) {
                finished.out.append(chunk, static_cast<std::size_t>(n));
            } else {
                pendingLine.append(chunk, static_cast<std::size_t>(n));
                std::size_t from = 0;
                for (std::size_t end; (end = pendingLine.find('\n', from)) != std::string::npos;
                     from = end + 1) {
                    onLine(child.pid, pendingLine.substr(from, end - from));
                }
                pendingLine.erase(0, from);
            }
        }
    }
    CloseIfOpen(child.out);
    CloseIfOpen(child.err);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    finished.ms = std::chrono::duration<double, std::milli>(BenchClock::now() - start).count();
    finished.status = ExitStatusOf(status);
    if (onLine && !pendingLine.empty()) {
        // A last line without its newline is still a line the child wrote.
        onLine(child.pid, pendingLine);
    }
    return finished;
}

std::unique_ptr<SimulatorProcess> SimulatorProcess::Start(const std::string& program,
                                                          const std::vector<std::string>& options,
                                                          std::string* error)
{
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), options.begin(), options.end());
    Started child = StartChild(argv);
    if (child.pid < 0) {
        *error = "cannot start " + program;
        return nullptr;
    }
    // Its complaints, if any, go where ours go.
    CloseIfOpen(child.err);
    const auto fail = [&](const std::string& why) -> std::unique_ptr<SimulatorProcess> {
        ::kill(child.pid, SIGTERM);
        ::waitpid(child.pid, nullptr, 0);
        CloseIfOpen(child.out);
        *error = why;
        return nullptr;
    };
    // "quorvex-metersim: three phase meter on /dev/pts/3"
    std::string line;
    const BenchClock::time_point deadline = BenchClock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - BenchClock::now()).count();
        pollfd fd{child.out, POLLIN, 0};
        if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) {
            return fail(program + " said nothing within 10 s");
        }
        char chunk[256];
        const ssize_t n = ::read(child.out, chunk, sizeof chunk);
        if (n <= 0) {
            return fail(program + " ended at once (options wrong?)");
        }
        line.append(chunk, static_cast<std::size_t>(n));
    }
    line.resize(line.find('\n'));
    const std::size_t on = line.rfind(" on ");
    if (on == std::string::npos) {
        return fail(program + " said '" + line + "', not where it listens");
    }
    return std::unique_ptr<SimulatorProcess>(
        new SimulatorProcess(child.pid, child.out, line.substr(on + 4)));
}

SimulatorProcess::SimulatorProcess(pid_t pid, int out, std::string path)
    : m_pid(pid), m_out(out), m_path(std::move(path))
{
}

SimulatorProcess::~SimulatorProcess()
{
    ::kill(m_pid, SIGTERM);
    while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    ::close(m_out);
}

long ResidentKiBOf(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        long kib = -1;
        if (std::sscanf(line.c_str(), "VmRSS: %ld kB", &kib) == 1) {
            return kib;
        }
    }
    return -1;
}

std::string LoadAverage()
{
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five, fifteen;
    loadavg >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}
