#pragma once

#include <cstdint>

// How much one account's content may hold and cost. The defaults suit a shared server; tests lower
// them through server options.
struct ContentLimits {
    // The longest chain of formulas, each using the one before, that a write may make.
    std::int64_t maxChainDepth = 10'000;
    // Cells one recalculation may visit (each formula counts one, plus the cells of its ranges);
    // formulas past it show an error value.
    std::uint64_t calculationCells = 20'000'000;
    // Wall time of one recalculation; formulas not reached by then show an error value.
    std::int64_t calculationMillis = 5'000;
    // Stored cells (with text or a format) in one sheet, and sheets owned by one account.
    std::int64_t maxCellsPerSheet = 1'000'000;
    std::int64_t maxSheetsPerAccount = 1'000;
    // Memory held by the formula models of all sheets together; the models of the sheets least
    // recently used are dropped past it and rebuilt when next needed.
    std::int64_t formulaMemoryBytes = std::int64_t(512) * 1024 * 1024;
};
