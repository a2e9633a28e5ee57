#include "store.h"

#include "tables.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>

#include <unistd.h>

namespace qvxstore {

namespace {

// How long a write waits for a file another bench holds, and how long after a failed write
// the store is left alone: a bench never waits on an absent server once per meter.
constexpr int kBusyTimeoutMs = 5000;
constexpr std::chrono::milliseconds kRetryInterval{5000};
constexpr std::chrono::milliseconds kLongestWait{60000};

struct Target
{
    bool postgres = false;
    std::string location; // the file, or the URL as libpq takes it
    std::string shown;    // for messages: the file, or the URL without its password
};

std::optional<Target> ParseUrl(const std::string& url, std::string* error)
{
    Target target;
    for (const char* scheme : {"postgresql://", "postgres://"}) {
        const std::string prefix = scheme;
        if (url.rfind(prefix, 0) != 0) {
            continue;
        }
        const std::string rest = url.substr(prefix.size());
        const std::size_t slash = rest.find('/');
        const std::string authority = rest.substr(0, slash);
        const std::size_t at = authority.rfind('@');
        std::string hostPort = at == std::string::npos ? authority : authority.substr(at + 1);
        std::string user = at == std::string::npos ? std::string() : authority.substr(0, at);
        const std::string database =
            slash == std::string::npos ? std::string()
                                       : rest.substr(slash + 1, rest.find('?', slash) - slash - 1);
        std::string host = hostPort;
        std::string port;
        if (const std::size_t bracket = hostPort.rfind(']');
            hostPort.rfind('[', 0) == 0 && bracket != std::string::npos) {
            host = hostPort.substr(0, bracket + 1);
            if (bracket + 1 < hostPort.size() && hostPort[bracket + 1] == ':') {
                port = hostPort.substr(bracket + 2);
            } else if (bracket + 1 != hostPort.size()) {
                host.clear();
            }
        } else if (const std::size_t colon = hostPort.rfind(':'); colon != std::string::npos) {
            host = hostPort.substr(0, colon);
            port = hostPort.substr(colon + 1);
            if (port.empty()) {
                port = "x"; // "host:" names no port
            }
        }
        const bool portOk =
            port.empty() ||
            (port.size() <= 5 &&
             std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
             std::stol(port) >= 1 && std::stol(port) <= 65535);
        if (host.empty() || database.empty() || !portOk) {
            *error = "'" + url + "' is not postgresql://[user[:password]@]host[:port]/database";
            return std::nullopt;
        }
        if (const std::size_t colon = user.find(':'); colon != std::string::npos) {
            user.resize(colon);
        }
        target.postgres = true;
        target.location = url;
        target.shown = prefix + (user.empty() ? "" : user + "@") + hostPort + "/" + database;
        return target;
    }
    std::string path = url;
    if (path.rfind("sqlite:", 0) == 0) {
        path = path.substr(7);
        if (path.rfind("//", 0) == 0) {
            path = path.substr(2);
        }
    }
    if (path.empty() || path.find("://") != std::string::npos) {
        *error = "'" + url + "' is not a file, sqlite:PATH or postgresql://host/database";
        return std::nullopt;
    }
    std::error_code failed;
    const std::filesystem::path absolute = std::filesystem::absolute(path, failed);
    target.location = failed ? path : absolute.lexically_normal().string();
    target.shown = target.location;
    return target;
}

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    return name;
}

// A file name of its own for each store's spool, from its name without a password.
std::string SpoolFileName(const std::string& shown)
{
    std::uint64_t hash = 1469598103934665603ULL; // FNV-1a
    for (const unsigned char c : shown) {
        hash = (hash ^ c) * 1099511628211ULL;
    }
    char text[32];
    std::snprintf(text, sizeof text, "spool-%016llx.sqlite", static_cast<unsigned long long>(hash));
    return text;
}

// What waits in the spool, in the order it happened. A result's rows are in the spool's own
// tables, which have the store's schema; a job's start and end are here whole.
const char* const kOutbox = R"sql(
CREATE TABLE IF NOT EXISTS outbox (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    kind TEXT NOT NULL,
    id BIGINT NOT NULL,
    time_us BIGINT NOT NULL,
    utc_offset INTEGER NOT NULL,
    passed INTEGER NOT NULL,
    failed INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS target (url TEXT NOT NULL);
)sql";

// A store that writes to its database when it can and to a local spool when it cannot, and
// sends the spool on, oldest first, as soon as the database takes writes again.
class SpooledStore final : public Store
{
public:
    explicit SpooledStore(Target target)
        : m_target(std::move(target)), m_host(HostName()),
          m_spoolPath(
              (std::filesystem::path(DefaultPath()).parent_path() / SpoolFileName(m_target.shown))
                  .string()),
          m_random(std::random_device{}())
    {
    }

    // Opens what is there; false and the reason when the store can never be written.
    bool start(std::string* error)
    {
        if (std::filesystem::exists(m_spoolPath) && !openSpool(error)) {
            return false;
        }
        if (!connect(true) && m_fatal) {
            *error = m_reason;
            return false;
        }
        flush();
        return true;
    }

    std::int64_t beginJob(const std::string& fileName, const std::string& contentHash) override
    {
        const std::lock_guard lock(m_mutex);
        StoredJob job;
        job.id = newId();
        job.fileName = fileName;
        job.contentHash = contentHash;
        job.started = std::chrono::system_clock::now();
        if (writable() && m_server->insertJob(job, m_host)) {
            return job.id;
        }
        lostServer();
        spool([&] {
            return m_spool->insertJobRow(job, m_host) &&
                   m_spool->database().run(
                       "INSERT INTO outbox (kind, id, time_us, utc_offset, passed, failed)"
                       " VALUES ('job', ?, ?, 0, 0, 0)",
                       {job.id, Micros(job.started)});
        });
        return job.id;
    }

    void record(const StoredResult& given) override
    {
        const std::lock_guard lock(m_mutex);
        StoredResult result = given;
        if (result.id == 0) {
            result.id = newId();
        }
        if (result.host.empty()) {
            result.host = m_host;
        }
        if (writable() && m_server->insertResult(result)) {
            return;
        }
        lostServer();
        spool([&] {
            return m_spool->insertResultRows(result) &&
                   m_spool->database().run(
                       "INSERT INTO outbox (kind, id, time_us, utc_offset, passed, failed)"
                       " VALUES ('result', ?, 0, 0, 0, 0)",
                       {result.id});
        });
    }

    void endJob(std::int64_t job, int passed, int failed) override
    {
        const std::lock_guard lock(m_mutex);
        const auto now = std::chrono::system_clock::now();
        const int offset = LocalUtcOffsetMinutes(now);
        if (writable() && m_server->finishJob(job, now, offset, passed, failed)) {
            return;
        }
        lostServer();
        spool([&] {
            return m_spool->finishJobRow(job, now, offset, passed, failed) &&
                   m_spool->database().run(
                       "INSERT INTO outbox (kind, id, time_us, utc_offset, passed, failed)"
                       " VALUES ('end', ?, ?, ?, ?, ?)",
                       {job, Micros(now), std::int64_t{offset}, std::int64_t{passed},
                        std::int64_t{failed}});
        });
    }

    std::vector<std::string> passedSerialNumbers(const std::string& contentHash) override
    {
        const std::lock_guard lock(m_mutex);
        std::vector<std::string> numbers;
        ask([&](Tables& tables) { return tables.passedSerialNumbers(contentHash, &numbers); });
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
        return numbers;
    }

    std::vector<StoredResult> history(const HistoryQuery& query) override
    {
        const std::lock_guard lock(m_mutex);
        std::vector<StoredResult> results;
        ask([&](Tables& tables) { return tables.history(query, &results); });
        // A result both in the store and in the spool (sent while another process read the
        // spool) is shown once.
        std::stable_sort(results.begin(), results.end(),
                         [](const StoredResult& a, const StoredResult& b) {
                             return a.time != b.time ? a.time < b.time : a.id < b.id;
                         });
        results.erase(
            std::unique(results.begin(), results.end(),
                        [](const StoredResult& a, const StoredResult& b) { return a.id == b.id; }),
            results.end());
        return results;
    }

    std::optional<StoredJob> job(std::int64_t id) override
    {
        const std::lock_guard lock(m_mutex);
        std::optional<StoredJob> found;
        std::optional<StoredJob> spooled;
        flush();
        m_lastError.clear();
        if (connect(false)) {
            if (!m_server->job(id, &found)) {
                m_lastError = m_server->error();
                lostServer();
            }
        } else {
            m_lastError = m_reason;
        }
        // The spool's copy is the newer one: its end may not have reached the store yet.
        if (m_spool && m_spool->job(id, &spooled) && spooled) {
            return spooled;
        }
        return found;
    }

    std::size_t pending() override
    {
        const std::lock_guard lock(m_mutex);
        flush();
        return m_pending;
    }

    std::string warning() const override
    {
        const std::lock_guard lock(m_mutex);
        if (m_pending == 0 && m_lost == 0) {
            return {};
        }
        return std::to_string(m_pending) + (m_pending == 1 ? " result waits" : " results wait") +
               " in " + m_spoolPath + " for " + m_target.shown +
               (m_reason.empty() ? "" : " (" + m_reason + ")") +
               "; they are sent on by the next command given this store" +
               (m_lost == 0 ? std::string()
                            : "; " + std::to_string(m_lost) + " could not be kept at all");
    }

    std::string lastError() const override
    {
        const std::lock_guard lock(m_mutex);
        return m_lastError;
    }

    void setWaits(std::chrono::milliseconds busyTimeout,
                  std::chrono::milliseconds retryInterval) override
    {
        const std::lock_guard lock(m_mutex);
        m_busyTimeoutMs = static_cast<int>(busyTimeout.count());
        m_retryInterval = retryInterval;
        m_wait = retryInterval;
        if (m_server) {
            m_server->database().setBusyTimeout(m_busyTimeoutMs);
        }
        if (m_spool) {
            m_spool->database().setBusyTimeout(m_busyTimeoutMs);
        }
    }

    std::string spoolPath() const override { return m_spoolPath; }

private:
    std::int64_t newId()
    {
        std::int64_t id = 0;
        while (id == 0) {
            id = static_cast<std::int64_t>(m_random() & 0x7fff'ffff'ffff'ffffULL);
        }
        return id;
    }

    // A connection to the store, made again once the wait after the last attempt has passed.
    // The wait doubles with each attempt that fails, up to a minute, so that a server that does
    // not answer (each attempt blocking up to its connect timeout) slows the meter work little.
    // now: try even when the last attempt was a moment ago.
    bool connect(bool now)
    {
        if (m_server) {
            return true;
        }
        if (m_fatal) {
            return false;
        }
        const auto clock = std::chrono::steady_clock::now();
        if (!now && m_attempted && clock - m_lastAttempt < m_wait) {
            return false;
        }
        if (m_attempted) {
            m_wait = std::min<std::chrono::milliseconds>(std::max(m_wait * 2, m_retryInterval), kLongestWait);
        }
        m_attempted = true;
        m_lastAttempt = clock;
        std::string error;
        std::unique_ptr<Database> database;
        if (m_target.postgres) {
            database = OpenPostgres(m_target.location, &error);
        } else {
            bool busy = false;
            database = OpenSqlite(m_target.location, m_busyTimeoutMs, &error, &busy);
            // A file that cannot be opened at all is a mistake in the name, not a bench away.
            m_fatal = !database && !busy && !m_everConnected;
        }
        if (!database) {
            m_reason = error;
            return false;
        }
        auto tables = std::make_unique<Tables>(std::move(database));
        bool newer = false;
        if (!tables->migrate(&error, &newer)) {
            m_reason = m_target.shown + ": " + error;
            // A newer schema, or tables that cannot be made, will not mend while this runs.
            m_fatal = newer || (!tables->unavailable() && !m_everConnected);
            return false;
        }
        m_server = std::move(tables);
        m_everConnected = true;
        m_wait = m_retryInterval;
        return true;
    }

    // The store takes writes now: nothing waits before this one, and it is connected.
    bool writable()
    {
        flush();
        return m_pending == 0 && m_outbox == 0 && connect(false);
    }

    void lostServer()
    {
        if (m_server) {
            m_reason = m_server->error();
            m_server.reset();
            m_lastAttempt = std::chrono::steady_clock::now();
        }
    }

    bool openSpool(std::string* error)
    {
        if (m_spool) {
            return true;
        }
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(m_spoolPath).parent_path(),
                                            ignored);
        bool busy = false;
        auto database = OpenSqlite(m_spoolPath, m_busyTimeoutMs, error, &busy);
        if (!database) {
            return false;
        }
        auto tables = std::make_unique<Tables>(std::move(database));
        bool newer = false;
        if (!tables->migrate(error, &newer) || !tables->database().script(kOutbox)) {
            *error = m_spoolPath + ": " + (error->empty() ? tables->error() : *error);
            return false;
        }
        std::vector<Row> rows;
        if (tables->database().run("SELECT COUNT(*) FROM target", {}, &rows) && !rows.empty() &&
            rows[0][0] == std::optional<std::string>("0")) {
            tables->database().run("INSERT INTO target (url) VALUES (?)", {m_target.shown});
        }
        m_spool = std::move(tables);
        count();
        return true;
    }

    void count()
    {
        std::vector<Row> rows;
        if (m_spool && m_spool->database().run(
                           "SELECT COUNT(*), COALESCE(SUM(CASE WHEN kind = 'result' THEN 1 "
                           "ELSE 0 END), 0) FROM outbox",
                           {}, &rows)) {
            m_outbox = static_cast<std::size_t>(std::stoll(rows[0][0].value_or("0")));
            m_pending = static_cast<std::size_t>(std::stoll(rows[0][1].value_or("0")));
        }
    }

    // Keeps a write in the spool, in one transaction of the spool's. Should the spool fail
    // too, the result is lost, and the warning says so.
    template <class Write> void spool(Write write)
    {
        std::string error;
        if (!openSpool(&error)) {
            m_lost++;
            m_reason = "the spool cannot be written either: " + error;
            return;
        }
        Database& database = m_spool->database();
        if (!database.begin() || !write() || !database.commit()) {
            database.rollback();
            m_lost++;
            m_reason = "the spool cannot be written either: " + database.error();
        }
        count();
    }

    // Sends what waits, oldest first; stops at the first thing the store does not take.
    void flush()
    {
        if (!m_spool) {
            return;
        }
        count();
        while (m_outbox > 0 && connect(false)) {
            std::vector<Row> rows;
            if (!m_spool->database().run(
                    "SELECT seq, kind, id, time_us, utc_offset, passed, failed FROM outbox"
                    " ORDER BY seq LIMIT 100",
                    {}, &rows)) {
                return;
            }
            for (const Row& row : rows) {
                const std::int64_t seq = std::stoll(row[0].value_or("0"));
                const std::string kind = row[1].value_or("");
                const std::int64_t id = std::stoll(row[2].value_or("0"));
                if (!sendOn(kind, id, row)) {
                    lostServer();
                    return;
                }
                // Gone from the spool once the store has it; should this fail, the next
                // sending is recognised by the id and dropped.
                Database& database = m_spool->database();
                if (!database.begin() || !database.run("DELETE FROM outbox WHERE seq = ?", {seq}) ||
                    (kind == "result" && !m_spool->deleteResult(id)) ||
                    (kind == "end" && !database.run("DELETE FROM jobs WHERE id = ?", {id})) ||
                    !database.commit()) {
                    database.rollback();
                    m_reason = "the spool cannot be written: " + database.error();
                    return;
                }
            }
            count();
            if (m_outbox == 0) {
                m_spool->database().run("DELETE FROM jobs", {});
            }
        }
    }

    bool sendOn(const std::string& kind, std::int64_t id, const Row& row)
    {
        if (kind == "job") {
            std::optional<StoredJob> job;
            if (!m_spool->job(id, &job)) {
                return false;
            }
            if (!job) {
                return true; // nothing left to send
            }
            job->started = FromMicros(std::stoll(row[3].value_or("0")));
            return m_server->insertJob(*job, m_host);
        }
        if (kind == "end") {
            return m_server->finishJob(id, FromMicros(std::stoll(row[3].value_or("0"))),
                                       static_cast<int>(std::stoll(row[4].value_or("0"))),
                                       static_cast<int>(std::stoll(row[5].value_or("0"))),
                                       static_cast<int>(std::stoll(row[6].value_or("0"))));
        }
        std::optional<StoredResult> result;
        if (!m_spool->result(id, &result)) {
            return false;
        }
        return !result || m_server->insertResult(*result);
    }

    // A question to the store, after sending on what waits; the spool's part of the answer is
    // added, so that what was recorded is found even while the store is away.
    template <class Question> void ask(Question question)
    {
        flush();
        m_lastError.clear();
        if (connect(false)) {
            if (!question(*m_server)) {
                m_lastError = m_server->error();
                lostServer();
            }
        } else {
            m_lastError = m_reason;
        }
        if (m_spool && m_pending > 0) {
            question(*m_spool);
        }
    }

    Target m_target;
    std::string m_host;
    std::string m_spoolPath;
    std::unique_ptr<Tables> m_server; // null while away
    std::unique_ptr<Tables> m_spool;  // null until something had to wait
    std::size_t m_pending = 0;        // results in the spool
    std::size_t m_outbox = 0;         // results, job starts and ends in the spool
    std::size_t m_lost = 0;
    std::string m_reason; // why the store was not written last
    std::string m_lastError;
    bool m_fatal = false;
    bool m_attempted = false;
    bool m_everConnected = false;
    std::chrono::steady_clock::time_point m_lastAttempt;
    std::chrono::milliseconds m_retryInterval = kRetryInterval;
    std::chrono::milliseconds m_wait = kRetryInterval;
    int m_busyTimeoutMs = kBusyTimeoutMs;
    std::mt19937_64 m_random;
    mutable std::mutex m_mutex;
};

} // namespace

} // namespace qvxstore

std::unique_ptr<Store> Store::Open(const std::string& url, std::string* error)
{
    const std::optional<qvxstore::Target> target = qvxstore::ParseUrl(url, error);
    if (!target) {
        return nullptr;
    }
    if (!target->postgres && target->location == DefaultPath()) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(target->location).parent_path(),
                                            ignored);
    }
    auto store = std::make_unique<qvxstore::SpooledStore>(*target);
    if (!store->start(error)) {
        return nullptr;
    }
    return store;
}

std::string Store::DefaultPath()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    std::filesystem::path folder;
    if (data && *data == '/') {
        folder = data;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::filesystem::path(home && *home ? home : "/tmp") / ".local" / "share";
    }
    return (folder / "quorvex" / "quorvex.sqlite").lexically_normal().string();
}
