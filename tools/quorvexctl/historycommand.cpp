#include "historycommand.h"

#include "tables.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <map>
#include <memory>

namespace ctl {

namespace {

bool Digits(const std::string& text, std::size_t from, std::size_t count)
{
    if (from + count > text.size()) {
        return false;
    }
    return std::all_of(text.begin() + static_cast<long>(from),
                       text.begin() + static_cast<long>(from + count),
                       [](char c) { return c >= '0' && c <= '9'; });
}

int NumberAt(const std::string& text, std::size_t from, std::size_t count)
{
    return std::stoi(text.substr(from, count));
}

std::string ShownTime(std::chrono::system_clock::time_point time)
{
    return qvxstore::IsoTime(time, qvxstore::LocalUtcOffsetMinutes(time));
}

// The keys history prints, in the order they first come: the CSV columns.
std::vector<std::string> ColumnsOf(const std::vector<Outcome>& outcomes)
{
    std::vector<std::string> columns;
    for (const Outcome& outcome : outcomes) {
        for (const auto& field : outcome.fields) {
            if (std::find(columns.begin(), columns.end(), field.first) == columns.end()) {
                columns.push_back(field.first);
            }
        }
    }
    return columns;
}

// A job's summary: a first result for the job, then one for each row that failed.
std::vector<Outcome> Report(const StoredJob& job, const std::vector<StoredResult>& results)
{
    struct RowState
    {
        bool ok = true;
        std::string serialNumber;
        std::string port;
        std::string reasons;
        std::chrono::system_clock::time_point time;
    };
    std::map<int, RowState> rows;
    for (const StoredResult& result : results) {
        if (!result.row) {
            continue;
        }
        RowState& row = rows[*result.row];
        row.time = result.time;
        row.port = result.port;
        if (!result.serialNumber.empty()) {
            row.serialNumber = result.serialNumber;
        }
        if (!result.ok) {
            row.ok = false;
            if (row.reasons.find(result.error) == std::string::npos) {
                row.reasons += (row.reasons.empty() ? "" : "; ") + result.error;
            }
        }
    }
    const auto passed =
        std::count_if(rows.begin(), rows.end(), [](const auto& row) { return row.second.ok; });
    const auto failed = static_cast<long>(rows.size()) - passed;
    Outcome summary{job.started,
                    job.fileName,
                    "report",
                    job.ended && failed == 0,
                    job.ended
                        ? (failed == 0 ? std::string() : std::to_string(failed) + " rows failed")
                        : "the job did not end",
                    {}};
    summary.fields = {{"job", std::to_string(job.id)},
                      {"file", job.fileName},
                      {"hash", job.contentHash},
                      {"started", ShownTime(job.started)},
                      {"ended", job.ended ? ShownTime(*job.ended) : std::string()},
                      {"rows", std::to_string(rows.size())},
                      {"passed", std::to_string(passed)},
                      {"failed", std::to_string(failed)}};
    std::vector<Outcome> outcomes{summary};
    for (const auto& [number, row] : rows) {
        if (!row.ok) {
            outcomes.push_back(Outcome{row.time,
                                       row.port,
                                       "row",
                                       false,
                                       row.reasons,
                                       {{"job", std::to_string(job.id)},
                                        {"row", std::to_string(number)},
                                        {"sn", row.serialNumber}}});
        }
    }
    return outcomes;
}

} // namespace

std::optional<std::chrono::system_clock::time_point> ParseTime(const std::string& text,
                                                               bool endOfDay)
{
    // YYYY-MM-DD, then optionally [T ]HH:MM[:SS[.fraction]], then optionally Z or +HH:MM.
    if (!Digits(text, 0, 4) || text.size() < 10 || text[4] != '-' || !Digits(text, 5, 2) ||
        text[7] != '-' || !Digits(text, 8, 2)) {
        return std::nullopt;
    }
    std::tm parts{};
    parts.tm_year = NumberAt(text, 0, 4) - 1900;
    parts.tm_mon = NumberAt(text, 5, 2) - 1;
    parts.tm_mday = NumberAt(text, 8, 2);
    std::size_t at = 10;
    long micros = 0;
    bool dateOnly = true;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        if (!Digits(text, at + 1, 2) || at + 3 >= text.size() || text[at + 3] != ':' ||
            !Digits(text, at + 4, 2)) {
            return std::nullopt;
        }
        dateOnly = false;
        parts.tm_hour = NumberAt(text, at + 1, 2);
        parts.tm_min = NumberAt(text, at + 4, 2);
        at += 6;
        if (at < text.size() && text[at] == ':') {
            if (!Digits(text, at + 1, 2)) {
                return std::nullopt;
            }
            parts.tm_sec = NumberAt(text, at + 1, 2);
            at += 3;
            if (at < text.size() && text[at] == '.') {
                long scale = 100000;
                ++at;
                const std::size_t start = at;
                while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
                    micros += (text[at] - '0') * scale;
                    scale /= 10;
                    ++at;
                }
                if (at == start) {
                    return std::nullopt;
                }
            }
        }
    }
    std::optional<int> offsetMinutes;
    if (at < text.size()) {
        if (text[at] == 'Z' && at + 1 == text.size()) {
            offsetMinutes = 0;
        } else if ((text[at] == '+' || text[at] == '-') && at + 6 == text.size() &&
                   Digits(text, at + 1, 2) && text[at + 3] == ':' && Digits(text, at + 4, 2)) {
            offsetMinutes = (NumberAt(text, at + 1, 2) * 60 + NumberAt(text, at + 4, 2)) *
                            (text[at] == '-' ? -1 : 1);
        } else {
            return std::nullopt;
        }
    }
    if (parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
        parts.tm_min > 59 || parts.tm_sec > 60) {
        return std::nullopt;
    }
    const int day = parts.tm_mday;
    std::time_t seconds = 0;
    if (offsetMinutes) {
        seconds = timegm(&parts) - std::time_t{*offsetMinutes} * 60;
    } else {
        parts.tm_isdst = -1;
        seconds = std::mktime(&parts);
    }
    if (seconds == -1 || parts.tm_mday != day) {
        return std::nullopt; // 2026-02-30 and the like
    }
    auto time = std::chrono::system_clock::from_time_t(seconds) + std::chrono::microseconds(micros);
    if (dateOnly && endOfDay) {
        time += std::chrono::hours(24) - std::chrono::microseconds(1);
    }
    return std::chrono::time_point_cast<std::chrono::system_clock::duration>(time);
}

std::optional<HistoryOptions> ParseHistoryArguments(const std::vector<std::string>& args,
                                                    std::string* error)
{
    HistoryOptions options;
    const auto fail = [error](const std::string& message) {
        *error = message;
        return std::nullopt;
    };
    const auto jobId = [](const std::string& text) -> std::optional<std::int64_t> {
        std::int64_t id = 0;
        const auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), id);
        if (text.empty() || failed != std::errc() || end != text.data() + text.size() || id <= 0) {
            return std::nullopt;
        }
        return id;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (const auto equals = arg.find('=');
            arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = arg.substr(equals + 1);
            arg.resize(equals);
        }
        const auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 >= args.size()) {
                return std::nullopt;
            }
            return args[++i];
        };
        if (arg == "--failed") {
            if (inlineValue) {
                return fail("--failed takes no value");
            }
            options.query.failedOnly = true;
            continue;
        }
        if (arg != "--sn" && arg != "--job" && arg != "--since" && arg != "--until" &&
            arg != "--command" && arg != "--report") {
            return fail(arg.rfind("-", 0) == 0 ? "unknown option " + arg + " of history"
                                               : "history takes no argument '" + arg + "'");
        }
        const std::optional<std::string> text = value();
        if (!text || text->empty()) {
            return fail(arg + " needs a value");
        }
        if (arg == "--sn") {
            if (text->size() > 8 || !Digits(*text, 0, text->size())) {
                return fail("--sn: '" + *text + "' is not 1 to 8 digits");
            }
            // Meters keep eight digits; a shorter number means its leading zeros, as commission
            // takes it.
            options.query.serialNumber = std::string(8 - text->size(), '0') + *text;
        } else if (arg == "--job" || arg == "--report") {
            const auto id = jobId(*text);
            if (!id) {
                return fail(arg + ": '" + *text + "' is not a job number");
            }
            (arg == "--job" ? options.query.job : options.report) = id;
        } else if (arg == "--since" || arg == "--until") {
            const auto time = ParseTime(*text, arg == "--until");
            if (!time) {
                return fail(arg + ": '" + *text +
                            "' is not a time like 2026-12-08 or 2026-12-08T14:03:07+01:00");
            }
            (arg == "--since" ? options.query.since : options.query.until) = time;
        } else {
            options.query.command = *text;
        }
    }
    if (options.query.since && options.query.until && *options.query.since > *options.query.until) {
        return fail("--since is after --until");
    }
    return options;
}

Outcome OutcomeOf(const StoredResult& result)
{
    Outcome outcome{result.time, result.port, result.command, result.ok, result.error, {}};
    outcome.fields.emplace_back("host", result.host);
    if (result.address) {
        outcome.fields.emplace_back("address", std::to_string(*result.address));
    }
    if (!result.serialNumber.empty()) {
        outcome.fields.emplace_back("sn", result.serialNumber);
    }
    if (result.job) {
        outcome.fields.emplace_back("job", std::to_string(*result.job));
    }
    if (result.row) {
        outcome.fields.emplace_back("row", std::to_string(*result.row));
    }
    // One property reads as the command printed it; several by their names.
    if (result.properties.size() == 1) {
        const StoredProperty& property = result.properties.front();
        outcome.fields.emplace_back("property", property.name);
        outcome.fields.emplace_back("value", property.value);
        if (property.verified) {
            outcome.fields.emplace_back("verified", *property.verified ? "true" : "false");
        }
    } else {
        for (const StoredProperty& property : result.properties) {
            if (property.name == "sn" && property.value == result.serialNumber) {
                continue;
            }
            outcome.fields.emplace_back(property.name, property.value);
            if (property.verified) {
                outcome.fields.emplace_back(property.name + "_verified",
                                            *property.verified ? "true" : "false");
            }
        }
    }
    for (const auto& [field, value] : result.reading) {
        if (field != "sn") {
            outcome.fields.emplace_back(field, value);
        }
    }
    return outcome;
}

int RunHistory(const Options& options, std::FILE* out, std::FILE* err)
{
    std::string error;
    const std::optional<HistoryOptions> history = ParseHistoryArguments(options.arguments, &error);
    if (!history) {
        std::fprintf(err, "quorvexctl: %s\n", error.c_str());
        return kBadUsage;
    }
    const std::string url = options.storeUrl.empty() ? Store::DefaultPath() : options.storeUrl;
    const std::unique_ptr<Store> store = Store::Open(url, &error);
    if (!store) {
        std::fprintf(err, "quorvexctl: --store: %s\n", error.c_str());
        return kBadUsage;
    }
    std::vector<Outcome> outcomes;
    int status = kAllOk;
    if (history->report) {
        const std::optional<StoredJob> job = store->job(*history->report);
        if (!job) {
            const std::string why = store->lastError();
            std::fprintf(err, "quorvexctl: %s\n",
                         why.empty()
                             ? ("no job " + std::to_string(*history->report) + " in " + url).c_str()
                             : why.c_str());
            status = why.empty() ? kMeterFailed : kPortFailed;
        } else {
            HistoryQuery query;
            query.job = job->id;
            outcomes = Report(*job, store->history(query));
        }
    } else {
        for (const StoredResult& result : store->history(history->query)) {
            outcomes.push_back(OutcomeOf(result));
        }
    }
    if (const std::string why = store->lastError(); !why.empty() && status == kAllOk) {
        std::fprintf(err, "quorvexctl: the store did not answer: %s\n", why.c_str());
        status = kPortFailed;
    }
    OutcomeWriter writer(out, options.format, ColumnsOf(outcomes));
    for (const Outcome& outcome : outcomes) {
        writer.write(outcome);
    }
    if (const std::string warning = store->warning(); !warning.empty()) {
        std::fprintf(err, "quorvexctl: %s\n", warning.c_str());
    }
    return status;
}

} // namespace ctl
