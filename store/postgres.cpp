#include "database.h"

#include <map>

#include <libpq-fe.h>

namespace qvxstore {

namespace {

// How long a bench waits for a server that does not answer before its results go to the spool.
constexpr const char* kConnectTimeoutSeconds = "3";

// The ? of the shared SQL texts as PostgreSQL's $1, $2, ... (the texts hold no ? elsewhere).
std::string Numbered(const std::string& sql)
{
    std::string text;
    int n = 0;
    for (const char c : sql) {
        if (c == '?') {
            text += "$" + std::to_string(++n);
        } else {
            text += c;
        }
    }
    return text;
}

void IgnoreNotice(void*, const char*) {}

class PostgresDatabase final : public Database
{
public:
    explicit PostgresDatabase(PGconn* connection) : m_connection(connection)
    {
        // "relation already exists, skipping" and the like are not for the bench's terminal.
        PQsetNoticeProcessor(m_connection, IgnoreNotice, nullptr);
    }
    ~PostgresDatabase() override { PQfinish(m_connection); }
    PostgresDatabase(const PostgresDatabase&) = delete;
    PostgresDatabase& operator=(const PostgresDatabase&) = delete;

    bool script(const std::string& sql) override
    {
        PGresult* result = PQexec(m_connection, sql.c_str());
        return check(result, nullptr, nullptr);
    }

    bool run(const std::string& sql, const std::vector<Value>& values, std::vector<Row>* rows,
             std::int64_t* changed) override
    {
        auto found = m_statements.find(sql);
        if (found == m_statements.end()) {
            const std::string name = "q" + std::to_string(m_statements.size() + 1);
            PGresult* prepared =
                PQprepare(m_connection, name.c_str(), Numbered(sql).c_str(), 0, nullptr);
            if (!check(prepared, nullptr, nullptr)) {
                return false;
            }
            found = m_statements.emplace(sql, name).first;
        }
        std::vector<std::string> texts(values.size());
        std::vector<const char*> pointers(values.size(), nullptr);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (const auto* number = std::get_if<std::int64_t>(&values[i])) {
                texts[i] = std::to_string(*number);
                pointers[i] = texts[i].c_str();
            } else if (const auto* text = std::get_if<std::string>(&values[i])) {
                pointers[i] = text->c_str();
            }
        }
        PGresult* result =
            PQexecPrepared(m_connection, found->second.c_str(), static_cast<int>(values.size()),
                           pointers.data(), nullptr, nullptr, 0);
        return check(result, rows, changed);
    }

    bool begin() override { return script("BEGIN"); }
    bool commit() override { return script("COMMIT"); }
    void rollback() override
    {
        if (PQtransactionStatus(m_connection) != PQTRANS_IDLE) {
            PQclear(PQexec(m_connection, "ROLLBACK"));
        }
    }

    std::optional<int> schemaVersion() override
    {
        if (!script("CREATE TABLE IF NOT EXISTS quorvex_schema ("
                    " one INTEGER PRIMARY KEY CHECK (one = 1), version INTEGER NOT NULL)")) {
            return std::nullopt;
        }
        std::vector<Row> rows;
        if (!run("SELECT version FROM quorvex_schema WHERE one = 1", {}, &rows, nullptr)) {
            return std::nullopt;
        }
        return rows.empty() || !rows[0].at(0) ? 0 : std::stoi(*rows[0][0]);
    }
    bool setSchemaVersion(int version) override
    {
        return run("INSERT INTO quorvex_schema (one, version) VALUES (1, ?)"
                   " ON CONFLICT (one) DO UPDATE SET version = EXCLUDED.version",
                   {std::int64_t{version}}, nullptr, nullptr);
    }
    // One lock number for every Quorvex: two benches starting at once create the tables once.
    bool lockSchema() override { return script("SELECT pg_advisory_xact_lock(5117092026)"); }
    bool prepareForWrites() override { return true; }

    std::string error() const override { return m_error; }
    bool unavailable() const override { return m_unavailable; }
    void setBusyTimeout(int) override {}

private:
    bool check(PGresult* result, std::vector<Row>* rows, std::int64_t* changed)
    {
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            m_error = result ? PQresultErrorMessage(result) : PQerrorMessage(m_connection);
            while (!m_error.empty() && (m_error.back() == '\n' || m_error.back() == ' ')) {
                m_error.pop_back();
            }
            // A server gone away, shutting down, out of disk, or refusing connections now.
            const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
            const std::string code = state ? state : "";
            m_unavailable = PQstatus(m_connection) != CONNECTION_OK || code.rfind("08", 0) == 0 ||
                            code.rfind("53", 0) == 0 || code.rfind("57", 0) == 0 ||
                            code.rfind("58", 0) == 0;
            PQclear(result);
            return false;
        }
        if (rows) {
            const int count = PQntuples(result);
            const int columns = PQnfields(result);
            for (int r = 0; r < count; ++r) {
                Row row;
                for (int c = 0; c < columns; ++c) {
                    if (PQgetisnull(result, r, c)) {
                        row.emplace_back();
                    } else {
                        row.emplace_back(
                            std::string(PQgetvalue(result, r, c),
                                        static_cast<std::size_t>(PQgetlength(result, r, c))));
                    }
                }
                rows->push_back(std::move(row));
            }
        }
        if (changed) {
            const char* tuples = PQcmdTuples(result);
            *changed = tuples && *tuples ? std::stoll(tuples) : 0;
        }
        PQclear(result);
        return true;
    }

    PGconn* m_connection;
    std::map<std::string, std::string> m_statements; // SQL text -> prepared statement's name
    std::string m_error;
    bool m_unavailable = false;
};

} // namespace

std::unique_ptr<Database> OpenPostgres(const std::string& url, std::string* error)
{
    // Later keywords override what the URL says: a bench never waits long for a server.
    const char* const keywords[] = {"dbname", "connect_timeout", "application_name",
                                    "client_encoding", nullptr};
    const char* const values[] = {url.c_str(), kConnectTimeoutSeconds, "quorvex", "UTF8", nullptr};
    PGconn* connection = PQconnectdbParams(keywords, values, 1);
    if (!connection || PQstatus(connection) != CONNECTION_OK) {
        *error = connection ? PQerrorMessage(connection) : "out of memory";
        while (!error->empty() && (error->back() == '\n' || error->back() == ' ')) {
            error->pop_back();
        }
        PQfinish(connection);
        return nullptr;
    }
    return std::make_unique<PostgresDatabase>(connection);
}

} // namespace qvxstore
