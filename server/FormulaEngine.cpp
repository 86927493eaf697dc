#include "FormulaEngine.h"

#include "FormulaText.h"
#include "NumberFormats.h"

#include <ixion/address.hpp>
#include <ixion/cell.hpp>
#include <ixion/cell_access.hpp>
#include <ixion/formula.hpp>
#include <ixion/formula_name_resolver.hpp>
#include <ixion/formula_result.hpp>
#include <ixion/model_context.hpp>

#include <algorithm>
#include <set>

namespace {

ixion::abs_address_t address(std::int64_t r, std::int64_t c) {
    return ixion::abs_address_t(0, static_cast<ixion::row_t>(r), static_cast<ixion::col_t>(c));
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

} // namespace

FormulaEngine::FormulaEngine()
    : m_context(std::make_unique<ixion::model_context>(
          ixion::rc_size_t(static_cast<ixion::row_t>(maxRows), static_cast<ixion::col_t>(maxCols)))) {
    m_context->append_sheet("Sheet1");
    m_resolver = ixion::formula_name_resolver::get(ixion::formula_name_resolver_t::excel_a1, m_context.get());
}

FormulaEngine::~FormulaEngine() = default;

void FormulaEngine::place(std::int64_t r, std::int64_t c, std::string_view raw) {
    const auto pos = address(r, c);
    if (m_context->get_celltype(pos) == ixion::celltype_t::formula)
        ixion::unregister_formula_cell(*m_context, pos);
    if (raw.empty()) {
        m_context->empty_cell(pos);
        return;
    }
    if (FormulaText::isFormula(raw)) {
        const std::string_view text = raw.substr(1);
        ixion::formula_tokens_t tokens;
        try {
            tokens = ixion::parse_formula_string(*m_context, pos, *m_resolver, text);
        } catch (const std::exception &error) {
            tokens = ixion::create_formula_error_tokens(*m_context, text, error.what());
        }
        auto *cell = m_context->set_formula_cell(pos, std::move(tokens));
        ixion::register_formula_cell(*m_context, pos, cell);
        m_pendingFormulas.emplace_back(r, c);
        return;
    }
    double number = 0;
    if (NumberFormats::parse(raw, number))
        m_context->set_numeric_cell(pos, number);
    else
        m_context->set_string_cell(pos, raw);
}

void FormulaEngine::load(std::int64_t r, std::int64_t c, std::string_view raw) {
    place(r, c, raw);
}

void FormulaEngine::calculateAll() {
    ixion::abs_range_set_t formulas;
    for (const auto &[r, c] : m_pendingFormulas)
        formulas.insert(ixion::abs_range_t(address(r, c)));
    m_pendingFormulas.clear();
    const auto sorted = ixion::query_and_sort_dirty_cells(*m_context, ixion::abs_range_set_t(), &formulas);
    ixion::calculate_sorted_cells(*m_context, sorted, 0);
}

std::vector<std::pair<std::int64_t, std::int64_t>> FormulaEngine::set(const std::vector<Input> &inputs) {
    ixion::abs_range_set_t modified;
    for (const auto &input : inputs) {
        place(input.r, input.c, input.raw);
        modified.insert(ixion::abs_range_t(address(input.r, input.c)));
    }
    ixion::abs_range_set_t formulas;
    for (const auto &[r, c] : m_pendingFormulas)
        formulas.insert(ixion::abs_range_t(address(r, c)));
    m_pendingFormulas.clear();
    const auto sorted = ixion::query_and_sort_dirty_cells(*m_context, modified, &formulas);
    ixion::calculate_sorted_cells(*m_context, sorted, 0);

    std::vector<std::pair<std::int64_t, std::int64_t>> changed;
    std::set<std::pair<std::int64_t, std::int64_t>> seen;
    auto add = [&](std::int64_t r, std::int64_t c) {
        if (seen.emplace(r, c).second)
            changed.emplace_back(r, c);
    };
    for (const auto &input : inputs)
        add(input.r, input.c);
    for (const auto &range : sorted) {
        for (auto row = range.first.row; row <= range.last.row; ++row) {
            for (auto col = range.first.column; col <= range.last.column; ++col)
                add(row, col);
        }
    }
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
        const auto result = access.get_formula_result();
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
