#pragma once

#include "sheets/CellStyle.h"
#include "sheets/Sizes.h"
#include "sheets/StoredCell.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class Database;

// Cells, styles, sizes and versions of tabs in the database. Every method expects the caller to
// hold the database lock (and, for changes, a transaction).
class GridStore {
public:
    explicit GridStore(Database &db) : m_db(db) {}

    std::optional<StoredCell> cell(std::int64_t tabId, std::int64_t r, std::int64_t c);
    std::vector<StoredCell> cells(std::int64_t tabId, std::int64_t firstRow, std::int64_t firstCol,
                                  std::int64_t lastRow, std::int64_t lastCol);
    std::vector<StoredCell> allCells(std::int64_t tabId);
    // Stores the cell, or deletes it when it holds neither text nor style.
    void put(std::int64_t tabId, const StoredCell &cell);

    std::int64_t styleId(std::int64_t tabId, const CellStyle &style);
    CellStyle style(std::int64_t styleId);
    std::map<std::int64_t, CellStyle> styles(const std::set<std::int64_t> &ids);

    Sizes sizes(std::int64_t tabId);
    void setSize(std::int64_t tabId, const std::string &axis, std::int64_t index, double size);

    std::uint64_t version(std::int64_t tabId);
    void setVersion(std::int64_t tabId, std::uint64_t version);
    // Logs one cell edit and returns its id. The edits of one request share a change id: the id of
    // its first edit (pass none for that one).
    std::int64_t logEdit(std::int64_t tabId, std::int64_t r, std::int64_t c,
                         std::optional<std::int64_t> accountId, const std::string &oldRaw,
                         const std::string &newRaw, std::uint64_t version, const std::string &kind,
                         std::optional<std::int64_t> changeId);
    void markUndone(std::int64_t editId);

    // The bottom-right corner of what the tab holds: rows and columns used, 0 x 0 when empty.
    std::pair<std::int64_t, std::int64_t> usedExtent(std::int64_t tabId);

private:
    static StoredCell read(const class Statement &row);

    Database &m_db;
};
