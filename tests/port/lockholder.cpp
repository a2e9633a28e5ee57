// A second process for the lock-file tests: it opens a device and ends in the way the test
// asks, so that the test sees the lock of a live process, and what is left after exits
// that skip the close.
//
//   lockholder hold DEVICE       opens, prints "open" or the reason, keeps the device until
//                                its standard input closes, then closes
//   lockholder exit DEVICE       opens a SerialPort and exits without closing it
//   lockholder exit-com N        the same through the free functions (COM N)
//   lockholder fork-exit DEVICE  opens, lets a forked child exit, then prints whether the
//                                lock file is still there ("kept" or "gone")

#include "port.h"
#include "uucplock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

bool Report(SerialPort& port, const char* device)
{
    const bool opened = port.open(device, SerialSettings{});
    std::printf("%s\n", opened ? "open" : port.lastError().c_str());
    std::fflush(stdout);
    return opened;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "hold") {
        SerialPort port;
        if (!Report(port, argv[2])) {
            return 1;
        }
        char byte = 0;
        while (::read(STDIN_FILENO, &byte, 1) > 0) {
        }
        return 0;
    }
    if (mode == "exit") {
        // Never closed, never destroyed: only the exit handler can remove the lock.
        auto* port = new SerialPort;
        std::exit(Report(*port, argv[2]) ? 0 : 1);
    }
    if (mode == "exit-com") {
        PortSetDiagnosticStream(stderr);
        std::exit(PortOpen(std::atoi(argv[2]), 9600, 8, 0, 0, 4096, 4096, 1000) ? 0 : 1);
    }
    if (mode == "fork-exit") {
        SerialPort port;
        if (!port.open(argv[2], SerialSettings{})) {
            return 1;
        }
        const pid_t child = ::fork();
        if (child == 0) {
            std::exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        const std::string lock =
            std::string(std::getenv("QUORVEX_LOCK_DIR")) + "/" + UucpLockName(argv[2]);
        std::printf("%s\n", ::access(lock.c_str(), F_OK) == 0 ? "kept" : "gone");
        return 0;
    }
    return 2;
}
