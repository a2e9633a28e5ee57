#include "spool.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace mqtt {

namespace {

// 'QVXS': a file of this program's spool, not some other SQLite database at the same path.
constexpr int kApplicationId = 0x51565853;
constexpr int kLayout = 1;

// Layout 1. AUTOINCREMENT, so that an id is never given twice even once the spool has been
// empty: the publisher walks the spool by rising id.
constexpr const char* kCreate = "CREATE TABLE message ("
                                " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                                " topic TEXT NOT NULL,"
                                " payload BLOB NOT NULL,"
                                " retain INTEGER NOT NULL)";

bool Exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::optional<long long> PragmaValue(sqlite3* db, const char* pragma)
{
    sqlite3_stmt* statement = nullptr;
    std::optional<long long> value;
    if (sqlite3_prepare_v2(db, pragma, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    return value;
}

} // namespace

std::string DefaultSpoolPath()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (data && *data == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home && *home ? home : ".") / ".local" / "share";
    }
    return (base / "quorvex" / "mqtt-spool.sqlite").string();
}

std::unique_ptr<Spool> Spool::Open(const std::string& path, std::size_t limit, std::string* error)
{
    const auto refuse = [&](const std::string& why) {
        *error = "spool " + path + ": " + why;
        return nullptr;
    };
    std::error_code made;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, made);
    }
    // Two runs on one spool would both send what waits in it.
    const std::string lockPath = path + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0) {
        return refuse(std::strerror(errno));
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd);
        return refuse(
            "in use by another quorvexctl (give that run or this one its own --mqtt-spool)");
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        ::close(lockFd);
        return refuse(why);
    }
    std::unique_ptr<Spool> spool(new Spool(db, path, limit, lockFd));
    sqlite3_busy_timeout(db, 2000);
    const auto applicationId = PragmaValue(db, "PRAGMA application_id");
    const auto layout = PragmaValue(db, "PRAGMA user_version");
    if (!applicationId || !layout) {
        return refuse(std::string("not an SQLite file: ") + sqlite3_errmsg(db));
    }
    if (*applicationId != 0 && *applicationId != kApplicationId) {
        return refuse("an SQLite file of another program");
    }
    if (*layout > kLayout) {
        return refuse("written by a newer quorvexctl (layout " + std::to_string(*layout) + ")");
    }
    // WAL with NORMAL sync: a put costs no fsync, and what was committed survives the
    // program's crash (not the machine's power cut, which a broker outage is not).
    if (!Exec(db, "PRAGMA journal_mode=WAL") || !Exec(db, "PRAGMA synchronous=NORMAL")) {
        return refuse(sqlite3_errmsg(db));
    }
    if (*layout == 0) {
        const std::string migrate = std::string("BEGIN; ") + kCreate +
                                    "; PRAGMA application_id=" + std::to_string(kApplicationId) +
                                    "; PRAGMA user_version=" + std::to_string(kLayout) +
                                    "; COMMIT;";
        if (!Exec(db, migrate.c_str())) {
            const std::string why = sqlite3_errmsg(db);
            Exec(db, "ROLLBACK");
            return refuse(why);
        }
    }
    if (!spool->prepare()) {
        return refuse(spool->m_error);
    }
    const auto count = PragmaValue(db, "SELECT count(*) FROM message");
    spool->m_size = static_cast<std::size_t>(count.value_or(0));
    return spool;
}

Spool::Spool(sqlite3* db, std::string path, std::size_t limit, int lockFd)
    : m_db(db), m_path(std::move(path)), m_limit(limit), m_lockFd(lockFd)
{
}

Spool::~Spool()
{
    for (sqlite3_stmt* statement : {m_insert, m_select, m_delete, m_dropOldest}) {
        sqlite3_finalize(statement);
    }
    sqlite3_close(m_db);
    ::close(m_lockFd);
}

bool Spool::prepare()
{
    const auto prepare = [this](const char* sql, sqlite3_stmt** statement) {
        return sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) ==
               SQLITE_OK;
    };
    if (!prepare("INSERT INTO message (topic, payload, retain) VALUES (?, ?, ?)", &m_insert) ||
        !prepare("SELECT id, topic, payload, retain FROM message WHERE id > ? ORDER BY id LIMIT ?",
                 &m_select) ||
        !prepare("DELETE FROM message WHERE id = ?", &m_delete) ||
        !prepare("DELETE FROM message WHERE id = (SELECT min(id) FROM message)", &m_dropOldest)) {
        return fail("prepare");
    }
    return true;
}

bool Spool::fail(const char* what)
{
    m_error = std::string(what) + ": " + sqlite3_errmsg(m_db);
    return false;
}

bool Spool::push(const std::string& topic, const std::string& payload, bool retain)
{
    const std::lock_guard lock(m_mutex);
    const bool full = m_limit > 0 && m_size >= m_limit;
    if (full && !Exec(m_db, "BEGIN")) {
        return fail("begin");
    }
    if (full) {
        // One out for one in keeps the newest readings, which a plant wants more than old ones.
        const bool dropped = sqlite3_step(m_dropOldest) == SQLITE_DONE;
        sqlite3_reset(m_dropOldest);
        if (!dropped) {
            Exec(m_db, "ROLLBACK");
            return fail("drop the oldest");
        }
    }
    sqlite3_bind_text(m_insert, 1, topic.data(), static_cast<int>(topic.size()), SQLITE_STATIC);
    sqlite3_bind_blob(m_insert, 2, payload.data(), static_cast<int>(payload.size()), SQLITE_STATIC);
    sqlite3_bind_int(m_insert, 3, retain ? 1 : 0);
    const bool inserted = sqlite3_step(m_insert) == SQLITE_DONE;
    sqlite3_reset(m_insert);
    sqlite3_clear_bindings(m_insert);
    if (!inserted) {
        if (full) {
            Exec(m_db, "ROLLBACK");
        }
        return fail("insert");
    }
    if (full && !Exec(m_db, "COMMIT")) {
        Exec(m_db, "ROLLBACK");
        return fail("commit");
    }
    if (full) {
        ++m_dropped;
    } else {
        ++m_size;
    }
    return true;
}

std::vector<SpooledMessage> Spool::after(std::int64_t afterId, std::size_t count)
{
    const std::lock_guard lock(m_mutex);
    std::vector<SpooledMessage> messages;
    sqlite3_bind_int64(m_select, 1, afterId);
    sqlite3_bind_int64(m_select, 2, static_cast<sqlite3_int64>(count));
    while (sqlite3_step(m_select) == SQLITE_ROW) {
        SpooledMessage message;
        message.id = sqlite3_column_int64(m_select, 0);
        message.topic = reinterpret_cast<const char*>(sqlite3_column_text(m_select, 1));
        const void* payload = sqlite3_column_blob(m_select, 2);
        message.payload.assign(static_cast<const char*>(payload),
                               static_cast<std::size_t>(sqlite3_column_bytes(m_select, 2)));
        message.retain = sqlite3_column_int(m_select, 3) != 0;
        messages.push_back(std::move(message));
    }
    sqlite3_reset(m_select);
    return messages;
}

bool Spool::remove(const std::vector<std::int64_t>& ids)
{
    if (ids.empty()) {
        return true;
    }
    const std::lock_guard lock(m_mutex);
    if (!Exec(m_db, "BEGIN")) {
        return fail("begin");
    }
    std::size_t removed = 0;
    for (const std::int64_t id : ids) {
        sqlite3_bind_int64(m_delete, 1, id);
        if (sqlite3_step(m_delete) != SQLITE_DONE) {
            sqlite3_reset(m_delete);
            Exec(m_db, "ROLLBACK");
            return fail("delete");
        }
        // An acknowledged message that a full spool had pushed out already is gone twice.
        removed += static_cast<std::size_t>(sqlite3_changes(m_db));
        sqlite3_reset(m_delete);
    }
    if (!Exec(m_db, "COMMIT")) {
        Exec(m_db, "ROLLBACK");
        return fail("commit");
    }
    m_size -= std::min(removed, m_size);
    return true;
}

std::size_t Spool::size() const
{
    const std::lock_guard lock(m_mutex);
    return m_size;
}

std::uint64_t Spool::dropped() const
{
    const std::lock_guard lock(m_mutex);
    return m_dropped;
}

std::string Spool::lastError() const
{
    const std::lock_guard lock(m_mutex);
    return m_error;
}

} // namespace mqtt
