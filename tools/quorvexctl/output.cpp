#include "output.h"

#include "framelog.h"

#include <algorithm>
#include <cstdio>

namespace ctl {

namespace {

const std::vector<std::string> kFixedColumns{"time", "port", "command", "ok", "error"};

const std::string* FieldOf(const Outcome& outcome, const std::string& key)
{
    const auto found = std::find_if(outcome.fields.begin(), outcome.fields.end(),
                                    [&key](const auto& field) { return field.first == key; });
    return found != outcome.fields.end() ? &found->second : nullptr;
}

std::string TextBlock(const Outcome& outcome)
{
    std::string text = FormatLogTime(outcome.time) + "  " + outcome.port + "  " + outcome.command + "  " +
                       (outcome.ok ? "ok" : "FAILED: " + outcome.error) + "\n";
    std::size_t width = 0;
    for (const auto& field : outcome.fields) {
        width = std::max(width, field.first.size());
    }
    for (const auto& [key, value] : outcome.fields) {
        text += "  " + key + std::string(width - key.size() + 2, ' ') + value + "\n";
    }
    return text;
}

std::string CsvRow(const Outcome& outcome, const std::vector<std::string>& columns)
{
    std::string row = CsvField(FormatLogTime(outcome.time)) + "," + CsvField(outcome.port) + "," +
                      CsvField(outcome.command) + "," + (outcome.ok ? "true" : "false") + "," +
                      CsvField(outcome.error);
    for (const std::string& column : columns) {
        const std::string* value = FieldOf(outcome, column);
        row += "," + (value ? CsvField(*value) : std::string());
    }
    return row + "\n";
}

} // namespace

std::string JsonObject(const Outcome& outcome)
{
    std::string line = "{\"time\":" + JsonString(FormatLogTime(outcome.time)) +
                       ",\"port\":" + JsonString(outcome.port) + ",\"command\":" + JsonString(outcome.command) +
                       ",\"ok\":" + (outcome.ok ? "true" : "false");
    if (!outcome.ok) {
        line += ",\"error\":" + JsonString(outcome.error);
    }
    for (const auto& [key, value] : outcome.fields) {
        line += "," + JsonString(key) + ":" + JsonString(value);
    }
    return line + "}";
}

std::string CsvField(const std::string& text)
{
    const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                       (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quote) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string JsonString(const std::string& text)
{
    std::string json = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            json += "\\\"";
            break;
        case '\\':
            json += "\\\\";
            break;
        case '\n':
            json += "\\n";
            break;
        case '\r':
            json += "\\r";
            break;
        case '\t':
            json += "\\t";
            break;
        default:
            if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                json += escaped;
            } else {
                json += c; // UTF-8 passes as it is
            }
        }
    }
    return json + "\"";
}

std::string CsvHeader(const std::vector<std::string>& columns)
{
    std::string header;
    for (const std::string& column : kFixedColumns) {
        header += (header.empty() ? "" : ",") + column;
    }
    for (const std::string& column : columns) {
        header += "," + CsvField(column);
    }
    return header + "\n";
}

std::string FormatOutcome(const Outcome& outcome, Format format, const std::vector<std::string>& columns)
{
    switch (format) {
    case Format::Text:
        return TextBlock(outcome);
    case Format::Csv:
        return CsvRow(outcome, columns);
    case Format::Json:
        return JsonObject(outcome) + "\n";
    }
    return {};
}

OutcomeWriter::OutcomeWriter(std::FILE* stream, Format format, std::vector<std::string> columns)
    : m_stream(stream), m_format(format), m_columns(std::move(columns))
{
}

void OutcomeWriter::write(const Outcome& outcome)
{
    const std::lock_guard lock(m_mutex);
    if (!m_closed) {
        std::string text;
        if (m_format == Format::Csv && !m_headerWritten) {
            text = CsvHeader(m_columns);
            m_headerWritten = true;
        }
        text += FormatOutcome(outcome, m_format, m_columns);
        // A script reading a pipe sees each result as soon as it is there.
        if (std::fputs(text.c_str(), m_stream) < 0 || std::fflush(m_stream) != 0) {
            m_closed = true;
            if (m_onClosed) {
                m_onClosed();
            }
        }
    }
    for (const auto& sink : m_sinks) {
        sink(outcome);
    }
}

void OutcomeWriter::setOnClosed(std::function<void()> onClosed)
{
    m_onClosed = std::move(onClosed);
}

void OutcomeWriter::addSink(std::function<void(const Outcome&)> sink)
{
    m_sinks.push_back(std::move(sink));
}

} // namespace ctl
