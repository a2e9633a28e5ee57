#include "ctl.h"

#include <cstdio>
#include <string>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace {

// A thread per port, and hundreds of ports through gateways: each thread needs a few pages
// of stack, and mapping and unmapping the default 8 MiB for each cost more than their
// meters' exchanges. The sanitizers' builds keep the default, as their frames are larger.
void UseSmallThreadStacks()
{
#if !defined(__SANITIZE_ADDRESS__)
    constexpr std::size_t kStackBytes = 512 * 1024;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) == 0) {
        if (pthread_attr_setstacksize(&attributes, kStackBytes) == 0) {
            pthread_setattr_default_np(&attributes);
        }
        pthread_attr_destroy(&attributes);
    }
#endif
}

} // namespace

int main(int argc, char* argv[])
{
    UseSmallThreadStacks();
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(ctl::UsageText().c_str(), stdout);
            return ctl::kAllOk;
        }
        if (arg == "--version") {
            std::printf("quorvexctl %s\n", QUORVEX_VERSION);
            return ctl::kAllOk;
        }
    }
    std::string error;
    const auto options = ctl::ParseOptions(args, ::isatty(STDOUT_FILENO) != 0, &error);
    if (!options) {
        std::fprintf(stderr, "quorvexctl: %s\n%s", error.c_str(), ctl::UsageText().c_str());
        return ctl::kBadUsage;
    }
    return ctl::Run(*options, stdout, stderr);
}
