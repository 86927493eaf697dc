#include "formulas/FormulaEngine.h"

#include "formulas/FormulaText.h"
#include "formulas/NumberFormats.h"

#include <ixion/address.hpp>
#include <ixion/cell.hpp>
#include <ixion/cell_access.hpp>
#include <ixion/exceptions.hpp>
#include <ixion/formula.hpp>
#include <ixion/formula_function_opcode.hpp>
#include <ixion/formula_name_resolver.hpp>
#include <ixion/formula_result.hpp>
#include <ixion/formula_tokens.hpp>
#include <ixion/model_context.hpp>

#include <algorithm>
#include <chrono>
#include <deque>

namespace {

ixion::abs_address_t address(std::int64_t r, std::int64_t c) {
    return ixion::abs_address_t(0, static_cast<ixion::row_t>(r), static_cast<ixion::col_t>(c));
}

std::int64_t keyOf(std::int64_t r, std::int64_t c) {
    return r * FormulaEngine::maxCols + c;
}
std::int64_t rowOf(std::int64_t key) {
    return key / FormulaEngine::maxCols;
}
std::int64_t colOf(std::int64_t key) {
    return key % FormulaEngine::maxCols;
}

// The error names people know; ixion's internal failures read as #VALUE!.
std::string errorName(ixion::formula_error_t error) {
    switch (error) {
    case ixion::formula_error_t::ref_result_not_available:
        return "#REF!";
    case ixion::formula_error_t::division_by_zero:
        return "#DIV/0!";
    case ixion::formula_error_t::name_not_found:
        return "#NAME?";
    case ixion::formula_error_t::no_range_intersection:
        return "#NULL!";
    default:
        return "#VALUE!";
    }
}

// The functions ixion 0.17 calculates. It knows the names of many more but throws when asked to
// calculate them; WAIT only sleeps, so it is left out on purpose.
bool offered(ixion::formula_function_t function) {
    using F = ixion::formula_function_t;
    switch (function) {
    case F::func_average:
    case F::func_concatenate:
    case F::func_counta:
    case F::func_if:
    case F::func_int:
    case F::func_left:
    case F::func_len:
    case F::func_max:
    case F::func_min:
    case F::func_mmult:
    case F::func_now:
    case F::func_pi:
    case F::func_subtotal:
    case F::func_sum:
        return true;
    default:
        return false;
    }
}

// Only what the server can calculate: no names (none are defined), no tables, no other functions.
bool onlyOffered(const ixion::formula_tokens_t &tokens) {
    for (const auto &token : tokens) {
        switch (token->get_opcode()) {
        case ixion::fop_function:
            if (!offered(static_cast<ixion::formula_function_t>(token->get_uint32())))
                return false;
            break;
        case ixion::fop_named_expression:
        case ixion::fop_table_ref:
        case ixion::fop_error:
            return false;
        default:
            break;
        }
    }
    return true;
}

// A range as the cells it covers; whole rows and columns reach the sheet's edges.
ixion::abs_range_t clipped(ixion::abs_range_t range) {
    if (range.all_rows()) {
        range.first.row = 0;
        range.last.row = static_cast<ixion::row_t>(FormulaEngine::maxRows - 1);
    }
    if (range.all_columns()) {
        range.first.column = 0;
        range.last.column = static_cast<ixion::col_t>(FormulaEngine::maxCols - 1);
    }
    range.first.row = std::max<ixion::row_t>(range.first.row, 0);
    range.first.column = std::max<ixion::col_t>(range.first.column, 0);
    range.last.row =
        std::min<ixion::row_t>(range.last.row, static_cast<ixion::row_t>(FormulaEngine::maxRows - 1));
    range.last.column =
        std::min<ixion::col_t>(range.last.column, static_cast<ixion::col_t>(FormulaEngine::maxCols - 1));
    return range;
}

// What one cell adds to a model, for memoryBytes(): the heap in use around loading thousands of
// cells of each kind into ixion 0.17, rounded up. A formula costs most: its tokens, its result,
// ixion's dependency tracking and the bookkeeping here.
constexpr std::size_t numberBytes = 16;
constexpr std::size_t textBytes = 128;     // plus the text
constexpr std::size_t formulaBytes = 1152; // plus the formula

std::uint64_t area(const ixion::abs_range_t &range) {
    if (range.last.row < range.first.row || range.last.column < range.first.column)
        return 0;
    return static_cast<std::uint64_t>(range.last.row - range.first.row + 1) *
           static_cast<std::uint64_t>(range.last.column - range.first.column + 1);
}

} // namespace

FormulaEngine::FormulaEngine(const ContentLimits &limits)
    : m_limits(limits), m_context(std::make_unique<ixion::model_context>(ixion::rc_size_t(
                            static_cast<ixion::row_t>(maxRows), static_cast<ixion::col_t>(maxCols)))) {
    m_context->append_sheet("Sheet1");
    m_resolver = ixion::formula_name_resolver::get(ixion::formula_name_resolver_t::excel_a1, m_context.get());
}

FormulaEngine::~FormulaEngine() = default;

bool FormulaEngine::usable(std::string_view formula) {
    if (!FormulaText::isFormula(formula))
        return true;
    try {
        const auto tokens =
            ixion::parse_formula_string(*m_context, address(0, 0), *m_resolver, formula.substr(1));
        return onlyOffered(tokens);
    } catch (const std::exception &) {
        return false;
    }
}

void FormulaEngine::place(std::int64_t r, std::int64_t c, std::string_view raw) {
    const auto pos = address(r, c);
    const Key key = keyOf(r, c);
    const auto before = m_context->get_celltype(pos);
    if (before != ixion::celltype_t::empty)
        --m_cells;
    if (before == ixion::celltype_t::string)
        m_cellBytes -= textBytes + m_context->get_string_value(pos).size();
    else if (before == ixion::celltype_t::numeric || before == ixion::celltype_t::boolean)
        m_cellBytes -= numberBytes;
    // A formula written over another starts from the old one's depth: a write may keep a chain as
    // long as it was (made under a higher limit), just not lengthen it past the limit.
    std::int64_t depth = 0;
    if (before == ixion::celltype_t::formula) {
        ixion::unregister_formula_cell(*m_context, pos);
        const auto old = m_formulas.find(key);
        depth = old->second.depth;
        m_cellBytes -= old->second.bytes;
        m_formulas.erase(old);
        m_byColumn.erase({c, r});
    }
    if (raw.empty()) {
        m_context->empty_cell(pos);
        return;
    }
    ++m_cells;
    if (FormulaText::isFormula(raw)) {
        const std::string_view text = raw.substr(1);
        Formula formula;
        formula.depth = depth;
        formula.bytes = formulaBytes + raw.size();
        m_cellBytes += formula.bytes;
        ixion::formula_tokens_t tokens;
        try {
            tokens = ixion::parse_formula_string(*m_context, pos, *m_resolver, text);
            // Never run (see calculate()): the cell and the formulas using it show #NAME?.
            formula.offered = onlyOffered(tokens);
        } catch (const std::exception &error) {
            tokens = ixion::create_formula_error_tokens(*m_context, text, error.what());
        }
        auto *cell = m_context->set_formula_cell(pos, std::move(tokens));
        ixion::register_formula_cell(*m_context, pos, cell);
        m_formulas[key] = std::move(formula);
        m_byColumn.emplace(c, r);
        m_pendingFormulas.push_back(key);
        return;
    }
    double number = 0;
    if (NumberFormats::parse(raw, number)) {
        m_context->set_numeric_cell(pos, number);
        m_cellBytes += numberBytes;
    } else {
        m_context->set_string_cell(pos, raw);
        m_cellBytes += textBytes + raw.size();
    }
}

void FormulaEngine::load(std::int64_t r, std::int64_t c, std::string_view raw) {
    place(r, c, raw);
}

void FormulaEngine::calculateAll() {
    std::vector<Key> all;
    all.reserve(m_formulas.size());
    for (const auto &entry : m_formulas)
        all.push_back(entry.first);
    m_pendingFormulas.clear();
    calculate(order(all, false));
}

std::vector<FormulaEngine::Key> FormulaEngine::dirtyFrom(const std::vector<Key> &modified) {
    // ixion finds what depends on the change breadth first; only its sorting recurses, and that
    // is done in order() instead.
    ixion::abs_address_set_t positions;
    for (const Key key : modified)
        positions.insert(address(rowOf(key), colOf(key)));
    std::set<Key> dirty(m_pendingFormulas.begin(), m_pendingFormulas.end());
    m_pendingFormulas.clear();
    for (const auto &pos : ixion::query_dirty_cells(*m_context, positions))
        dirty.insert(keyOf(pos.row, pos.column));
    std::vector<Key> result;
    for (const Key key : dirty) {
        if (m_formulas.count(key))
            result.push_back(key);
    }
    return result;
}

std::vector<FormulaEngine::Key> FormulaEngine::usedFormulas(Key key, std::uint64_t &cost) const {
    std::vector<Key> used;
    const auto pos = address(rowOf(key), colOf(key));
    const auto *cell = m_context->get_formula_cell(pos);
    if (!cell)
        return used;
    for (const auto *token : cell->get_ref_tokens(*m_context, pos)) {
        if (token->get_opcode() == ixion::fop_single_ref) {
            const auto ref = token->get_single_ref().to_abs(pos);
            const Key other = keyOf(ref.row, ref.column);
            ++cost;
            if (m_formulas.count(other))
                used.push_back(other);
            continue;
        }
        if (token->get_opcode() != ixion::fop_range_ref)
            continue;
        const auto range = clipped(token->get_range_ref().to_abs(pos));
        const std::uint64_t columns = range.last.column - range.first.column + 1;
        if (columns > m_byColumn.size()) {
            cost += m_byColumn.size();
            for (const auto &[c, r] : m_byColumn) {
                if (c >= range.first.column && c <= range.last.column && r >= range.first.row &&
                    r <= range.last.row)
                    used.push_back(keyOf(r, c));
            }
            continue;
        }
        for (std::int64_t c = range.first.column; c <= range.last.column; ++c) {
            ++cost;
            for (auto it = m_byColumn.lower_bound({c, range.first.row});
                 it != m_byColumn.end() && it->first == c && it->second <= range.last.row; ++it) {
                ++cost;
                used.push_back(keyOf(it->second, c));
            }
        }
    }
    return used;
}

std::vector<FormulaEngine::Key> FormulaEngine::order(const std::vector<Key> &dirty, bool enforceLimit) {
    // Kahn's algorithm over the dirty formulas: a formula is ready once every dirty formula it
    // uses is placed. Those left at the end are in a cycle and show #REF!.
    std::unordered_map<Key, std::size_t> index;
    index.reserve(dirty.size());
    for (std::size_t i = 0; i < dirty.size(); ++i)
        index.emplace(dirty[i], i);
    std::vector<std::int64_t> depth(dirty.size(), 0);
    std::vector<std::size_t> waiting(dirty.size(), 0);
    std::vector<std::vector<std::size_t>> users(dirty.size());
    std::uint64_t cost = 0;
    for (std::size_t i = 0; i < dirty.size(); ++i) {
        for (const Key used : usedFormulas(dirty[i], cost)) {
            const auto found = index.find(used);
            if (found == index.end()) {
                depth[i] = std::max(depth[i], m_formulas.at(used).depth);
            } else if (found->second != i) {
                users[found->second].push_back(i);
                ++waiting[i];
            }
        }
    }
    std::vector<Key> sorted;
    sorted.reserve(dirty.size());
    std::deque<std::size_t> ready;
    for (std::size_t i = 0; i < dirty.size(); ++i) {
        if (waiting[i] == 0)
            ready.push_back(i);
    }
    std::vector<bool> placed(dirty.size(), false);
    auto settle = [&](std::size_t i) {
        placed[i] = true;
        depth[i] += 1;
        Formula &formula = m_formulas.at(dirty[i]);
        if (enforceLimit && depth[i] > m_limits.maxChainDepth && depth[i] > formula.depth)
            throw ChainTooLong("A chain of formulas, each using the one before, may be at most " +
                               std::to_string(m_limits.maxChainDepth) + " long. Nothing was changed.");
        formula.depth = depth[i];
        sorted.push_back(dirty[i]);
    };
    while (!ready.empty()) {
        const std::size_t i = ready.front();
        ready.pop_front();
        settle(i);
        for (const std::size_t user : users[i]) {
            depth[user] = std::max(depth[user], depth[i]);
            if (--waiting[user] == 0)
                ready.push_back(user);
        }
    }
    for (std::size_t i = 0; i < dirty.size(); ++i) {
        if (!placed[i])
            settle(i);
    }
    return sorted;
}

void FormulaEngine::calculate(const std::vector<Key> &sorted) {
    std::vector<std::pair<ixion::abs_address_t, ixion::formula_cell *>> cells;
    cells.reserve(sorted.size());
    for (const Key key : sorted) {
        const auto pos = address(rowOf(key), colOf(key));
        if (auto *cell = m_context->get_formula_cell(pos))
            cells.emplace_back(pos, cell);
    }
    // As ixion's own calculate_sorted_cells does, but one failure stays in its cell. Without a
    // calculation-begins notice, a result that is not there throws instead of waiting forever.
    for (auto &[pos, cell] : cells)
        cell->reset();
    for (auto &[pos, cell] : cells)
        cell->check_circular(*m_context, pos);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_limits.calculationMillis);
    std::uint64_t spent = 0;
    bool stopped = false;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        auto &[pos, cell] = cells[i];
        Formula &formula = m_formulas.at(keyOf(pos.row, pos.column));
        formula.error.clear();
        std::uint64_t cost = 1;
        for (const auto *token : cell->get_ref_tokens(*m_context, pos)) {
            if (token->get_opcode() == ixion::fop_range_ref)
                cost += area(clipped(token->get_range_ref().to_abs(pos)));
        }
        if (!stopped && (i % 64) == 0 && std::chrono::steady_clock::now() > deadline)
            stopped = true;
        if (!formula.offered) {
            cell->set_result_cache(ixion::formula_result(ixion::formula_error_t::name_not_found));
            continue;
        }
        if (stopped || spent + cost > m_limits.calculationCells) {
            // Too costly for one recalculation: this cell shows #VALUE! rather than hold the server.
            cell->set_result_cache(ixion::formula_result(ixion::formula_error_t::invalid_value_type));
            continue;
        }
        spent += cost;
        try {
            cell->interpret(*m_context, pos);
            // Text that doubles from cell to cell (=A1&A1, then =B1&B1, ...) would soon fill memory.
            const auto &result =
                cell->get_raw_result_cache(ixion::formula_result_wait_policy_t::throw_exception);
            if (result.get_type() == ixion::formula_result::result_type::string &&
                result.get_string().size() > maxTextBytes)
                cell->set_result_cache(ixion::formula_result(ixion::formula_error_t::invalid_value_type));
        } catch (const ixion::not_implemented_error &) {
            formula.error = "#NAME?";
            cell->set_result_cache(ixion::formula_result(ixion::formula_error_t::name_not_found));
        } catch (const std::exception &) {
            cell->set_result_cache(ixion::formula_result(ixion::formula_error_t::invalid_value_type));
        }
    }
}

std::vector<std::pair<std::int64_t, std::int64_t>> FormulaEngine::set(const std::vector<Input> &inputs) {
    std::vector<Key> modified;
    modified.reserve(inputs.size());
    for (const auto &input : inputs) {
        place(input.r, input.c, input.raw);
        modified.push_back(keyOf(input.r, input.c));
    }
    const auto sorted = order(dirtyFrom(modified), true);
    calculate(sorted);

    std::vector<std::pair<std::int64_t, std::int64_t>> changed;
    std::set<Key> seen;
    auto add = [&](Key key) {
        if (seen.insert(key).second)
            changed.emplace_back(rowOf(key), colOf(key));
    };
    for (const Key key : modified)
        add(key);
    for (const Key key : sorted)
        add(key);
    return changed;
}

FormulaEngine::Value FormulaEngine::value(std::int64_t r, std::int64_t c) const {
    const auto pos = address(r, c);
    const auto access = m_context->get_cell_access(pos);
    Value value;
    switch (access.get_type()) {
    case ixion::celltype_t::numeric:
        value.kind = Value::Kind::Number;
        value.number = access.get_numeric_value();
        break;
    case ixion::celltype_t::string:
        value.kind = Value::Kind::Text;
        value.text = std::string(access.get_string_value());
        break;
    case ixion::celltype_t::boolean:
        value.kind = Value::Kind::Text;
        value.text = access.get_boolean_value() ? "TRUE" : "FALSE";
        break;
    case ixion::celltype_t::formula: {
        if (const auto it = m_formulas.find(keyOf(r, c)); it != m_formulas.end()) {
            if (!it->second.error.empty()) {
                value.kind = Value::Kind::Error;
                value.text = it->second.error;
                break;
            }
        }
        ixion::formula_result result;
        try {
            result = access.get_formula_result();
        } catch (const std::exception &) {
            result = ixion::formula_result(ixion::formula_error_t::invalid_value_type);
        }
        switch (result.get_type()) {
        case ixion::formula_result::result_type::value:
            value.kind = Value::Kind::Number;
            value.number = result.get_value();
            break;
        case ixion::formula_result::result_type::string:
            value.kind = Value::Kind::Text;
            value.text = result.get_string();
            break;
        case ixion::formula_result::result_type::error:
            value.kind = Value::Kind::Error;
            value.text = errorName(result.get_error());
            break;
        case ixion::formula_result::result_type::matrix:
            value.kind = Value::Kind::Error;
            value.text = "#VALUE!";
            break;
        }
        break;
    }
    default:
        break;
    }
    return value;
}
