#include "memorystore.h"

#include <algorithm>

std::int64_t MemoryStore::beginJob(const std::string& fileName, const std::string& contentHash)
{
    const std::lock_guard lock(m_mutex);
    StoredJob job;
    job.id = static_cast<std::int64_t>(m_jobs.size()) + 1;
    job.fileName = fileName;
    job.contentHash = contentHash;
    job.started = std::chrono::system_clock::now();
    m_jobs.push_back(job);
    return job.id;
}

void MemoryStore::record(const StoredResult& result)
{
    const std::lock_guard lock(m_mutex);
    m_results.push_back(result);
}

void MemoryStore::endJob(std::int64_t job, int passed, int failed)
{
    const std::lock_guard lock(m_mutex);
    for (StoredJob& stored : m_jobs) {
        if (stored.id == job) {
            stored.ended = std::chrono::system_clock::now();
            stored.passed = passed;
            stored.failed = failed;
        }
    }
}

std::vector<std::string> MemoryStore::passedSerialNumbers(const std::string& contentHash)
{
    const std::lock_guard lock(m_mutex);
    std::vector<std::string> passed;
    for (const StoredResult& result : m_results) {
        const auto job = std::find_if(m_jobs.begin(), m_jobs.end(),
                                      [&](const StoredJob& j) { return result.job == j.id; });
        if (result.ok && job != m_jobs.end() && job->contentHash == contentHash &&
            !result.serialNumber.empty()) {
            passed.push_back(result.serialNumber);
        }
    }
    return passed;
}

std::vector<StoredResult> MemoryStore::history(const HistoryQuery& query)
{
    const std::lock_guard lock(m_mutex);
    std::vector<StoredResult> found;
    for (const StoredResult& result : m_results) {
        if ((query.serialNumber.empty() || result.serialNumber == query.serialNumber) &&
            (!query.job || result.job == query.job) &&
            (query.command.empty() || result.command == query.command) &&
            (!query.failedOnly || !result.ok)) {
            found.push_back(result);
        }
    }
    return found;
}

std::optional<StoredJob> MemoryStore::job(std::int64_t id)
{
    const std::lock_guard lock(m_mutex);
    for (const StoredJob& job : m_jobs) {
        if (job.id == id) {
            return job;
        }
    }
    return std::nullopt;
}

std::vector<StoredResult> MemoryStore::results() const
{
    const std::lock_guard lock(m_mutex);
    return m_results;
}

std::vector<StoredJob> MemoryStore::jobs() const
{
    const std::lock_guard lock(m_mutex);
    return m_jobs;
}
