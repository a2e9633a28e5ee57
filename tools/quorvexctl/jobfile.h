#pragma once

#include "commission.h"
#include "registermap.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ctl {

// One meter of a job file.
struct JobRow
{
    int row = 0;                // 1 for the first meter: what results and progress call it
    int line = 0;               // the file's line the row starts on, for the messages about it
    std::string port;           // as --port takes it
    std::optional<int> address; // where the meter answers now; none: scan for it
    MeterType type = MeterType::SinglePhase;
    std::vector<Setting> settings; // in the file's column order
    std::string serialNumber;      // the sn column as the meter will hold it; empty when none
    std::string label;
};

struct JobFile
{
    std::string contentHash; // hex SHA-256 of the file's bytes
    std::vector<JobRow> rows;
};

// A CSV text as spreadsheets write it: UTF-8 with or without a byte-order mark, fields
// separated by commas or by semicolons (whichever the header row holds more of), quoted as
// RFC 4180 has it (a quoted field may hold separators, doubled quotes and line breaks),
// lines ended by CRLF or LF. Each record with the line it starts on. Nothing, and the line
// at fault in *error, for text that is not UTF-8 or a quote left open.
struct CsvRecord
{
    int line = 0;
    std::vector<std::string> fields;
};
std::optional<std::vector<CsvRecord>> ParseCsv(std::string_view text, std::string* error);

// Checks the whole job before anything is sent: the columns (port, address, type, label and
// the properties commission takes: new_address, sn, baud, parity, display_time, screen,
// decimals, ct, password), every value by the property's rules, no new address given twice
// on one bus (port), no serial number given twice. A type column is optional: defaultType
// stands in for it. Nothing, and the message naming the row, the column and the value, in
// *error.
std::optional<JobFile> ParseJobFile(std::string_view bytes, MeterType defaultType,
                                    std::string* error);

// The file's bytes: a path, or "-" for standard input.
bool ReadJobBytes(const std::string& path, std::string* bytes, std::string* error);

// Lowercase hex.
std::string Sha256Hex(std::string_view bytes);

} // namespace ctl
