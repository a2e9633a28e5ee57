#pragma once

#include "store.h"

#include <mutex>

// The record in memory, for the job's tests: what was recorded can be looked at, and serial
// numbers made to have passed before.
class MemoryStore : public Store
{
public:
    std::int64_t beginJob(const std::string& fileName, const std::string& contentHash) override
    {
        const std::lock_guard lock(m_mutex);
        m_jobs.push_back({static_cast<std::int64_t>(m_jobs.size()) + 1, fileName, contentHash,
                          std::chrono::system_clock::now(), std::nullopt, 0, 0});
        return m_jobs.back().id;
    }
    void record(const StoredResult& result) override
    {
        const std::lock_guard lock(m_mutex);
        m_results.push_back(result);
    }
    void endJob(std::int64_t job, int passed, int failed) override
    {
        const std::lock_guard lock(m_mutex);
        StoredJob& ended = m_jobs.at(static_cast<std::size_t>(job - 1));
        ended.ended = std::chrono::system_clock::now();
        ended.passed = passed;
        ended.failed = failed;
    }
    std::vector<std::string> passedSerialNumbers(const std::string& contentHash) override
    {
        const std::lock_guard lock(m_mutex);
        std::vector<std::string> passed;
        for (const StoredResult& result : m_results) {
            if (result.ok && result.job && m_jobs.at(*result.job - 1).contentHash == contentHash) {
                passed.push_back(result.serialNumber);
            }
        }
        return passed;
    }
    // The job never asks these.
    std::vector<StoredResult> history(const HistoryQuery&) override { return {}; }
    std::optional<StoredJob> job(std::int64_t) override { return std::nullopt; }
    std::size_t pending() override { return 0; }
    std::string warning() const override { return m_warning; }

    std::vector<StoredResult> results() const
    {
        const std::lock_guard lock(m_mutex);
        return m_results;
    }
    std::vector<StoredJob> jobs() const
    {
        const std::lock_guard lock(m_mutex);
        return m_jobs;
    }
    void setWarning(std::string warning) { m_warning = std::move(warning); }

private:
    mutable std::mutex m_mutex;
    std::vector<StoredJob> m_jobs;
    std::vector<StoredResult> m_results;
    std::string m_warning;
};
