#include "database.h"

#include <map>

#include <sqlite3.h>

namespace qvxstore {

namespace {

class SqliteDatabase final : public Database
{
public:
    explicit SqliteDatabase(sqlite3* db) : m_db(db) {}
    ~SqliteDatabase() override
    {
        for (auto& [sql, statement] : m_statements) {
            sqlite3_finalize(statement);
        }
        sqlite3_close(m_db);
    }
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    bool script(const std::string& sql) override
    {
        char* message = nullptr;
        const int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message);
        if (rc != SQLITE_OK) {
            fail(rc, message ? message : sqlite3_errstr(rc));
            sqlite3_free(message);
            return false;
        }
        return true;
    }

    bool run(const std::string& sql, const std::vector<Value>& values, std::vector<Row>* rows,
             std::int64_t* changed) override
    {
        sqlite3_stmt* statement = prepared(sql);
        if (!statement) {
            return false;
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            const int index = static_cast<int>(i + 1);
            int rc = SQLITE_OK;
            if (const auto* number = std::get_if<std::int64_t>(&values[i])) {
                rc = sqlite3_bind_int64(statement, index, *number);
            } else if (const auto* text = std::get_if<std::string>(&values[i])) {
                rc = sqlite3_bind_text(statement, index, text->data(),
                                       static_cast<int>(text->size()), SQLITE_TRANSIENT);
            } else {
                rc = sqlite3_bind_null(statement, index);
            }
            if (rc != SQLITE_OK) {
                return failStatement(statement, rc);
            }
        }
        int rc = SQLITE_OK;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            if (!rows) {
                continue;
            }
            Row row;
            const int columns = sqlite3_column_count(statement);
            for (int c = 0; c < columns; ++c) {
                if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
                    row.emplace_back();
                } else {
                    const auto* text =
                        reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
                    row.emplace_back(std::string(
                        text, static_cast<std::size_t>(sqlite3_column_bytes(statement, c))));
                }
            }
            rows->push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) {
            return failStatement(statement, rc);
        }
        if (changed) {
            *changed = sqlite3_changes64(m_db);
        }
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        return true;
    }

    bool begin() override { return script("BEGIN IMMEDIATE"); }
    bool commit() override { return script("COMMIT"); }
    void rollback() override
    {
        if (!sqlite3_get_autocommit(m_db)) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }

    std::optional<int> schemaVersion() override
    {
        std::vector<Row> rows;
        if (!run("PRAGMA user_version", {}, &rows, nullptr) || rows.size() != 1 || !rows[0].at(0)) {
            return std::nullopt;
        }
        return std::stoi(*rows[0][0]);
    }
    bool setSchemaVersion(int version) override
    {
        // A pragma takes no bound value; the number is the program's own.
        return script("PRAGMA user_version = " + std::to_string(version));
    }
    // BEGIN IMMEDIATE already holds the one write lock of the file.
    bool lockSchema() override { return true; }
    // Switching to WAL writes the file's header: done only once the version is known to be ours.
    bool prepareForWrites() override
    {
        std::vector<Row> rows;
        return run("PRAGMA journal_mode = WAL", {}, &rows, nullptr);
    }

    std::string error() const override { return m_error; }
    bool unavailable() const override { return m_unavailable; }
    void setBusyTimeout(int milliseconds) override { sqlite3_busy_timeout(m_db, milliseconds); }

private:
    sqlite3_stmt* prepared(const std::string& sql)
    {
        const auto found = m_statements.find(sql);
        if (found != m_statements.end()) {
            return found->second;
        }
        sqlite3_stmt* statement = nullptr;
        const int rc = sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()),
                                          SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
        if (rc != SQLITE_OK) {
            fail(rc, sqlite3_errmsg(m_db));
            return nullptr;
        }
        m_statements.emplace(sql, statement);
        return statement;
    }

    bool failStatement(sqlite3_stmt* statement, int rc)
    {
        fail(rc, sqlite3_errmsg(m_db));
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        return false;
    }

    void fail(int rc, const std::string& message)
    {
        m_error = message;
        const int primary = rc & 0xff;
        m_unavailable = primary == SQLITE_BUSY || primary == SQLITE_LOCKED ||
                        primary == SQLITE_FULL || primary == SQLITE_IOERR ||
                        primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY ||
                        primary == SQLITE_PROTOCOL;
    }

    sqlite3* m_db;
    std::map<std::string, sqlite3_stmt*> m_statements;
    std::string m_error;
    bool m_unavailable = false;
};

} // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path, int busyTimeoutMs, std::string* error,
                                     bool* busy)
{
    *busy = false;
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        *error = path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    auto database = std::make_unique<SqliteDatabase>(db);
    database->setBusyTimeout(busyTimeoutMs);
    // The version is read before anything is written, so that a newer schema is never touched.
    if (!database->schemaVersion()) {
        *error = path + ": " + database->error();
        *busy = database->unavailable();
        return nullptr;
    }
    // WAL lets readers and a writer of other processes go on at once; FULL syncs each commit,
    // so that a pulled plug loses at most the result in flight.
    if (!database->script("PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL")) {
        *error = path + ": " + database->error();
        return nullptr;
    }
    return database;
}

} // namespace qvxstore
