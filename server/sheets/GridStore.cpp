#include "sheets/GridStore.h"

#include "base/Clock.h"
#include "storage/Database.h"

namespace {
constexpr const char *cellColumns = "r, c, raw, display, value, numeric, style_id";
}

StoredCell GridStore::read(const Statement &row) {
    StoredCell cell;
    cell.r = row.integer(0);
    cell.c = row.integer(1);
    cell.raw = row.text(2);
    cell.display = row.text(3);
    cell.value = row.optionalReal(4);
    cell.numeric = row.integer(5) != 0;
    cell.styleId = row.optionalInteger(6);
    return cell;
}

std::optional<StoredCell> GridStore::cell(std::int64_t tabId, std::int64_t r, std::int64_t c) {
    auto &query = m_db.cached(std::string("SELECT ") + cellColumns +
                              " FROM cells WHERE tab_id = ?1 AND r = ?2 AND c = ?3");
    query.bind(1, tabId).bind(2, r).bind(3, c);
    if (!query.step())
        return std::nullopt;
    auto result = read(query);
    query.reset();
    return result;
}

std::vector<StoredCell> GridStore::cells(std::int64_t tabId, std::int64_t firstRow, std::int64_t firstCol,
                                         std::int64_t lastRow, std::int64_t lastCol) {
    auto query = m_db.prepare(
        std::string("SELECT ") + cellColumns +
        " FROM cells WHERE tab_id = ?1 AND r BETWEEN ?2 AND ?3 AND c BETWEEN ?4 AND ?5 ORDER BY r, c");
    query.bind(1, tabId).bind(2, firstRow).bind(3, lastRow).bind(4, firstCol).bind(5, lastCol);
    std::vector<StoredCell> result;
    while (query.step())
        result.push_back(read(query));
    return result;
}

std::vector<StoredCell> GridStore::allCells(std::int64_t tabId) {
    auto query =
        m_db.prepare(std::string("SELECT ") + cellColumns + " FROM cells WHERE tab_id = ?1 ORDER BY r, c");
    query.bind(1, tabId);
    std::vector<StoredCell> result;
    while (query.step())
        result.push_back(read(query));
    return result;
}

void GridStore::put(std::int64_t tabId, const StoredCell &cell) {
    if (cell.removable()) {
        auto &erase = m_db.cached("DELETE FROM cells WHERE tab_id = ?1 AND r = ?2 AND c = ?3");
        erase.bind(1, tabId).bind(2, cell.r).bind(3, cell.c);
        erase.run();
        return;
    }
    auto &upsert = m_db.cached(
        "INSERT INTO cells (tab_id, r, c, raw, display, value, numeric, style_id) VALUES (?1, ?2, ?3, ?4, "
        "?5, ?6, ?7, ?8) "
        "ON CONFLICT (tab_id, r, c) DO UPDATE SET raw = excluded.raw, display = excluded.display, "
        "value = excluded.value, numeric = excluded.numeric, style_id = excluded.style_id");
    upsert.bind(1, tabId).bind(2, cell.r).bind(3, cell.c).bind(4, cell.raw).bind(5, cell.display);
    upsert.bind(6, cell.value).bind(7, cell.numeric ? 1 : 0).bind(8, cell.styleId);
    upsert.run();
}

std::int64_t GridStore::styleId(std::int64_t tabId, const CellStyle &style) {
    const std::string json = style.toJson().dump();
    auto &find = m_db.cached("SELECT id FROM styles WHERE tab_id = ?1 AND json = ?2");
    find.bind(1, tabId).bind(2, json);
    if (find.step()) {
        const auto id = find.integer(0);
        find.reset();
        return id;
    }
    auto insert = m_db.prepare("INSERT INTO styles (tab_id, json) VALUES (?1, ?2)");
    insert.bind(1, tabId).bind(2, json);
    insert.run();
    return m_db.lastInsertId();
}

CellStyle GridStore::style(std::int64_t styleId) {
    auto query = m_db.prepare("SELECT json FROM styles WHERE id = ?1");
    query.bind(1, styleId);
    if (!query.step())
        return {};
    return CellStyle::fromJson(nlohmann::json::parse(query.text(0), nullptr, false));
}

std::map<std::int64_t, CellStyle> GridStore::styles(const std::set<std::int64_t> &ids) {
    std::map<std::int64_t, CellStyle> result;
    if (ids.empty())
        return result;
    auto &query = m_db.cached("SELECT json FROM styles WHERE id = ?1");
    for (const auto id : ids) {
        query.bind(1, id);
        if (query.step())
            result[id] = CellStyle::fromJson(nlohmann::json::parse(query.text(0), nullptr, false));
        query.reset();
    }
    return result;
}

Sizes GridStore::sizes(std::int64_t tabId) {
    auto query = m_db.prepare("SELECT axis, idx, size FROM sizes WHERE tab_id = ?1");
    query.bind(1, tabId);
    Sizes sizes;
    while (query.step())
        (query.text(0) == "col" ? sizes.cols : sizes.rows)[query.integer(1)] = query.real(2);
    return sizes;
}

void GridStore::setSize(std::int64_t tabId, const std::string &axis, std::int64_t index, double size) {
    auto upsert = m_db.prepare("INSERT INTO sizes (tab_id, axis, idx, size) VALUES (?1, ?2, ?3, ?4) "
                               "ON CONFLICT (tab_id, axis, idx) DO UPDATE SET size = excluded.size");
    upsert.bind(1, tabId).bind(2, axis).bind(3, index).bind(4, size);
    upsert.run();
}

std::uint64_t GridStore::version(std::int64_t tabId) {
    auto &query = m_db.cached("SELECT version FROM tabs WHERE id = ?1");
    query.bind(1, tabId);
    const auto version = query.step() ? static_cast<std::uint64_t>(query.integer(0)) : 0;
    query.reset();
    return version;
}

void GridStore::setVersion(std::int64_t tabId, std::uint64_t version) {
    auto &update = m_db.cached("UPDATE tabs SET version = ?2 WHERE id = ?1");
    update.bind(1, tabId).bind(2, static_cast<std::int64_t>(version));
    update.run();
    auto &touch = m_db.cached(
        "UPDATE sheets SET updated_at = ?2 WHERE id = (SELECT sheet_id FROM tabs WHERE id = ?1)");
    touch.bind(1, tabId).bind(2, nowMillis());
    touch.run();
}

std::int64_t GridStore::logEdit(std::int64_t tabId, std::int64_t r, std::int64_t c,
                                std::optional<std::int64_t> accountId, const std::string &oldRaw,
                                const std::string &newRaw, std::uint64_t version, const std::string &kind,
                                std::optional<std::int64_t> changeId) {
    auto &insert = m_db.cached(
        "INSERT INTO edits (tab_id, r, c, account_id, old_raw, new_raw, at, version, kind, change_id) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    insert.bind(1, tabId).bind(2, r).bind(3, c).bind(4, accountId).bind(5, oldRaw).bind(6, newRaw);
    insert.bind(7, nowMillis()).bind(8, static_cast<std::int64_t>(version)).bind(9, kind).bind(10, changeId);
    insert.run();
    const std::int64_t id = m_db.lastInsertId();
    if (!changeId) {
        auto &own = m_db.cached("UPDATE edits SET change_id = ?1 WHERE id = ?1");
        own.bind(1, id);
        own.run();
    }
    return id;
}

void GridStore::markUndone(std::int64_t editId) {
    auto &update = m_db.cached("UPDATE edits SET undone = 1 WHERE id = ?1");
    update.bind(1, editId);
    update.run();
}

std::pair<std::int64_t, std::int64_t> GridStore::usedExtent(std::int64_t tabId) {
    auto query = m_db.prepare("SELECT MAX(r), MAX(c) FROM cells WHERE tab_id = ?1");
    query.bind(1, tabId);
    if (!query.step() || query.isNull(0))
        return {0, 0};
    return {query.integer(0) + 1, query.integer(1) + 1};
}
