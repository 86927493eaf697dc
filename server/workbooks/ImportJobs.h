#pragma once

#include "workbooks/ArchiveLimits.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class Database;
class GridStore;
class GridWriter;
class SheetStore;

// Workbook imports, run one at a time on a thread of their own, taking turns between accounts so
// that one account's uploads cannot keep another's waiting or refused. Each job reads the workbook,
// creates a sheet for the account and writes the cells, styles and sizes into it; a job that fails
// leaves no sheet behind. The account that started a job follows it by its id.
class ImportJobs {
public:
    static constexpr std::size_t maxWaiting = 20;
    static constexpr std::size_t maxWaitingPerAccount = 3;
    static constexpr std::size_t keptJobs = 500;
    static constexpr std::size_t cellsPerStep = 5000;

    ImportJobs(Database &db, SheetStore &sheets, GridStore &grid, GridWriter &writer,
               ArchiveLimits::Limits unpacked = {});
    ~ImportJobs();
    ImportJobs(const ImportJobs &) = delete;
    ImportJobs &operator=(const ImportJobs &) = delete;

    enum class Refused { None, Busy, AccountBusy };
    // The job's id, or nothing with the reason: too many imports wait, or too many of this account's.
    std::optional<std::string> start(std::int64_t accountId, std::string title, std::string bytes,
                                     Refused *refused = nullptr);
    // ImportProgress {status, progress, error, location} of the account's job.
    std::optional<nlohmann::json> progress(const std::string &job, std::int64_t accountId);

private:
    struct Job {
        std::string id;
        std::int64_t accountId = 0;
        std::string title;
        std::string bytes;
        std::string status = "queued";
        std::string progress = "Waiting for the imports before it to finish";
        std::string error;
        std::string location;
    };

    void work();
    // Caller holds m_mutex: the next job, from the first account in line after the last one served.
    std::shared_ptr<Job> nextJob();
    void run(Job &job);
    void update(Job &job, const std::string &status, const std::string &progress);
    void forgetOldJobs();

    Database &m_db;
    SheetStore &m_sheets;
    GridStore &m_grid;
    GridWriter &m_writer;
    ArchiveLimits::Limits m_unpacked;
    std::int64_t m_lastAccount = 0;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<std::string, std::shared_ptr<Job>> m_jobs;
    std::deque<std::string> m_order; // every job id, oldest first
    std::deque<std::shared_ptr<Job>> m_waiting;
    bool m_stopping = false;
    std::thread m_thread;
};
