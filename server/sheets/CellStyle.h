#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// The look of one cell, stored once per distinct combination and referred to by its key. Absent
// members are attributes that are not set.
struct CellStyle {
    std::optional<bool> bold;
    std::optional<bool> italic;
    std::optional<std::string> align;
    std::optional<std::string> numberFormat;
    std::optional<std::string> fillHex;
    std::optional<std::string> inkHex;
    std::optional<double> fillHue;
    std::optional<double> fillChroma;
    std::optional<double> inkHue;
    std::optional<double> inkChroma;
    std::optional<bool> lowContrast;

    bool empty() const { return toJson().empty(); }
    // The wire form, keyed b, i, a, n, fx, k, fh, fc, kh, kc, lc. Also the stored form: its dump is
    // canonical (keys sorted), so equal styles share one row.
    nlohmann::json toJson() const;
    static CellStyle fromJson(const nlohmann::json &json);
    bool operator==(const CellStyle &other) const = default;
};
