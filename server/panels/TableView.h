#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class Database;

// The sorted and filtered table of a sheet: its stored settings (ViewSpec) and the pages of rows
// they select. Sorting and filtering never move cells; each row keeps its real coordinates.
class TableView {
public:
    struct Settings {
        std::int64_t sortCol = -1;
        bool sortDesc = false;
        std::int64_t filterCol = -1;
        std::string filterOp = "contains";
        std::string filterVal;
    };
    // The value of one row in the sort or filter column.
    struct Value {
        std::string display;
        std::optional<double> number; // set for numeric cells
    };
    struct Row {
        std::int64_t r = 0;
        Value sortValue;
        Value filterValue;
    };

    static constexpr std::int64_t pageRows = 50;
    static constexpr std::int64_t maxCols = 200;
    static constexpr std::size_t maxFilterBytes = 1024;
    static const std::vector<std::string> &operators();

    explicit TableView(Database &db) : m_db(db) {}

    Settings settings(std::int64_t sheetId);
    void save(std::int64_t sheetId, const Settings &settings);
    // TablePage {View, Rows: [{Number, Cells: [{R, C, Raw, Display}]}], HasNext, HasPrev}; page
    // counts from 1.
    nlohmann::json page(std::int64_t sheetId, std::int64_t tabId, std::int64_t page);

    // The pure part: which rows pass the filter, in which order.
    static bool matches(const Settings &settings, const Value &value);
    static void order(const Settings &settings, std::vector<Row> &rows);
    static nlohmann::json settingsJson(const Settings &settings);

private:
    Database &m_db;
};
