#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The little that the store asks of a database, so that one set of SQL texts serves SQLite
// and PostgreSQL. Statements are written with ? for each value; values are always bound,
// never pasted into the text.
namespace qvxstore {

using Value = std::variant<std::monostate, std::int64_t, std::string>;
// A row of an answer: each column as text, nothing for NULL.
using Row = std::vector<std::optional<std::string>>;

class Database
{
public:
    virtual ~Database() = default;

    // SQL text of one or more statements without values (a migration).
    virtual bool script(const std::string& sql) = 0;
    // One statement with its values, prepared once per text and kept. The answer's rows go to
    // *rows, the count of rows written to *changed.
    virtual bool run(const std::string& sql, const std::vector<Value>& values,
                     std::vector<Row>* rows = nullptr, std::int64_t* changed = nullptr) = 0;
    // A write transaction; SQLite takes its write lock at once, so that two writers wait for
    // each other at the start instead of failing in the middle.
    virtual bool begin() = 0;
    virtual bool commit() = 0;
    virtual void rollback() = 0;

    // The version of the schema the database holds (0: none yet), read and written inside a
    // transaction.
    virtual std::optional<int> schemaVersion() = 0;
    virtual bool setSchemaVersion(int version) = 0;
    // The first step of a migration, inside its transaction: keeps two programs from creating
    // the tables at once.
    virtual bool lockSchema() = 0;
    // Settings that write to the database, made once its schema is known to be one this
    // program may write (outside any transaction).
    virtual bool prepareForWrites() = 0;

    virtual std::string error() const = 0;
    // The last failure is the database refusing for good (a full disk, a broken file) or
    // being away (a lost connection, a lock held past the wait), rather than a bad statement.
    virtual bool unavailable() const = 0;
    virtual void setBusyTimeout(int milliseconds) = 0;
};

// An SQLite file in WAL mode; nothing (and the reason) when it cannot be opened at all.
// *busy tells that it exists but another process held it past the wait.
std::unique_ptr<Database> OpenSqlite(const std::string& path, int busyTimeoutMs, std::string* error,
                                     bool* busy);
// A PostgreSQL connection from a postgresql:// URL; nothing when the server does not answer.
std::unique_ptr<Database> OpenPostgres(const std::string& url, std::string* error);

} // namespace qvxstore
