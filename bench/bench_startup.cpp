// Start-up: from the moment a fresh process is started to the main window shown and
// painted, and the resident memory at that moment. The program starts itself again and
// again as a child: the child does what the quorvex program does up to its modal run, then
// reports and ends. Page cache and dynamic loader are warm after the first (discarded) run,
// as they are for an operator who starts the tool a second time.

#include "benchutil.h"
#include "quorvexdlg.h"
#include "templates.h"

#include <QApplication>
#include <QEvent>
#include <QWindow>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kDefaultRuns = 20;
constexpr const char* kChildFlag = "--child";

long long MonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Notes the window's first paint.
class PaintWatch : public QObject
{
public:
    bool painted() const { return m_painted; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            m_painted = true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_painted = false;
};

// The child: the quorvex program's start, the window shown instead of run modally.
int RunChild(int argc, char* argv[], long long startNs)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvex"));
    QApplication::setDesktopFileName(QStringLiteral("quorvex"));
    QApplication::setWindowIcon(LoadAppIcon());
    CQuorvexDlg dlg;
    PaintWatch watch;
    dlg.installEventFilter(&watch);
    dlg.Create();
    dlg.show();
    const long long deadline = MonotonicNs() + 30'000'000'000LL;
    while (!(watch.painted() && dlg.windowHandle() && dlg.windowHandle()->isExposed())) {
        if (MonotonicNs() > deadline) {
            std::fputs("bench_startup: the window was never shown\n", stderr);
            return 1;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    const double elapsedMs = static_cast<double>(MonotonicNs() - startNs) / 1e6;
    std::printf("%.3f %ld\n", elapsedMs, ResidentKiB());
    std::fflush(stdout);
    return 0;
}

// One child from fork to its report; false if it failed.
bool RunOnce(const char* self, double& elapsedMs, long& residentKiB)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return false;
    }
    const long long start = MonotonicNs();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        const std::string startText = std::to_string(start);
        execl(self, self, kChildFlag, startText.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "bench_startup: cannot run %s: %s\n", self, std::strerror(errno));
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return false;
    }
    std::string report;
    char chunk[256];
    ssize_t n = 0;
    while ((n = read(pipeFds[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) {
            report.append(chunk, static_cast<std::size_t>(n));
        }
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           std::sscanf(report.c_str(), "%lf %ld", &elapsedMs, &residentKiB) == 2;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 3 && std::strcmp(argv[1], kChildFlag) == 0) {
        return RunChild(argc, argv, std::atoll(argv[2]));
    }
    const int runs = argc > 1 ? std::atoi(argv[1]) : kDefaultRuns;
    if (runs < 1) {
        std::fputs("usage: bench_startup [RUNS]\n", stderr);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    std::vector<double> times;
    std::vector<double> resident;
    for (int i = -1; i < runs; ++i) {
        double elapsedMs = 0;
        long residentKiB = 0;
        if (!RunOnce("/proc/self/exe", elapsedMs, residentKiB)) {
            std::fputs("bench_startup: a start-up run failed\n", stderr);
            return 1;
        }
        if (i >= 0) {
            times.push_back(elapsedMs);
            resident.push_back(static_cast<double>(residentKiB) / 1024.0);
        }
    }
    PrintHeader();
    const std::string platform = std::getenv("QT_QPA_PLATFORM");
    PrintRow("start-up to main window shown, " + platform + " (" + std::to_string(runs) + " runs)",
             SampleOf(times), "ms");
    PrintRow("resident memory after start-up, " + platform, SampleOf(resident), "MiB");
    return 0;
}
