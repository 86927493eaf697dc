#include "sheets/SheetStore.h"

#include "base/Clock.h"
#include "base/Refusal.h"
#include "formulas/NumberFormats.h"
#include "sheets/CellRef.h"
#include "sheets/GridStore.h"
#include "sheets/Palette.h"
#include "storage/Database.h"
#include "storage/Transaction.h"

#include <algorithm>

SheetStore::Sheet SheetStore::create(std::int64_t ownerId, const std::string &title) {
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    auto owned = m_db.prepare("SELECT COUNT(*) FROM members WHERE account_id = ?1 AND role = 'owner'");
    owned.bind(1, ownerId);
    if (owned.step() && owned.integer(0) >= m_maxOwned)
        throw Refusal(422, "too-many-sheets",
                      "An account may own at most " + std::to_string(m_maxOwned) +
                          " spreadsheets. No sheet was created.");
    const std::int64_t now = nowMillis();
    auto sheet = m_db.prepare("INSERT INTO sheets (title, created_at, updated_at) VALUES (?1, ?2, ?2)");
    sheet.bind(1, title).bind(2, now);
    sheet.run();
    const std::int64_t sheetId = m_db.lastInsertId();
    auto tab = m_db.prepare("INSERT INTO tabs (sheet_id, name, position) VALUES (?1, 'Sheet1', 0)");
    tab.bind(1, sheetId);
    tab.run();
    const std::int64_t tabId = m_db.lastInsertId();
    auto member = m_db.prepare("INSERT INTO members (sheet_id, account_id, role) VALUES (?1, ?2, 'owner')");
    member.bind(1, sheetId).bind(2, ownerId);
    member.run();
    transaction.commit();
    return {sheetId, title, tabId, "Sheet1"};
}

std::vector<SheetStore::Sheet> SheetStore::visibleTo(std::int64_t accountId) {
    auto reading = m_db.read();
    auto query = m_db.prepare(
        "SELECT s.id, s.title, t.id, t.name FROM members m JOIN sheets s ON s.id = m.sheet_id "
        "JOIN tabs t ON t.id = (SELECT id FROM tabs WHERE sheet_id = s.id ORDER BY position, id LIMIT 1) "
        "WHERE m.account_id = ?1 ORDER BY s.updated_at DESC, s.id DESC");
    query.bind(1, accountId);
    std::vector<Sheet> sheets;
    while (query.step())
        sheets.push_back({query.integer(0), query.text(1), query.integer(2), query.text(3)});
    return sheets;
}

std::optional<SheetStore::Role> SheetStore::role(std::int64_t sheetId, std::int64_t accountId) {
    auto reading = m_db.read();
    auto &query = m_db.cached("SELECT role FROM members WHERE sheet_id = ?1 AND account_id = ?2");
    query.bind(1, sheetId).bind(2, accountId);
    if (!query.step())
        return std::nullopt;
    return parseRole(query.text(0)).value_or(Role::Viewer);
}

std::string SheetStore::roleName(Role role) {
    switch (role) {
    case Role::Owner:
        return "owner";
    case Role::Editor:
        return "editor";
    case Role::Commenter:
        return "commenter";
    case Role::Viewer:
        break;
    }
    return "viewer";
}

std::optional<SheetStore::Role> SheetStore::parseRole(std::string_view name) {
    for (const auto role : {Role::Owner, Role::Editor, Role::Commenter, Role::Viewer}) {
        if (roleName(role) == name)
            return role;
    }
    return std::nullopt;
}

void SheetStore::remove(std::int64_t sheetId) {
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    // Cells refer to styles, so they go first; the rest follows the sheet.
    auto cells = m_db.prepare("DELETE FROM cells WHERE tab_id IN (SELECT id FROM tabs WHERE sheet_id = ?1)");
    cells.bind(1, sheetId);
    cells.run();
    auto sheet = m_db.prepare("DELETE FROM sheets WHERE id = ?1");
    sheet.bind(1, sheetId);
    sheet.run();
    transaction.commit();
}

void SheetStore::rename(std::int64_t sheetId, const std::string &title) {
    auto lock = m_db.lock();
    auto update = m_db.prepare("UPDATE sheets SET title = ?2, updated_at = ?3 WHERE id = ?1");
    update.bind(1, sheetId).bind(2, title).bind(3, nowMillis());
    update.run();
}

std::optional<SheetStore::Sheet> SheetStore::sheet(std::int64_t sheetId) {
    auto reading = m_db.read();
    auto &query =
        m_db.cached("SELECT s.id, s.title, t.id, t.name FROM sheets s JOIN tabs t ON t.sheet_id = s.id "
                    "WHERE s.id = ?1 ORDER BY t.position, t.id LIMIT 1");
    query.bind(1, sheetId);
    if (!query.step())
        return std::nullopt;
    return Sheet{query.integer(0), query.text(1), query.integer(2), query.text(3)};
}

bool SheetStore::hasTab(std::int64_t sheetId, std::int64_t tabId) {
    auto reading = m_db.read();
    auto &query = m_db.cached("SELECT 1 FROM tabs WHERE id = ?1 AND sheet_id = ?2");
    query.bind(1, tabId).bind(2, sheetId);
    return query.step();
}

nlohmann::json SheetStore::preview(std::int64_t tabId) {
    // Caller holds the lock.
    auto any = m_db.prepare("SELECT 1 FROM cells WHERE tab_id = ?1 LIMIT 1");
    any.bind(1, tabId);
    const bool empty = !any.step();
    nlohmann::json cells = nlohmann::json::array();
    if (!empty) {
        auto query = m_db.prepare(
            "SELECT c.r, c.c, c.raw, s.json FROM cells c LEFT JOIN styles s ON s.id = c.style_id "
            "WHERE c.tab_id = ?1 AND c.r < ?2 AND c.c < ?3 ORDER BY c.r, c.c");
        query.bind(1, tabId).bind(2, previewRows).bind(3, previewCols);
        while (query.step()) {
            const auto style = query.isNull(3) ? nlohmann::json::object()
                                               : nlohmann::json::parse(query.text(3), nullptr, false);
            std::string fill;
            if (style.is_object()) {
                if (style.contains("fx") && style["fx"].is_string())
                    fill = style["fx"].get<std::string>();
                else if (style.contains("fh") && style.contains("fc"))
                    fill = Palette::hex(Palette::lightFillLightness, style["fc"].get<double>(),
                                        style["fh"].get<double>());
            }
            const bool bold = style.is_object() && style.value("b", false);
            if (query.text(2).empty() && fill.empty())
                continue;
            cells.push_back(
                {{"R", query.integer(0)}, {"C", query.integer(1)}, {"Fill", fill}, {"Bold", bold}});
        }
    }
    return {{"Rows", previewRows}, {"Cols", previewCols}, {"Empty", empty}, {"Cells", cells}};
}

nlohmann::json SheetStore::summary(const Sheet &sheet) {
    auto reading = m_db.read();
    return {{"ID", static_cast<std::uint64_t>(sheet.id)},
            {"Title", sheet.title},
            {"TabID", static_cast<std::uint64_t>(sheet.tabId)},
            {"TabName", sheet.tabName},
            {"Preview", preview(sheet.tabId)}};
}

nlohmann::json SheetStore::page(const Sheet &sheet, Role role) {
    nlohmann::json result = {{"Sheet", summary(sheet)}};
    std::pair<std::int64_t, std::int64_t> used;
    {
        auto reading = m_db.read();
        used = m_grid.usedExtent(sheet.tabId);
    }
    // The grid covers what is used plus room to grow, within the fixed bounds.
    const std::int64_t rows = std::clamp<std::int64_t>(used.first + 50, 100, maxPageRows);
    const std::int64_t cols = std::clamp<std::int64_t>(used.second + 10, 26, maxPageCols);
    result["Rows"] = rows;
    result["Cols"] = cols;
    result["Truncated"] = used.first > maxPageRows || used.second > maxPageCols;
    result["MayWrite"] = mayWrite(role);
    result["MayComment"] = mayComment(role);
    result["MayShare"] = mayShare(role);
    nlohmann::json fills = nlohmann::json::array();
    for (const auto &swatch : Palette::fills())
        fills.push_back({{"Name", swatch.name}, {"Label", swatch.label}});
    nlohmann::json inks = nlohmann::json::array();
    for (const auto &swatch : Palette::inks())
        inks.push_back({{"Name", swatch.name}, {"Label", swatch.label}});
    nlohmann::json formats = nlohmann::json::array();
    for (const auto &entry : NumberFormats::offered())
        formats.push_back({{"Code", entry.code}, {"Label", entry.label}});
    result["FillSwatches"] = fills;
    result["InkSwatches"] = inks;
    result["NumberFormats"] = formats;
    // Places whose imported colours are hard to read, for the page to list.
    nlohmann::json warned = nlohmann::json::array();
    {
        auto reading = m_db.read();
        auto query = m_db.prepare(
            "SELECT c.r, c.c FROM cells c JOIN styles s ON s.id = c.style_id WHERE c.tab_id = ?1 "
            "AND json_extract(s.json, '$.lc') = 1 ORDER BY c.r, c.c LIMIT ?2");
        query.bind(1, sheet.tabId).bind(2, maxWarned);
        while (query.step())
            warned.push_back(cellRef(query.integer(0), query.integer(1)));
    }
    if (!warned.empty())
        result["Warned"] = warned;
    return result;
}
