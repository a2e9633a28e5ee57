#pragma once

#include "ctl.h"
#include "framelog.h"
#include "jobfile.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class Store;

namespace ctl {

// The exit status of a job stopped by SIGINT or SIGTERM, as a shell reports such an end.
constexpr int kInterrupted = 130;

// Every frame of a port, for --log.
using PortTap =
    std::function<void(const std::string& device, FrameDirection, std::span<const std::uint8_t>)>;

struct JobRun
{
    const Options& options; // the line the meters start at, the format, --resume, ...
    const JobFile& job;
    std::string fileName; // as the store keeps it
    Store& store;
    std::FILE* out;
    std::FILE* err;
    // Turned true by a signal: the command on each line finishes, nothing new starts.
    const std::atomic<bool>& interrupted;
    PortTap tap;
    // Where each row's result goes besides the output: a broker.
    std::vector<std::function<void(const Outcome&)>> sinks = {};
};

// Runs the job: a thread per port, the rows of one port one after another in file order. For
// each row the meter is found (at its address, at the options' baud and parity; or by a scan
// when the row gives none), commissioned, read back, read once, and recorded in the store;
// results go out in row order. 0 when every row passed, 1 when any failed, kInterrupted.
int RunJob(const JobRun& run);

// The keys of a job's results, for the CSV header.
std::vector<std::string> JobColumns();

// quorvexctl job FILE: reads and checks the file (exit 2 on a fault in it, nothing sent),
// opens the store, runs the job.
int RunJobCommand(const Options& options, std::FILE* out, std::FILE* err,
                  const std::atomic<bool>& interrupted, const PortTap& tap,
                  const std::vector<std::function<void(const Outcome&)>>& sinks = {});

// The store a job records into (jobstore.cpp). Nothing, and the reason in *error, when it
// cannot be opened.
std::unique_ptr<Store> OpenJobStore(const Options& options, std::string* error);

} // namespace ctl
