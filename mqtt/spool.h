#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace mqtt {

// One message on its way to the broker.
struct SpooledMessage
{
    std::int64_t id = 0; // rises with every message put in: the order they go out in
    std::string topic;
    std::string payload;
    bool retain = false;
};

// The messages the broker has not acknowledged yet, in an SQLite file, so that they outlive
// a broker that is away, the program's end, and a crash of it. At most `limit` are kept: a
// message put into a full spool pushes out the oldest, which is counted. One process uses a
// file at a time (a lock beside it); every call may come from any thread.
class Spool
{
public:
    // Null, with the reason in *error, when the file cannot be made, is another program's,
    // has a newer layout or is in use by another run.
    static std::unique_ptr<Spool> Open(const std::string& path, std::size_t limit,
                                       std::string* error);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // False when the disk refused it (the reason in lastError()).
    bool push(const std::string& topic, const std::string& payload, bool retain);
    // Up to `count` messages after `afterId`, oldest first.
    std::vector<SpooledMessage> after(std::int64_t afterId, std::size_t count);
    // The messages the broker has acknowledged, in one transaction.
    bool remove(const std::vector<std::int64_t>& ids);

    std::size_t size() const;
    std::size_t limit() const { return m_limit; }
    // Messages pushed out by newer ones since the spool was opened.
    std::uint64_t dropped() const;
    std::string lastError() const;
    const std::string& path() const { return m_path; }

private:
    Spool(sqlite3* db, std::string path, std::size_t limit, int lockFd);
    bool prepare();
    bool fail(const char* what);

    mutable std::mutex m_mutex;
    sqlite3* m_db;
    std::string m_path;
    std::size_t m_limit;
    int m_lockFd;
    std::size_t m_size = 0;
    std::uint64_t m_dropped = 0;
    std::string m_error;
    sqlite3_stmt* m_insert = nullptr;
    sqlite3_stmt* m_select = nullptr;
    sqlite3_stmt* m_delete = nullptr;
    sqlite3_stmt* m_dropOldest = nullptr;
};

// $XDG_DATA_HOME/quorvex/mqtt-spool.sqlite, or ~/.local/share/quorvex/mqtt-spool.sqlite.
std::string DefaultSpoolPath();

} // namespace mqtt
