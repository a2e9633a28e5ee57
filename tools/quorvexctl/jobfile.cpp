#include "jobfile.h"

#include "ctl.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace ctl {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Where the text stops being UTF-8 (overlong forms and surrogates included), or npos.
std::size_t FirstNonUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned low = 0x80; // the least the second byte may be
        unsigned high = 0xBF;
        if (byte < 0x80) {
            ++i;
            continue;
        }
        if (byte >= 0xC2 && byte <= 0xDF) {
            length = 2;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            length = 3;
            low = byte == 0xE0 ? 0xA0 : 0x80;
            high = byte == 0xED ? 0x9F : 0xBF;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            length = 4;
            low = byte == 0xF0 ? 0x90 : 0x80;
            high = byte == 0xF4 ? 0x8F : 0xBF;
        } else {
            return i;
        }
        if (i + length > text.size()) {
            return i;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
                return i;
            }
        }
        i += length;
    }
    return std::string_view::npos;
}

int LineAt(std::string_view text, std::size_t at)
{
    return 1 +
           static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n'));
}

// The separator a spreadsheet chose: whichever of comma and semicolon the header row holds
// more of outside quotes (a locale with a decimal comma writes semicolons).
char SeparatorOf(std::string_view text)
{
    int commas = 0;
    int semicolons = 0;
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == '\n' || c == '\r')) {
            break;
        } else if (!quoted) {
            commas += c == ',';
            semicolons += c == ';';
        }
    }
    return semicolons > commas ? ';' : ',';
}

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string ColumnKey(std::string name)
{
    for (char& c : name) {
        c = c == '-' ? '_' : static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return name;
}

enum class ColumnKind
{
    Port,
    Address,
    Type,
    Label,
    Property,
};

struct Column
{
    ColumnKind kind;
    std::string name; // as the messages name it: the file's spelling, lowercase
    MeterProperty property{};
};

// A column name as the file has it, the property names in the words of the command line with
// "_" for "-" ("display_time"), the new bus address as new_address.
std::optional<Column> ColumnNamed(const std::string& key)
{
    if (key == "port") {
        return Column{ColumnKind::Port, key};
    }
    if (key == "address") {
        return Column{ColumnKind::Address, key};
    }
    if (key == "type") {
        return Column{ColumnKind::Type, key};
    }
    if (key == "label") {
        return Column{ColumnKind::Label, key};
    }
    if (key == "new_address") {
        return Column{ColumnKind::Property, key, MeterProperty::Address};
    }
    std::string word = key;
    std::replace(word.begin(), word.end(), '_', '-');
    if (const auto property = PropertyFromName(word);
        property && *property != MeterProperty::Address) {
        return Column{ColumnKind::Property, key, *property};
    }
    return std::nullopt;
}

const char* const kColumnList = "port, address, type, label, new_address, sn, baud, parity, "
                                "display_time, screen, decimals, ct, password";

std::optional<int> PresentAddress(const std::string& text)
{
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const int address = std::stoi(text);
    return address <= 254 ? std::optional(address) : std::nullopt;
}

} // namespace

std::optional<std::vector<CsvRecord>> ParseCsv(std::string_view text, std::string* error)
{
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    if (const std::size_t bad = FirstNonUtf8(text); bad != std::string_view::npos) {
        *error = "line " + std::to_string(LineAt(text, bad)) + ": not UTF-8 text";
        return std::nullopt;
    }
    const char separator = SeparatorOf(text);
    std::vector<CsvRecord> records;
    CsvRecord record{1, {}};
    std::string field;
    int line = 1;
    int quoteLine = 0;   // the line of the open quote; 0: none open
    bool closed = false; // the field's quotes were closed: only a separator or line end may follow
    const auto endField = [&] {
        record.fields.push_back(std::move(field));
        field.clear();
        closed = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoteLine != 0) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoteLine = 0;
                closed = true;
            } else {
                line += c == '\n';
                field += c;
            }
        } else if (c == separator) {
            endField();
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            endField();
            records.push_back(std::move(record));
            record = CsvRecord{++line, {}};
        } else if (closed) {
            *error = "line " + std::to_string(line) + ": text after a closing quote";
            return std::nullopt;
        } else if (c == '"' && field.empty()) {
            quoteLine = line;
        } else {
            field += c;
        }
    }
    if (quoteLine != 0) {
        *error = "line " + std::to_string(quoteLine) + ": a quote opened here is never closed";
        return std::nullopt;
    }
    if (!field.empty() || !record.fields.empty() || closed) {
        endField();
        records.push_back(std::move(record));
    }
    return records;
}

std::optional<JobFile> ParseJobFile(std::string_view bytes, MeterType defaultType,
                                    std::string* error)
{
    const auto fail = [error](const std::string& message) {
        *error = message;
        return std::nullopt;
    };
    const std::optional<std::vector<CsvRecord>> records = ParseCsv(bytes, error);
    if (!records) {
        return std::nullopt;
    }
    const auto blank = [](const CsvRecord& record) {
        return std::all_of(record.fields.begin(), record.fields.end(),
                           [](const std::string& field) { return Trimmed(field).empty(); });
    };
    auto next = std::find_if_not(records->begin(), records->end(), blank);
    if (next == records->end()) {
        return fail("the file has no header row");
    }
    std::vector<Column> columns;
    for (const std::string& field : next->fields) {
        const std::string key = ColumnKey(Trimmed(field));
        const std::string where = "header (line " + std::to_string(next->line) + ")";
        if (key.empty()) {
            return fail(where + ", column " + std::to_string(columns.size() + 1) + ": no name");
        }
        const std::optional<Column> column = ColumnNamed(key);
        if (!column) {
            return fail(where + ", column '" + Trimmed(field) + "': unknown (the columns are " +
                        kColumnList + ")");
        }
        if (std::any_of(columns.begin(), columns.end(),
                        [&](const Column& c) { return c.name == key; })) {
            return fail(where + ", column '" + key + "': given twice");
        }
        columns.push_back(*column);
    }
    if (std::none_of(columns.begin(), columns.end(),
                     [](const Column& c) { return c.kind == ColumnKind::Port; })) {
        return fail("header (line " + std::to_string(next->line) + "): no port column");
    }

    JobFile job;
    job.contentHash = Sha256Hex(bytes);
    std::map<std::string, int> serialRows;                     // sn -> row
    std::map<std::pair<std::string, int>, int> newAddressRows; // bus and address -> row
    for (++next; next != records->end(); ++next) {
        if (blank(*next)) {
            continue;
        }
        JobRow row;
        row.row = static_cast<int>(job.rows.size()) + 1;
        row.line = next->line;
        const std::string where =
            "row " + std::to_string(row.row) + " (line " + std::to_string(row.line) + ")";
        if (next->fields.size() > columns.size() &&
            std::any_of(next->fields.begin() + static_cast<long>(columns.size()),
                        next->fields.end(),
                        [](const std::string& field) { return !Trimmed(field).empty(); })) {
            return fail(where + ": " + std::to_string(next->fields.size()) +
                        " fields, the header names " + std::to_string(columns.size()) + " columns");
        }
        const auto valueOf = [&](std::size_t index) {
            return index < next->fields.size() ? Trimmed(next->fields[index]) : std::string();
        };
        // The type first: the properties' rules depend on it.
        row.type = defaultType;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (columns[i].kind != ColumnKind::Type || valueOf(i).empty()) {
                continue;
            }
            if (valueOf(i) == "single") {
                row.type = MeterType::SinglePhase;
            } else if (valueOf(i) == "three") {
                row.type = MeterType::ThreePhase;
            } else {
                return fail(where + ", column type: '" + valueOf(i) + "' is not single or three");
            }
        }
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const Column& column = columns[i];
            const std::string value = valueOf(i);
            const std::string at = where + ", column " + column.name + ": ";
            switch (column.kind) {
            case ColumnKind::Port:
                if (value.empty()) {
                    return fail(at + "empty; every row names its port");
                }
                row.port = value;
                break;
            case ColumnKind::Address:
                if (!value.empty()) {
                    row.address = PresentAddress(value);
                    if (!row.address) {
                        return fail(at + "'" + value + "' is not a whole number from 0 to 254");
                    }
                }
                break;
            case ColumnKind::Type:
                break;
            case ColumnKind::Label:
                row.label = value;
                break;
            case ColumnKind::Property: {
                if (value.empty()) {
                    break;
                }
                std::string why;
                const std::optional<CheckedValue> checked =
                    CheckSetting(column.property, row.type, value, &why);
                if (!checked) {
                    // The rule's own words, without the property's name: the column names it.
                    why = why.substr(why.find(": ") + 2);
                    if (why.find("'" + value + "'") == std::string::npos) {
                        why = "'" + value + "': " + why;
                    }
                    return fail(at + why);
                }
                row.settings.emplace_back(column.property, *checked);
                if (column.property == MeterProperty::SerialNumber) {
                    row.serialNumber = checked->text;
                }
                break;
            }
            }
        }
        if (!row.serialNumber.empty()) {
            const auto [seen, added] = serialRows.emplace(row.serialNumber, row.row);
            if (!added) {
                return fail(where + ", column sn: '" + row.serialNumber + "' is row " +
                            std::to_string(seen->second) + "'s as well");
            }
        }
        for (const auto& [property, value] : row.settings) {
            if (property != MeterProperty::Address) {
                continue;
            }
            // One bus, one address: COM3 and the device it leads to are the same bus.
            const std::string device = ResolvePort(row.port);
            const auto [seen, added] = newAddressRows.emplace(
                std::make_pair(device.empty() ? row.port : device, value.setting.number), row.row);
            if (!added) {
                return fail(where + ", column new_address: '" + value.text + "' is row " +
                            std::to_string(seen->second) + "'s as well, on the same port " +
                            row.port);
            }
        }
        job.rows.push_back(std::move(row));
    }
    if (job.rows.empty()) {
        return fail("the file lists no meters, only its header row");
    }
    return job;
}

bool ReadJobBytes(const std::string& path, std::string* bytes, std::string* error)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(nullptr, &std::fclose);
    std::FILE* stream = stdin;
    if (path != "-") {
        owned.reset(std::fopen(path.c_str(), "rb"));
        if (!owned) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        stream = owned.get();
    }
    bytes->clear();
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
        bytes->append(buffer, got);
    }
    if (std::ferror(stream)) {
        *error = (path == "-" ? std::string("standard input") : path) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string Sha256Hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0F];
    }
    return hex;
}

} // namespace ctl
