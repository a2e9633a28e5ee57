#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The record of what Quorvex did to which meter: every command's result, every property set
// or read, every reading, every commissioning job. Embedded SQLite by default, a plant's
// PostgreSQL server where many benches feed one record; one schema for both. Plain C++, no Qt.

// A property set or read by a command, with the value as the window shows it.
struct StoredProperty
{
    std::string name;  // "address", "sn", "baud", ... as quorvexctl names them
    std::string value;
    // Whether a read back gave the value set; nothing for a plain read or a set not read back.
    std::optional<bool> verified;
};

// One command's result on one meter.
struct StoredResult
{
    // Unique across every bench, chosen by the program that recorded it (0: choose one), so
    // that a result sent on twice after a lost connection is kept once.
    std::int64_t id = 0;
    std::chrono::system_clock::time_point time;
    int utcOffsetMinutes = 0; // the offset the time was taken in, so that it reads as the bench saw it
    std::string host;         // the bench's host name
    std::string port;         // as given to --port, or the device it led to
    std::string command;      // "read-meter", "commission", "job", ...
    bool ok = false;
    std::string error;            // the reason in words, when not ok
    std::optional<int> address;   // the meter's bus address, when known
    std::string serialNumber;     // when known
    std::optional<std::int64_t> job;
    std::optional<int> row;       // the job file's row number
    std::vector<StoredProperty> properties;
    // A reading's fields, in order: "active_kwh" = "1234.56", ... Empty when none was taken.
    std::vector<std::pair<std::string, std::string>> reading;
};

struct StoredJob
{
    std::int64_t id = 0;
    std::string fileName;
    std::string contentHash; // hex SHA-256 of the job file's bytes
    std::chrono::system_clock::time_point started;
    std::optional<std::chrono::system_clock::time_point> ended;
    int passed = 0;
    int failed = 0;
};

// What `history` asks for; an empty member does not narrow the answer.
struct HistoryQuery
{
    std::string serialNumber;
    std::optional<std::int64_t> job;
    std::optional<std::chrono::system_clock::time_point> since;
    std::optional<std::chrono::system_clock::time_point> until;
    std::string command;
    bool failedOnly = false;
};

class Store
{
public:
    virtual ~Store() = default;

    // Opens (creating and upgrading the schema) the store a URL names: a path or sqlite:PATH,
    // or postgresql://[user[:password]@]host[:port]/database. Nothing, and the reason in
    // *error, when the URL is malformed or the schema is newer than this program knows.
    // A server that cannot be reached is not an error here: results wait in the local spool
    // (see pending()) and go on when it answers.
    static std::unique_ptr<Store> Open(const std::string& url, std::string* error);
    // $XDG_DATA_HOME/quorvex/quorvex.sqlite, or ~/.local/share/quorvex/quorvex.sqlite.
    static std::string DefaultPath();

    // Each call is one transaction: a crash loses at most the result in flight.
    virtual std::int64_t beginJob(const std::string& fileName, const std::string& contentHash) = 0;
    virtual void record(const StoredResult& result) = 0;
    virtual void endJob(std::int64_t job, int passed, int failed) = 0;

    // Serial numbers that already passed in a job of this content hash (for --resume).
    virtual std::vector<std::string> passedSerialNumbers(const std::string& contentHash) = 0;
    virtual std::vector<StoredResult> history(const HistoryQuery& query) = 0;
    virtual std::optional<StoredJob> job(std::int64_t id) = 0;

    // Results recorded while the server was away, not yet sent on; sends what it can first.
    virtual std::size_t pending() = 0;
    // A warning for standard error when something waits ("12 results wait for ..."); empty when none.
    virtual std::string warning() const = 0;

    // Why the last question (history, job, passedSerialNumbers) had no answer from the store
    // itself; empty when it had. The answer then holds only what waits in the spool.
    virtual std::string lastError() const { return {}; }
    // How long a write waits for a database another process holds, and how long after a
    // failed write the store is left alone (meanwhile results go straight to the spool).
    virtual void setWaits(std::chrono::milliseconds busyTimeout, std::chrono::milliseconds retryInterval)
    {
        (void)busyTimeout;
        (void)retryInterval;
    }
    // Where the results wait for this store while it cannot be written.
    virtual std::string spoolPath() const { return {}; }
};
