#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ctl {

// One result of one command on one port: what scripts read.
struct Outcome
{
    std::chrono::system_clock::time_point time;
    std::string port; // the device path
    std::string command;
    bool ok = false;
    std::string error; // the reason in words, when not ok
    // The command's own keys and texts, in order: a property read's "value", a reading's
    // "address", "active_kwh", ...
    std::vector<std::pair<std::string, std::string>> fields;
};

enum class Format
{
    Text, // a readable block per result
    Csv,  // a header row, then a row per result
    Json, // one JSON object per line
};

// Writes results to a stream as they come, from any thread. CSV needs its columns before the
// first row: they are the fixed ones and then those given, which a command knows in advance
// (a reading's keys for the meter type); a field without a column is left out.
class OutcomeWriter
{
public:
    OutcomeWriter(std::FILE* stream, Format format, std::vector<std::string> columns);
    // Writes one result, then hands it to every sink, in the order results were written.
    void write(const Outcome& outcome);
    // Somewhere else each result goes as well: a store, a broker. Add sinks before the first
    // result is written.
    void addSink(std::function<void(const Outcome&)> sink);
    // Told once when the stream refuses a write (a closed pipe, a full disk); nothing more
    // is written to it after that. The sinks still get every result.
    void setOnClosed(std::function<void()> onClosed);

private:
    std::vector<std::function<void(const Outcome&)>> m_sinks;
    std::FILE* m_stream;
    Format m_format;
    std::vector<std::string> m_columns;
    bool m_headerWritten = false;
    bool m_closed = false;
    std::function<void()> m_onClosed;
    std::mutex m_mutex;
};

// The JSON object of a result, as --format json writes it (without the line's end).
std::string JsonObject(const Outcome& outcome);
std::string FormatOutcome(const Outcome& outcome, Format format, const std::vector<std::string>& columns);
std::string CsvHeader(const std::vector<std::string>& columns);

// A CSV field, quoted when it holds a comma, a quote, a line break or blanks at its ends.
std::string CsvField(const std::string& text);
// A JSON string literal with its quotes.
std::string JsonString(const std::string& text);

} // namespace ctl
