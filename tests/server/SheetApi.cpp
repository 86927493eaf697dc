#include "SheetApi.h"

std::optional<SheetRef> SheetApi::create(TestClient &client) {
    const auto answer = client.post("/sheets", "", "application/x-www-form-urlencoded");
    if (!answer || answer->status != 200)
        return std::nullopt;
    const auto summary = TestClient::json(answer);
    if (!summary.is_object() || !summary["ID"].is_number_unsigned() || !summary["TabID"].is_number_unsigned())
        return std::nullopt;
    return SheetRef{summary["ID"].get<std::uint64_t>(), summary["TabID"].get<std::uint64_t>()};
}

httplib::Result SheetApi::batch(TestClient &client, const SheetRef &sheet,
                                const std::vector<nlohmann::json> &cells) {
    return client.postJson(sheet.tab() + "/cells/batch", {{"cells", nlohmann::json(cells)}});
}

httplib::Result SheetApi::tile(TestClient &client, const SheetRef &sheet, int firstRow, int firstCol,
                               int rows, int cols) {
    return client.get(sheet.tab() + "/cells?firstRow=" + std::to_string(firstRow) +
                      "&firstCol=" + std::to_string(firstCol) + "&rows=" + std::to_string(rows) +
                      "&cols=" + std::to_string(cols));
}

nlohmann::json SheetApi::cell(const nlohmann::json &grid, std::int64_t r, std::int64_t c) {
    if (!grid.is_object() || !grid.contains("cells"))
        return nullptr;
    for (const auto &cell : grid["cells"]) {
        if (cell["r"].get<std::int64_t>() == r && cell["c"].get<std::int64_t>() == c)
            return cell;
    }
    return nullptr;
}

nlohmann::json SheetApi::write(std::int64_t r, std::int64_t c, const std::string &raw) {
    return {{"r", r}, {"c", c}, {"raw", raw}};
}
