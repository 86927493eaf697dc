#include "panels/TableView.h"

#include "formulas/NumberFormats.h"
#include "storage/Database.h"

#include <algorithm>
#include <map>

namespace {

std::string folded(std::string_view text) {
    std::string result(text);
    for (auto &ch : result) {
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    }
    return result;
}

// Numbers before text, text case-insensitively; empty values are handled by the caller.
int compare(const TableView::Value &a, const TableView::Value &b) {
    if (a.number && b.number)
        return *a.number < *b.number ? -1 : (*a.number > *b.number ? 1 : 0);
    if (a.number != b.number)
        return a.number ? -1 : 1;
    const auto left = folded(a.display);
    const auto right = folded(b.display);
    return left < right ? -1 : (left > right ? 1 : 0);
}

} // namespace

const std::vector<std::string> &TableView::operators() {
    static const std::vector<std::string> names = {"contains", "equals", "gt", "lt", "nonempty"};
    return names;
}

nlohmann::json TableView::settingsJson(const Settings &settings) {
    return {{"sortCol", settings.sortCol},
            {"sortDesc", settings.sortDesc},
            {"filterCol", settings.filterCol},
            {"filterOp", settings.filterOp},
            {"filterVal", settings.filterVal}};
}

TableView::Settings TableView::settings(std::int64_t sheetId) {
    auto reading = m_db.read();
    auto query = m_db.prepare(
        "SELECT sort_col, sort_desc, filter_col, filter_op, filter_val FROM views WHERE sheet_id = ?1");
    query.bind(1, sheetId);
    Settings settings;
    if (query.step())
        settings = {query.integer(0), query.integer(1) != 0, query.integer(2), query.text(3), query.text(4)};
    return settings;
}

void TableView::save(std::int64_t sheetId, const Settings &settings) {
    auto lock = m_db.lock();
    auto upsert = m_db.prepare(
        "INSERT INTO views (sheet_id, sort_col, sort_desc, filter_col, filter_op, filter_val) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (sheet_id) DO UPDATE SET sort_col = excluded.sort_col, "
        "sort_desc = excluded.sort_desc, filter_col = excluded.filter_col, filter_op = excluded.filter_op, "
        "filter_val = excluded.filter_val");
    upsert.bind(1, sheetId)
        .bind(2, settings.sortCol)
        .bind(3, settings.sortDesc ? 1 : 0)
        .bind(4, settings.filterCol);
    upsert.bind(5, settings.filterOp).bind(6, settings.filterVal);
    upsert.run();
}

bool TableView::matches(const Settings &settings, const Value &value) {
    if (settings.filterCol < 0)
        return true;
    if (settings.filterOp == "nonempty")
        return !value.display.empty();
    if (settings.filterOp == "contains")
        return folded(value.display).find(folded(settings.filterVal)) != std::string::npos;
    double operand = 0;
    const bool numericOperand = NumberFormats::parse(settings.filterVal, operand);
    if (settings.filterOp == "equals") {
        if (value.number && numericOperand)
            return *value.number == operand;
        return folded(value.display) == folded(settings.filterVal);
    }
    // gt and lt compare numbers with numbers and text with text; an empty cell is neither.
    if (value.display.empty())
        return false;
    int order = 0;
    if (value.number && numericOperand)
        order = *value.number < operand ? -1 : (*value.number > operand ? 1 : 0);
    else if (!value.number && !numericOperand)
        order = compare(value, Value{settings.filterVal, std::nullopt});
    else
        return false;
    return settings.filterOp == "gt" ? order > 0 : order < 0;
}

void TableView::order(const Settings &settings, std::vector<Row> &rows) {
    if (settings.sortCol < 0)
        return;
    std::stable_sort(rows.begin(), rows.end(), [&](const Row &a, const Row &b) {
        const bool aEmpty = a.sortValue.display.empty();
        const bool bEmpty = b.sortValue.display.empty();
        // Empty cells go last whichever the direction.
        if (aEmpty || bEmpty)
            return !aEmpty && bEmpty;
        const int order = compare(a.sortValue, b.sortValue);
        return settings.sortDesc ? order > 0 : order < 0;
    });
}

nlohmann::json TableView::page(std::int64_t sheetId, std::int64_t tabId, std::int64_t page) {
    const Settings view = settings(sheetId);
    auto reading = m_db.read();
    // Rows that hold any text, with their values in the sort and filter columns.
    std::map<std::int64_t, Row> byRow;
    std::int64_t usedCols = 0;
    {
        auto query =
            m_db.prepare("SELECT r, c, display, value, numeric FROM cells WHERE tab_id = ?1 AND raw != ''");
        query.bind(1, tabId);
        while (query.step()) {
            const std::int64_t r = query.integer(0);
            const std::int64_t c = query.integer(1);
            usedCols = std::max(usedCols, c + 1);
            auto &row = byRow[r];
            row.r = r;
            if (c != view.sortCol && c != view.filterCol)
                continue;
            Value value{query.text(2), std::nullopt};
            if (query.integer(4) != 0 && !query.isNull(3))
                value.number = query.real(3);
            if (c == view.sortCol)
                row.sortValue = value;
            if (c == view.filterCol)
                row.filterValue = value;
        }
    }
    std::vector<Row> rows;
    rows.reserve(byRow.size());
    for (auto &[r, row] : byRow) {
        if (matches(view, row.filterValue))
            rows.push_back(std::move(row));
    }
    order(view, rows);

    const std::int64_t cols = std::min(usedCols, maxCols);
    const std::int64_t first = (page - 1) * pageRows;
    const auto total = static_cast<std::int64_t>(rows.size());
    nlohmann::json out = nlohmann::json::array();
    auto cells =
        m_db.prepare("SELECT c, raw, display FROM cells WHERE tab_id = ?1 AND r = ?2 AND c < ?3 ORDER BY c");
    for (std::int64_t i = first; i < std::min(total, first + pageRows); ++i) {
        const std::int64_t r = rows[static_cast<std::size_t>(i)].r;
        std::vector<std::pair<std::string, std::string>> texts(static_cast<std::size_t>(cols));
        cells.bind(1, tabId).bind(2, r).bind(3, cols);
        while (cells.step())
            texts[static_cast<std::size_t>(cells.integer(0))] = {cells.text(1), cells.text(2)};
        cells.reset();
        nlohmann::json rowCells = nlohmann::json::array();
        for (std::int64_t c = 0; c < cols; ++c) {
            const auto &text = texts[static_cast<std::size_t>(c)];
            rowCells.push_back({{"R", r}, {"C", c}, {"Raw", text.first}, {"Display", text.second}});
        }
        out.push_back({{"Number", r + 1}, {"Cells", rowCells}});
    }
    return {{"View", settingsJson(view)},
            {"Rows", out},
            {"HasPrev", page > 1},
            {"HasNext", first + pageRows < total}};
}
