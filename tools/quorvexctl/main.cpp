#include "ctl.h"

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

int main(int argc, char* argv[])
{
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
