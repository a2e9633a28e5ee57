#pragma once

#include "store.h"

#include <mutex>

// A store that keeps everything in memory, for the job's tests: what was recorded can be
// looked at, and serial numbers can be made to have passed before.
class MemoryStore : public Store
{
public:
    std::int64_t beginJob(const std::string& fileName, const std::string& contentHash) override;
    void record(const StoredResult& result) override;
    void endJob(std::int64_t job, int passed, int failed) override;
    std::vector<std::string> passedSerialNumbers(const std::string& contentHash) override;
    std::vector<StoredResult> history(const HistoryQuery& query) override;
    std::optional<StoredJob> job(std::int64_t id) override;
    std::size_t pending() override { return 0; }
    std::string warning() const override { return m_warning; }

    std::vector<StoredResult> results() const;
    std::vector<StoredJob> jobs() const;
    void setWarning(std::string warning) { m_warning = std::move(warning); }

private:
    mutable std::mutex m_mutex;
    std::vector<StoredJob> m_jobs;
    std::vector<StoredResult> m_results;
    std::string m_warning;
};
