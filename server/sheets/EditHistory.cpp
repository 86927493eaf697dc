#include "sheets/EditHistory.h"

#include "base/Refusal.h"
#include "sheets/CellRef.h"
#include "storage/Database.h"

#include <ctime>
#include <map>

namespace {

std::string isoTime(std::int64_t millis) {
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace

nlohmann::json EditHistory::page(std::int64_t tabId) {
    auto reading = m_db.read();
    auto query = m_db.prepare("SELECT e.id, e.r, e.c, a.name, e.old_raw, e.new_raw, e.at FROM edits e "
                              "LEFT JOIN accounts a ON a.id = e.account_id WHERE e.tab_id = ?1 "
                              "ORDER BY e.id DESC LIMIT ?2");
    query.bind(1, tabId).bind(2, maxEntries);
    nlohmann::json entries = nlohmann::json::array();
    while (query.step()) {
        entries.push_back({{"ID", static_cast<std::uint64_t>(query.integer(0))},
                           {"Ref", cellRef(query.integer(1), query.integer(2))},
                           {"Who", query.isNull(3) ? std::string("A former member") : query.text(3)},
                           {"Old", query.text(4)},
                           {"New", query.text(5)},
                           {"When", isoTime(query.integer(6))}});
    }
    return {{"Entries", entries}};
}

std::string EditHistory::currentRaw(std::int64_t tabId, std::int64_t r, std::int64_t c) {
    auto query = m_db.prepare("SELECT raw FROM cells WHERE tab_id = ?1 AND r = ?2 AND c = ?3");
    query.bind(1, tabId).bind(2, r).bind(3, c);
    return query.step() ? query.text(0) : std::string();
}

GridWriter::Plan EditHistory::restorePlan(std::int64_t tabId, std::int64_t editId) {
    auto lock = m_db.lock();
    {
        auto exists = m_db.prepare("SELECT 1 FROM edits WHERE id = ?1 AND tab_id = ?2");
        exists.bind(1, editId).bind(2, tabId);
        if (!exists.step())
            throw Refusal(404, "unknown-edit",
                          "This edit is not in the sheet's history. Nothing was changed.");
    }
    // The oldest edit of each cell from that point on holds the text the cell had before it.
    auto query = m_db.prepare("SELECT r, c, old_raw FROM edits WHERE tab_id = ?1 AND id >= ?2 ORDER BY id");
    query.bind(1, tabId).bind(2, editId);
    std::map<std::pair<std::int64_t, std::int64_t>, std::string> before;
    while (query.step())
        before.emplace(std::pair{query.integer(0), query.integer(1)}, query.text(2));
    GridWriter::Plan plan;
    for (const auto &[position, raw] : before)
        plan.writes.push_back({position.first, position.second, raw, std::nullopt, std::nullopt});
    return plan;
}

GridWriter::Plan EditHistory::undoPlan(std::int64_t tabId, std::int64_t accountId) {
    auto lock = m_db.lock();
    auto latest =
        m_db.prepare("SELECT change_id FROM edits WHERE tab_id = ?1 AND account_id = ?2 AND undone = 0 "
                     "AND kind IN ('edit', 'restore') ORDER BY id DESC LIMIT 1");
    latest.bind(1, tabId).bind(2, accountId);
    if (!latest.step())
        throw Refusal(409, "nothing-to-undo", "You have no edit on this sheet left to undo.");
    const std::int64_t changeId = latest.integer(0);

    struct Span {
        std::string oldRaw;
        std::string newRaw;
    };
    std::map<std::pair<std::int64_t, std::int64_t>, Span> cells;
    GridWriter::Plan plan;
    auto edits =
        m_db.prepare("SELECT id, r, c, old_raw, new_raw FROM edits WHERE tab_id = ?1 AND change_id = ?2 "
                     "AND undone = 0 ORDER BY id");
    edits.bind(1, tabId).bind(2, changeId);
    while (edits.step()) {
        plan.reverses.push_back(edits.integer(0));
        const std::pair position{edits.integer(1), edits.integer(2)};
        auto it = cells.find(position);
        if (it == cells.end())
            cells.emplace(position, Span{edits.text(3), edits.text(4)});
        else
            it->second.newRaw = edits.text(4);
    }
    for (const auto &[position, span] : cells) {
        // Undo must not throw away what someone typed over this edit since.
        if (currentRaw(tabId, position.first, position.second) != span.newRaw)
            throw Refusal(409, "undo-conflict",
                          "Someone changed " + cellRef(position.first, position.second) +
                              " after your edit, so it was not undone. Use version history to restore it.");
        plan.writes.push_back({position.first, position.second, span.oldRaw, std::nullopt, std::nullopt});
    }
    return plan;
}
