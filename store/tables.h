#pragma once

#include "database.h"
#include "store.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvxstore {

// The newest schema this program knows.
int KnownSchemaVersion();

// The store's tables in one database, SQLite or PostgreSQL: the same statements for both.
// Every write is one transaction and can be repeated: a result or job already there (by its
// id) is left as it is.
class Tables
{
public:
    explicit Tables(std::unique_ptr<Database> database);

    // Creates or upgrades the schema, each step in one transaction. False and the reason when
    // the database holds a newer schema (*newer set: nothing was written) or cannot be written.
    bool migrate(std::string* error, bool* newer);

    bool insertJob(const StoredJob& job, const std::string& host);
    bool finishJob(std::int64_t id, std::chrono::system_clock::time_point ended,
                   int utcOffsetMinutes, int passed, int failed);
    // The result with its properties and reading; it must carry its id.
    bool insertResult(const StoredResult& result);
    bool deleteResult(std::int64_t id);
    // The same writes inside a transaction the caller holds.
    bool insertJobRow(const StoredJob& job, const std::string& host);
    bool finishJobRow(std::int64_t id, std::chrono::system_clock::time_point ended,
                      int utcOffsetMinutes, int passed, int failed);
    bool insertResultRows(const StoredResult& result);

    bool history(const HistoryQuery& query, std::vector<StoredResult>* results);
    bool result(std::int64_t id, std::optional<StoredResult>* result);
    bool job(std::int64_t id, std::optional<StoredJob>* job);
    bool passedSerialNumbers(const std::string& contentHash,
                             std::vector<std::string>* serialNumbers);

    Database& database() { return *m_database; }
    std::string error() const { return m_database->error(); }
    bool unavailable() const { return m_database->unavailable(); }

private:
    // Runs write in one transaction; rolled back when it fails.
    template <class Write> bool transaction(Write write);
    bool load(const std::string& where, const std::vector<Value>& values,
              std::vector<StoredResult>* results);

    std::unique_ptr<Database> m_database;
};

// "2026-12-08T14:03:07.512+01:00": the time as the bench saw it.
std::string IsoTime(std::chrono::system_clock::time_point time, int utcOffsetMinutes);
// The offset of local time from UTC at that time, in minutes.
int LocalUtcOffsetMinutes(std::chrono::system_clock::time_point time);

// Times as the tables keep them: microseconds since the epoch, UTC.
std::int64_t Micros(std::chrono::system_clock::time_point time);
std::chrono::system_clock::time_point FromMicros(std::int64_t micros);

} // namespace qvxstore
