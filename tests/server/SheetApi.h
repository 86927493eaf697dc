#pragma once

#include "TestClient.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Short-hands for the sheet requests the tests make.
struct SheetRef {
    std::uint64_t id = 0;
    std::uint64_t tabId = 0;

    std::string page() const { return "/sheets/" + std::to_string(id); }
    std::string tab() const { return "/api/sheets/" + std::to_string(id) + "/tabs/" + std::to_string(tabId); }
};

class SheetApi {
public:
    static std::optional<SheetRef> create(TestClient &client);
    static httplib::Result batch(TestClient &client, const SheetRef &sheet,
                                 const std::vector<nlohmann::json> &cells);
    static httplib::Result tile(TestClient &client, const SheetRef &sheet, int firstRow, int firstCol,
                                int rows, int cols);
    // The cell at (r, c) of a GridResponse, or null.
    static nlohmann::json cell(const nlohmann::json &grid, std::int64_t r, std::int64_t c);
    static nlohmann::json write(std::int64_t r, std::int64_t c, const std::string &raw);
};
