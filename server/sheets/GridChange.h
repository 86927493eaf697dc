#pragma once

#include "sheets/CellStyle.h"
#include "sheets/Sizes.h"
#include "sheets/StoredCell.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

// A window of a tab, or what one change did to it: the data of a grid answer and of a live event.
struct GridChange {
    std::uint64_t version = 0;
    std::optional<std::int64_t> rows;
    std::optional<std::int64_t> cols;
    std::vector<StoredCell> cells;
    std::map<std::int64_t, CellStyle> styles; // every style the cells use, by id
    std::optional<Sizes> sizes;
    std::optional<std::int64_t> stamps;

    // Above this many cells a change is not spelled out; the client reloads instead.
    static constexpr std::size_t resyncThreshold = 5000;
    // A requested window (rows set) is always sent in full.
    bool tooLarge() const { return !rows && cells.size() > resyncThreshold; }
};
