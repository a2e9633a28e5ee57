#include "tables.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <map>

namespace qvxstore {

namespace {

// The schema, one step per entry: step N takes a database from version N-1 to N. A step is
// plain SQL that SQLite and PostgreSQL both read, run in one transaction; steps are only ever
// added, never changed, once a program has shipped them.
//
// Times are kept twice: as microseconds since 1970 UTC, which sort and compare, and as the
// text the bench saw with its offset, which a person reading the tables understands. Ids are
// chosen by the recording program (random 63-bit numbers), so that a result kept in a bench's
// spool while the server was away has its id before it reaches the server, and a second
// sending of it is recognised and dropped.
const std::array<const char*, 1> kMigrations{
    R"sql(
CREATE TABLE jobs (
    id BIGINT PRIMARY KEY,
    file_name TEXT NOT NULL,
    content_hash TEXT NOT NULL,
    host TEXT NOT NULL,
    started_us BIGINT NOT NULL,
    started TEXT NOT NULL,
    ended_us BIGINT,
    ended TEXT,
    passed INTEGER NOT NULL DEFAULT 0,
    failed INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX jobs_by_hash ON jobs (content_hash);

CREATE TABLE results (
    id BIGINT PRIMARY KEY,
    time_us BIGINT NOT NULL,
    utc_offset INTEGER NOT NULL,
    time TEXT NOT NULL,
    host TEXT NOT NULL,
    port TEXT NOT NULL,
    command TEXT NOT NULL,
    ok INTEGER NOT NULL,
    error TEXT NOT NULL,
    address INTEGER,
    serial_number TEXT NOT NULL,
    job_id BIGINT,
    job_row INTEGER
);
CREATE INDEX results_by_serial_number ON results (serial_number, time_us);
CREATE INDEX results_by_time ON results (time_us);
CREATE INDEX results_by_job ON results (job_id, job_row);

CREATE TABLE properties (
    result_id BIGINT NOT NULL REFERENCES results (id) ON DELETE CASCADE,
    position INTEGER NOT NULL,
    name TEXT NOT NULL,
    value TEXT NOT NULL,
    verified INTEGER,
    PRIMARY KEY (result_id, position)
);

CREATE TABLE readings (
    result_id BIGINT NOT NULL REFERENCES results (id) ON DELETE CASCADE,
    position INTEGER NOT NULL,
    field TEXT NOT NULL,
    value TEXT NOT NULL,
    PRIMARY KEY (result_id, position)
);
)sql",
};

std::int64_t Number(const std::optional<std::string>& text)
{
    return text ? std::stoll(*text) : 0;
}

Value Nullable(const std::optional<std::int64_t>& number)
{
    return number ? Value(*number) : Value();
}

const std::string kResultColumns =
    "r.id, r.time_us, r.utc_offset, r.host, r.port, r.command, r.ok, r.error, "
    "r.address, r.serial_number, r.job_id, r.job_row";

StoredResult ResultFromRow(const Row& row)
{
    StoredResult result;
    result.id = Number(row[0]);
    result.time = FromMicros(Number(row[1]));
    result.utcOffsetMinutes = static_cast<int>(Number(row[2]));
    result.host = row[3].value_or("");
    result.port = row[4].value_or("");
    result.command = row[5].value_or("");
    result.ok = Number(row[6]) != 0;
    result.error = row[7].value_or("");
    if (row[8]) {
        result.address = static_cast<int>(Number(row[8]));
    }
    result.serialNumber = row[9].value_or("");
    if (row[10]) {
        result.job = Number(row[10]);
    }
    if (row[11]) {
        result.row = static_cast<int>(Number(row[11]));
    }
    return result;
}

} // namespace

int KnownSchemaVersion()
{
    return static_cast<int>(kMigrations.size());
}

std::string IsoTime(std::chrono::system_clock::time_point time, int utcOffsetMinutes)
{
    const std::int64_t micros = Micros(time) + std::int64_t{utcOffsetMinutes} * 60'000'000;
    std::int64_t seconds = micros / 1'000'000;
    std::int64_t fraction = micros % 1'000'000;
    if (fraction < 0) {
        fraction += 1'000'000;
        --seconds;
    }
    const std::time_t shifted = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&shifted, &parts);
    const int offset = utcOffsetMinutes < 0 ? -utcOffsetMinutes : utcOffsetMinutes;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec, static_cast<int>(fraction / 1000),
                  utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
}

int LocalUtcOffsetMinutes(std::chrono::system_clock::time_point time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    return static_cast<int>(parts.tm_gmtoff / 60);
}

Tables::Tables(std::unique_ptr<Database> database) : m_database(std::move(database)) {}

template <class Write> bool Tables::transaction(Write write)
{
    if (!m_database->begin()) {
        return false;
    }
    if (!write() || !m_database->commit()) {
        m_database->rollback();
        return false;
    }
    return true;
}

bool Tables::migrate(std::string* error, bool* newer)
{
    *newer = false;
    const auto refuseNewer = [&](int version) {
        *newer = true;
        *error = "the store holds schema version " + std::to_string(version) +
                 ", newer than this program's " + std::to_string(KnownSchemaVersion()) +
                 "; nothing was written: use a newer Quorvex";
        return false;
    };
    // Looked at before anything is written, so that a newer schema is left untouched.
    const std::optional<int> seen = m_database->schemaVersion();
    if (!seen) {
        *error = m_database->error();
        return false;
    }
    if (*seen > KnownSchemaVersion()) {
        return refuseNewer(*seen);
    }
    if (!m_database->prepareForWrites()) {
        *error = m_database->error();
        return false;
    }
    if (*seen == KnownSchemaVersion()) {
        return true;
    }
    bool refused = false;
    const bool done = transaction([&] {
        if (!m_database->lockSchema()) {
            return false;
        }
        // Another program may have upgraded it meanwhile: ask again under the lock.
        const std::optional<int> version = m_database->schemaVersion();
        if (!version) {
            return false;
        }
        if (*version > KnownSchemaVersion()) {
            refused = true;
            refuseNewer(*version);
            return false;
        }
        for (int step = *version; step < KnownSchemaVersion(); ++step) {
            if (!m_database->script(kMigrations[static_cast<std::size_t>(step)])) {
                return false;
            }
        }
        return m_database->setSchemaVersion(KnownSchemaVersion());
    });
    if (!done && !refused) {
        *error = m_database->error();
    }
    return done;
}

bool Tables::insertJob(const StoredJob& job, const std::string& host)
{
    return transaction([&] { return insertJobRow(job, host); });
}

bool Tables::insertJobRow(const StoredJob& job, const std::string& host)
{
    return m_database->run(
        "INSERT INTO jobs (id, file_name, content_hash, host, started_us, started, passed, failed)"
        " VALUES (?, ?, ?, ?, ?, ?, 0, 0) ON CONFLICT (id) DO NOTHING",
        {job.id, job.fileName, job.contentHash, host, Micros(job.started),
         IsoTime(job.started, LocalUtcOffsetMinutes(job.started))});
}

bool Tables::finishJob(std::int64_t id, std::chrono::system_clock::time_point ended,
                       int utcOffsetMinutes, int passed, int failed)
{
    return transaction([&] { return finishJobRow(id, ended, utcOffsetMinutes, passed, failed); });
}

bool Tables::finishJobRow(std::int64_t id, std::chrono::system_clock::time_point ended,
                          int utcOffsetMinutes, int passed, int failed)
{
    return m_database->run(
        "UPDATE jobs SET ended_us = ?, ended = ?, passed = ?, failed = ? WHERE id = ?",
        {Micros(ended), IsoTime(ended, utcOffsetMinutes), std::int64_t{passed},
         std::int64_t{failed}, id});
}

bool Tables::insertResult(const StoredResult& result)
{
    return transaction([&] { return insertResultRows(result); });
}

bool Tables::insertResultRows(const StoredResult& result)
{
    std::int64_t inserted = 0;
    if (!m_database->run(
            "INSERT INTO results (id, time_us, utc_offset, time, host, port, command, ok, error,"
            " address, serial_number, job_id, job_row)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO NOTHING",
            {result.id, Micros(result.time), std::int64_t{result.utcOffsetMinutes},
             IsoTime(result.time, result.utcOffsetMinutes), result.host, result.port,
             result.command, std::int64_t{result.ok ? 1 : 0}, result.error,
             result.address ? Value(std::int64_t{*result.address}) : Value(), result.serialNumber,
             Nullable(result.job), result.row ? Value(std::int64_t{*result.row}) : Value()},
            nullptr, &inserted)) {
        return false;
    }
    if (inserted == 0) {
        return true; // sent before: its properties and reading are there already
    }
    std::int64_t position = 0;
    for (const StoredProperty& property : result.properties) {
        Value verified;
        if (property.verified) {
            verified = std::int64_t{*property.verified ? 1 : 0};
        }
        if (!m_database->run("INSERT INTO properties (result_id, position, name, value, verified)"
                             " VALUES (?, ?, ?, ?, ?)",
                             {result.id, ++position, property.name, property.value, verified})) {
            return false;
        }
    }
    position = 0;
    for (const auto& [field, value] : result.reading) {
        if (!m_database->run(
                "INSERT INTO readings (result_id, position, field, value) VALUES (?, ?, ?, ?)",
                {result.id, ++position, field, value})) {
            return false;
        }
    }
    return true;
}

bool Tables::deleteResult(std::int64_t id)
{
    return m_database->run("DELETE FROM properties WHERE result_id = ?", {id}) &&
           m_database->run("DELETE FROM readings WHERE result_id = ?", {id}) &&
           m_database->run("DELETE FROM results WHERE id = ?", {id});
}

bool Tables::load(const std::string& where, const std::vector<Value>& values,
                  std::vector<StoredResult>* results)
{
    std::vector<Row> rows;
    if (!m_database->run("SELECT " + kResultColumns + " FROM results r" + where +
                             " ORDER BY r.time_us, r.id",
                         values, &rows)) {
        return false;
    }
    std::map<std::int64_t, std::size_t> index;
    for (const Row& row : rows) {
        results->push_back(ResultFromRow(row));
        index.emplace(results->back().id, results->size() - 1);
    }
    if (rows.empty()) {
        return true;
    }
    // The properties and readings of the same results, in two more questions rather than two
    // per result.
    std::vector<Row> properties;
    if (!m_database->run("SELECT p.result_id, p.name, p.value, p.verified FROM properties p"
                         " JOIN results r ON r.id = p.result_id" +
                             where + " ORDER BY p.result_id, p.position",
                         values, &properties)) {
        return false;
    }
    for (const Row& row : properties) {
        const auto found = index.find(Number(row[0]));
        if (found != index.end()) {
            StoredProperty property{row[1].value_or(""), row[2].value_or(""), std::nullopt};
            if (row[3]) {
                property.verified = Number(row[3]) != 0;
            }
            (*results)[found->second].properties.push_back(std::move(property));
        }
    }
    std::vector<Row> readings;
    if (!m_database->run("SELECT g.result_id, g.field, g.value FROM readings g"
                         " JOIN results r ON r.id = g.result_id" +
                             where + " ORDER BY g.result_id, g.position",
                         values, &readings)) {
        return false;
    }
    for (const Row& row : readings) {
        const auto found = index.find(Number(row[0]));
        if (found != index.end()) {
            (*results)[found->second].reading.emplace_back(row[1].value_or(""),
                                                           row[2].value_or(""));
        }
    }
    return true;
}

bool Tables::history(const HistoryQuery& query, std::vector<StoredResult>* results)
{
    std::string where;
    std::vector<Value> values;
    const auto narrow = [&](const std::string& condition) {
        where += (where.empty() ? " WHERE " : " AND ") + condition;
    };
    if (!query.serialNumber.empty()) {
        narrow("r.serial_number = ?");
        values.emplace_back(query.serialNumber);
    }
    if (query.job) {
        narrow("r.job_id = ?");
        values.emplace_back(*query.job);
    }
    if (query.since) {
        narrow("r.time_us >= ?");
        values.emplace_back(Micros(*query.since));
    }
    if (query.until) {
        narrow("r.time_us <= ?");
        values.emplace_back(Micros(*query.until));
    }
    if (!query.command.empty()) {
        narrow("r.command = ?");
        values.emplace_back(query.command);
    }
    if (query.failedOnly) {
        narrow("r.ok = 0");
    }
    return load(where, values, results);
}

bool Tables::result(std::int64_t id, std::optional<StoredResult>* result)
{
    std::vector<StoredResult> results;
    if (!load(" WHERE r.id = ?", {id}, &results)) {
        return false;
    }
    if (results.empty()) {
        result->reset();
    } else {
        *result = std::move(results.front());
    }
    return true;
}

bool Tables::job(std::int64_t id, std::optional<StoredJob>* job)
{
    std::vector<Row> rows;
    if (!m_database->run(
            "SELECT id, file_name, content_hash, started_us, ended_us, passed, failed FROM jobs"
            " WHERE id = ?",
            {id}, &rows)) {
        return false;
    }
    job->reset();
    if (!rows.empty()) {
        const Row& row = rows.front();
        StoredJob found;
        found.id = Number(row[0]);
        found.fileName = row[1].value_or("");
        found.contentHash = row[2].value_or("");
        found.started = FromMicros(Number(row[3]));
        if (row[4]) {
            found.ended = FromMicros(Number(row[4]));
        }
        found.passed = static_cast<int>(Number(row[5]));
        found.failed = static_cast<int>(Number(row[6]));
        *job = found;
    }
    return true;
}

bool Tables::passedSerialNumbers(const std::string& contentHash,
                                 std::vector<std::string>* serialNumbers)
{
    // A row passed when every result recorded for it is ok: a row whose reading failed after
    // its settings took did not pass.
    std::vector<Row> rows;
    if (!m_database->run(
            "SELECT DISTINCT r.serial_number FROM results r JOIN jobs j ON j.id = r.job_id"
            " WHERE j.content_hash = ? AND r.serial_number <> '' AND r.job_row IS NOT NULL"
            " GROUP BY r.job_id, r.job_row, r.serial_number HAVING MIN(r.ok) = 1"
            " ORDER BY r.serial_number",
            {contentHash}, &rows)) {
        return false;
    }
    for (const Row& row : rows) {
        serialNumbers->push_back(row[0].value_or(""));
    }
    return true;
}

std::int64_t Micros(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

std::chrono::system_clock::time_point FromMicros(std::int64_t micros)
{
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::microseconds(micros)));
}

} // namespace qvxstore
