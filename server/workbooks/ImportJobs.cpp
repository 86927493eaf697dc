#include "workbooks/ImportJobs.h"

#include "base/Refusal.h"
#include "base/Tokens.h"
#include "sheets/GridStore.h"
#include "sheets/GridWriter.h"
#include "sheets/SheetStore.h"
#include "storage/Database.h"
#include "storage/Transaction.h"
#include "workbooks/WorkbookReader.h"

#include <algorithm>
#include <iostream>

namespace {

// 12345 reads 12,345.
std::string grouped(std::size_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

class Stopping : public std::runtime_error {
public:
    Stopping()
        : std::runtime_error("The server stopped before the import finished. Import the workbook again.") {}
};

} // namespace

ImportJobs::ImportJobs(Database &db, SheetStore &sheets, GridStore &grid, GridWriter &writer,
                       ArchiveLimits::Limits unpacked)
    : m_db(db), m_sheets(sheets), m_grid(grid), m_writer(writer), m_unpacked(unpacked),
      m_thread([this] { work(); }) {}

ImportJobs::~ImportJobs() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

std::optional<std::string> ImportJobs::start(std::int64_t accountId, std::string title, std::string bytes,
                                             Refused *refused) {
    auto job = std::make_shared<Job>();
    job->id = Tokens::random();
    job->accountId = accountId;
    job->title = std::move(title);
    job->bytes = std::move(bytes);
    std::lock_guard lock(m_mutex);
    const auto own = std::count_if(m_waiting.begin(), m_waiting.end(), [accountId](const auto &waiting) {
        return waiting->accountId == accountId;
    });
    const Refused reason = static_cast<std::size_t>(own) >= maxWaitingPerAccount ? Refused::AccountBusy
                           : m_waiting.size() >= maxWaiting                      ? Refused::Busy
                                                                                 : Refused::None;
    if (refused)
        *refused = reason;
    if (reason != Refused::None)
        return std::nullopt;
    m_jobs[job->id] = job;
    m_order.push_back(job->id);
    m_waiting.push_back(job);
    forgetOldJobs();
    m_wake.notify_all();
    return job->id;
}

std::optional<nlohmann::json> ImportJobs::progress(const std::string &id, std::int64_t accountId) {
    std::lock_guard lock(m_mutex);
    const auto it = m_jobs.find(id);
    if (it == m_jobs.end() || it->second->accountId != accountId)
        return std::nullopt;
    const Job &job = *it->second;
    return nlohmann::json{
        {"status", job.status}, {"progress", job.progress}, {"error", job.error}, {"location", job.location}};
}

void ImportJobs::forgetOldJobs() {
    // Caller holds m_mutex. Finished jobs are forgotten oldest first once there are many.
    for (auto it = m_order.begin(); m_order.size() > keptJobs && it != m_order.end();) {
        const auto job = m_jobs.find(*it);
        if (job != m_jobs.end() && (job->second->status == "done" || job->second->status == "failed")) {
            m_jobs.erase(job);
            it = m_order.erase(it);
        } else {
            ++it;
        }
    }
}

void ImportJobs::update(Job &job, const std::string &status, const std::string &progress) {
    std::lock_guard lock(m_mutex);
    if (m_stopping && status != "failed")
        throw Stopping();
    job.status = status;
    job.progress = progress;
}

void ImportJobs::work() {
    while (true) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
            if (m_stopping)
                return;
            job = nextJob();
        }
        run(*job);
    }
}

std::shared_ptr<ImportJobs::Job> ImportJobs::nextJob() {
    // Oldest first, but the account served last goes behind any other account that waits.
    auto chosen = std::find_if(m_waiting.begin(), m_waiting.end(),
                               [this](const auto &waiting) { return waiting->accountId != m_lastAccount; });
    if (chosen == m_waiting.end())
        chosen = m_waiting.begin();
    auto job = *chosen;
    m_waiting.erase(chosen);
    m_lastAccount = job->accountId;
    return job;
}

void ImportJobs::run(Job &job) {
    std::optional<std::int64_t> created;
    try {
        update(job, "running", "Reading the workbook");
        const std::string bytes = std::move(job.bytes);
        job.bytes.clear();
        const auto source = WorkbookReader::read(bytes, m_unpacked);

        update(job, "running", "Creating the sheet");
        const auto sheet = m_sheets.create(job.accountId, job.title);
        created = sheet.id;
        {
            // Styles and sizes first, so that each value is shown in its number format when written.
            auto lock = m_db.lock();
            Transaction transaction(m_db);
            for (const auto &cell : source.cells) {
                if (cell.style.empty())
                    continue;
                StoredCell stored{cell.r, cell.c, {}, {}, {}, false, m_grid.styleId(sheet.tabId, cell.style)};
                m_grid.put(sheet.tabId, stored);
            }
            for (const auto &[index, points] : source.sizes.cols)
                m_grid.setSize(sheet.tabId, "col", index, points);
            for (const auto &[index, points] : source.sizes.rows)
                m_grid.setSize(sheet.tabId, "row", index, points);
            transaction.commit();
        }
        std::vector<GridWriter::CellWrite> writes;
        for (const auto &cell : source.cells) {
            if (!cell.raw.empty())
                writes.push_back({cell.r, cell.c, cell.raw, std::nullopt, std::nullopt});
        }
        for (std::size_t done = 0; done < writes.size();) {
            const std::size_t end = std::min(writes.size(), done + cellsPerStep);
            update(job, "running", "Writing cells: " + grouped(done) + " of " + grouped(writes.size()));
            GridWriter::Plan plan;
            plan.writes.assign(writes.begin() + static_cast<std::ptrdiff_t>(done),
                               writes.begin() + static_cast<std::ptrdiff_t>(end));
            m_writer.rewrite(sheet.tabId, {job.accountId, "import"}, [&plan] { return plan; });
            done = end;
        }
        std::lock_guard lock(m_mutex);
        job.status = "done";
        job.progress = "Imported " + grouped(writes.size()) + (writes.size() == 1 ? " cell" : " cells");
        job.location = "/sheets/" + std::to_string(sheet.id);
    } catch (const std::exception &failure) {
        std::string message = failure.what();
        // A refusal (a sheet limit reached, a chain of formulas too long) says why in its message.
        if (!dynamic_cast<const WorkbookReader::Unreadable *>(&failure) &&
            !dynamic_cast<const Stopping *>(&failure) && !dynamic_cast<const Refusal *>(&failure)) {
            std::cerr << "tabrel-server: import failed: " << message << std::endl;
            message = "The workbook could not be imported because of a server error. No sheet was created.";
        }
        // A failed import leaves no half-written sheet behind.
        if (created) {
            try {
                m_writer.forget(m_sheets.sheet(*created).value_or(SheetStore::Sheet{}).tabId);
                m_sheets.remove(*created);
            } catch (const std::exception &cleanup) {
                std::cerr << "tabrel-server: could not remove a failed import: " << cleanup.what()
                          << std::endl;
            }
        }
        std::lock_guard lock(m_mutex);
        job.status = "failed";
        job.progress = "The import failed";
        job.error = message;
        job.bytes.clear();
    }
}
