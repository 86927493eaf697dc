#pragma once

#include "sheets/GridChange.h"

#include <nlohmann/json.hpp>

#include <string>

// The wire form of grid records: Cell {r, c, raw, display, n?, f?} and GridResponse {version,
// rows?, cols?, cells?, formats?, sizes?, resync?, stamps?}.
class GridJson {
public:
    static nlohmann::json cell(const StoredCell &cell);
    static std::string styleKey(std::int64_t styleId) { return std::to_string(styleId); }
    static nlohmann::json sizes(const Sizes &sizes);
    // A change too large to spell out becomes {"version", "stamps"?, "resync": true}.
    static nlohmann::json response(const GridChange &change);
};
