#include "sheets/GridJson.h"

nlohmann::json GridJson::cell(const StoredCell &cell) {
    nlohmann::json json = {{"r", cell.r}, {"c", cell.c}, {"raw", cell.raw}, {"display", cell.display}};
    if (cell.numeric)
        json["n"] = true;
    if (cell.styleId)
        json["f"] = styleKey(*cell.styleId);
    return json;
}

nlohmann::json GridJson::sizes(const Sizes &sizes) {
    nlohmann::json cols = nlohmann::json::object();
    for (const auto &[index, size] : sizes.cols)
        cols[std::to_string(index)] = size;
    nlohmann::json rows = nlohmann::json::object();
    for (const auto &[index, size] : sizes.rows)
        rows[std::to_string(index)] = size;
    return {{"cols", cols}, {"rows", rows}};
}

nlohmann::json GridJson::response(const GridChange &change) {
    nlohmann::json json = {{"version", change.version}};
    if (change.stamps)
        json["stamps"] = *change.stamps;
    if (change.tooLarge()) {
        json["resync"] = true;
        return json;
    }
    if (change.rows)
        json["rows"] = *change.rows;
    if (change.cols)
        json["cols"] = *change.cols;
    nlohmann::json cells = nlohmann::json::array();
    for (const auto &cell : change.cells)
        cells.push_back(GridJson::cell(cell));
    json["cells"] = std::move(cells);
    nlohmann::json formats = nlohmann::json::object();
    for (const auto &[id, style] : change.styles)
        formats[styleKey(id)] = style.toJson();
    json["formats"] = std::move(formats);
    if (change.sizes)
        json["sizes"] = sizes(*change.sizes);
    return json;
}
