#pragma once

#include "ctl.h"
#include "output.h"
#include "store.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace ctl {

struct HistoryOptions
{
    HistoryQuery query;
    std::optional<std::int64_t> report; // --report JOB: the job's summary instead of its results
};

// history's own options: --sn, --job, --since, --until, --command, --failed, --report. Nothing,
// and the message naming the option at fault, on bad usage.
std::optional<HistoryOptions> ParseHistoryArguments(const std::vector<std::string>& args,
                                                    std::string* error);

// Prints what the store (--store, or the default one) holds; 0 when it answered, 1 when the job
// of --report is not there, 2 when the store cannot be opened, 3 when it did not answer.
int RunHistory(const Options& options, std::FILE* out, std::FILE* err);

// A stored result as a command's result, with the same keys, so that the formats read alike.
Outcome OutcomeOf(const StoredResult& result);

// "2026-12-08", "2026-12-08T14:03", "2026-12-08 14:03:07.5+01:00", "...Z": local time when no
// offset is given. A date alone is its first moment, or with endOfDay its last.
std::optional<std::chrono::system_clock::time_point> ParseTime(const std::string& text,
                                                               bool endOfDay);

} // namespace ctl
