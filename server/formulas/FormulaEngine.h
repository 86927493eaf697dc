#pragma once

#include "base/ContentLimits.h"

#include <cstdint>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ixion {
class model_context;
class formula_name_resolver;
} // namespace ixion

// The computed side of one tab: an ixion model holding every cell, which recalculates whatever
// depends on a change. The database stays the store of truth; this is rebuilt from it when needed.
//
// No content makes it fail: a formula that cannot be calculated (a function ixion does not
// implement, an error thrown while calculating, a range past the calculation budget) shows an
// error value in its own cell. Recalculation order is worked out here without recursion, so a long
// chain of formulas costs time, not stack; a write that makes a chain longer than the limit is
// refused with ChainTooLong.
class FormulaEngine {
public:
    static constexpr std::int64_t maxRows = 1048576;
    static constexpr std::int64_t maxCols = 16384;
    // The longest text a formula may answer with, as in other spreadsheet programs.
    static constexpr std::size_t maxTextBytes = 32767;

    struct Input {
        std::int64_t r = 0;
        std::int64_t c = 0;
        std::string raw;
    };
    struct Value {
        enum class Kind { Empty, Number, Text, Error };
        Kind kind = Kind::Empty;
        double number = 0;
        std::string text; // the string result, or the error's name
    };
    // The write would make a chain of formulas, each using the one before, longer than allowed.
    class ChainTooLong : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    explicit FormulaEngine(const ContentLimits &limits = {});
    ~FormulaEngine();
    FormulaEngine(const FormulaEngine &) = delete;
    FormulaEngine &operator=(const FormulaEngine &) = delete;

    // Loading: put every stored cell, then calculate once. Loading never refuses.
    void load(std::int64_t r, std::int64_t c, std::string_view raw);
    void calculateAll();

    // Sets the cells and recalculates what depends on them. Returns every position whose value may
    // have changed: the written cells and each formula that depends on them. Throws ChainTooLong
    // after placing the cells: the caller then drops this model.
    std::vector<std::pair<std::int64_t, std::int64_t>> set(const std::vector<Input> &inputs);

    Value value(std::int64_t r, std::int64_t c) const;
    // Cells held.
    std::size_t size() const { return m_cells; }
    // True when some cell holds a formula: then a write may recalculate others.
    bool holdsFormulas() const { return !m_formulas.empty(); }
    // What this model takes of the heap, estimated, for the memory budget of all models. An empty
    // model already takes megabytes: ixion keeps a store for each of the sheet's 16,384 columns.
    std::size_t memoryBytes() const { return emptyModelBytes + m_cellBytes; }
    static constexpr std::size_t emptyModelBytes = 5 * 1024 * 1024;

    // False when the formula cannot be calculated here: it does not parse, or it uses a function
    // this engine does not offer. Such formulas show an error value and are exported as text.
    bool usable(std::string_view formula);

private:
    using Key = std::int64_t; // row * maxCols + column
    struct Formula {
        std::int64_t depth = 0; // the longest chain of formulas ending here, this one counted
        bool offered = true;    // false: uses a function not offered here, never calculated
        std::string error;      // what the last calculation failed with, shown instead of a result
        std::size_t bytes = 0;  // its share of memoryBytes()
    };

    void place(std::int64_t r, std::int64_t c, std::string_view raw);
    // Orders the dirty formulas so that each comes after those it uses, and sets their depths.
    // With a limit, throws ChainTooLong when a formula's chain would grow past it.
    std::vector<Key> order(const std::vector<Key> &dirty, bool enforceLimit);
    std::vector<Key> usedFormulas(Key key, std::uint64_t &cost) const;
    void calculate(const std::vector<Key> &sorted);
    std::vector<Key> dirtyFrom(const std::vector<Key> &modified);

    ContentLimits m_limits;
    std::unique_ptr<ixion::model_context> m_context;
    std::unique_ptr<ixion::formula_name_resolver> m_resolver;
    std::vector<Key> m_pendingFormulas;
    std::unordered_map<Key, Formula> m_formulas;
    std::set<std::pair<std::int64_t, std::int64_t>> m_byColumn; // (column, row) of every formula
    std::size_t m_cells = 0;
    std::size_t m_cellBytes = 0;
};
