#pragma once

#include "ctl.h"
#include "output.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

class LinePort;
struct Session;

namespace ctl {

struct ScanRun
{
    const Options& options;
    LinePort& port;
    Session& session;
    OutcomeWriter& writer;
    std::FILE* err;
    const std::atomic<bool>& interrupted;
};

// scan, or scan --sweep: results with the keys of ScanColumns; true when a meter was found.
bool RunScan(const ScanRun& run);
std::vector<std::string> ScanColumns();

} // namespace ctl
