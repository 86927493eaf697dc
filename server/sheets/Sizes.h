#pragma once

#include <cstdint>
#include <map>

// Row heights and column widths that differ from the defaults, by zero-based index.
struct Sizes {
    std::map<std::int64_t, double> cols;
    std::map<std::int64_t, double> rows;
};
