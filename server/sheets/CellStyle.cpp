#include "sheets/CellStyle.h"

namespace {

template <typename T> void put(nlohmann::json &json, const char *key, const std::optional<T> &value) {
    if (value)
        json[key] = *value;
}

template <typename T> void take(const nlohmann::json &json, const char *key, std::optional<T> &value) {
    const auto it = json.find(key);
    if (it == json.end() || it->is_null())
        return;
    if constexpr (std::is_same_v<T, bool>) {
        if (it->is_boolean())
            value = it->template get<bool>();
    } else if constexpr (std::is_same_v<T, double>) {
        if (it->is_number())
            value = it->template get<double>();
    } else {
        if (it->is_string())
            value = it->template get<std::string>();
    }
}

} // namespace

nlohmann::json CellStyle::toJson() const {
    nlohmann::json json = nlohmann::json::object();
    // Only set attributes are written; "false" flags are dropped so that a cleared style is empty.
    if (bold.value_or(false))
        json["b"] = true;
    if (italic.value_or(false))
        json["i"] = true;
    put(json, "a", align);
    put(json, "n", numberFormat);
    put(json, "fx", fillHex);
    put(json, "k", inkHex);
    put(json, "fh", fillHue);
    put(json, "fc", fillChroma);
    put(json, "kh", inkHue);
    put(json, "kc", inkChroma);
    if (lowContrast.value_or(false))
        json["lc"] = true;
    return json;
}

CellStyle CellStyle::fromJson(const nlohmann::json &json) {
    CellStyle style;
    if (!json.is_object())
        return style;
    take(json, "b", style.bold);
    take(json, "i", style.italic);
    take(json, "a", style.align);
    take(json, "n", style.numberFormat);
    take(json, "fx", style.fillHex);
    take(json, "k", style.inkHex);
    take(json, "fh", style.fillHue);
    take(json, "fc", style.fillChroma);
    take(json, "kh", style.inkHue);
    take(json, "kc", style.inkChroma);
    take(json, "lc", style.lowContrast);
    return style;
}
