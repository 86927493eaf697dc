#pragma once

#include <cstdint>
#include <optional>
#include <string>

// One cell as kept in the database: what was typed, what it shows, and its style.
struct StoredCell {
    std::int64_t r = 0;
    std::int64_t c = 0;
    std::string raw;
    std::string display;
    std::optional<double> value; // the number behind display, for numeric cells
    bool numeric = false;
    std::optional<std::int64_t> styleId;

    bool removable() const { return raw.empty() && !styleId; }
};
