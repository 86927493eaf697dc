#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ixion {
class model_context;
class formula_name_resolver;
} // namespace ixion

// The computed side of one tab: an ixion model holding every cell, which recalculates whatever
// depends on a change. The database stays the store of truth; this is rebuilt from it when needed.
class FormulaEngine {
public:
    static constexpr std::int64_t maxRows = 1048576;
    static constexpr std::int64_t maxCols = 16384;

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

    FormulaEngine();
    ~FormulaEngine();
    FormulaEngine(const FormulaEngine &) = delete;
    FormulaEngine &operator=(const FormulaEngine &) = delete;

    // Loading: put every stored cell, then calculate once.
    void load(std::int64_t r, std::int64_t c, std::string_view raw);
    void calculateAll();

    // Sets the cells and recalculates what depends on them. Returns every position whose value may
    // have changed: the written cells and each formula that depends on them.
    std::vector<std::pair<std::int64_t, std::int64_t>> set(const std::vector<Input> &inputs);

    Value value(std::int64_t r, std::int64_t c) const;

private:
    void place(std::int64_t r, std::int64_t c, std::string_view raw);

    std::unique_ptr<ixion::model_context> m_context;
    std::unique_ptr<ixion::formula_name_resolver> m_resolver;
    std::vector<std::pair<std::int64_t, std::int64_t>> m_pendingFormulas;
};
