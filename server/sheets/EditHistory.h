#pragma once

#include "sheets/GridWriter.h"

#include <nlohmann/json.hpp>

#include <cstdint>

class Database;

// The log of cell edits of a tab, read for the History panel, and the plans of restore and undo,
// which the writer then applies as new logged edits.
class EditHistory {
public:
    static constexpr std::int64_t maxEntries = 500;

    explicit EditHistory(Database &db) : m_db(db) {}

    // HistoryPage {Entries: [{ID, Ref, Who, Old, New, When}]}, newest first.
    nlohmann::json page(std::int64_t tabId);
    // Every cell edited by that edit or after it goes back to its text before that edit. Throws
    // Refusal when the edit is not in this tab's log.
    GridWriter::Plan restorePlan(std::int64_t tabId, std::int64_t editId);
    // Reverses the account's most recent change that is not undone yet. Throws Refusal when there
    // is none, or when someone else has changed those cells since.
    GridWriter::Plan undoPlan(std::int64_t tabId, std::int64_t accountId);

private:
    std::string currentRaw(std::int64_t tabId, std::int64_t r, std::int64_t c);

    Database &m_db;
};
