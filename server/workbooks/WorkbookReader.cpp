#include "workbooks/WorkbookReader.h"

#include "base/TextRules.h"
#include "formulas/FormulaEngine.h"
#include "formulas/NumberFormats.h"
#include "sheets/CellRef.h"

#include <ixion/address.hpp>
#include <ixion/cell.hpp>
#include <ixion/formula.hpp>
#include <ixion/formula_name_resolver.hpp>
#include <ixion/formula_tokens.hpp>
#include <ixion/model_context.hpp>
#include <orcus/orcus_xlsx.hpp>
#include <orcus/spreadsheet/document.hpp>
#include <orcus/spreadsheet/factory.hpp>
#include <orcus/spreadsheet/sheet.hpp>
#include <orcus/spreadsheet/styles.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>

namespace ss = orcus::spreadsheet;

namespace {

// orcus gives row heights in twips (1/20 point) and column widths in twips of its own digit
// width; widths in points count 7 per character plus 5 of padding, as WorkbookWriter writes them.
constexpr double twipsPerPoint = 20.0;
constexpr double columnTwipsPerPoint = 107.67 / 7.0;
constexpr double minSize = 16;
constexpr double maxSize = 2000;
constexpr double lowContrastRatio = 4.5;

std::string hex(const ss::color_t &colour) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", colour.red, colour.green, colour.blue);
    return text;
}

double luminance(const std::string &colour) {
    const auto channel = [&](std::size_t at) {
        const double value = std::stoi(colour.substr(at, 2), nullptr, 16) / 255.0;
        return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(1) + 0.7152 * channel(3) + 0.0722 * channel(5);
}

std::string numberText(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

class StyleReader {
public:
    explicit StyleReader(const ss::styles &styles) : m_styles(styles) {
        // Cell formats name number formats by their workbook id, not by their place in the store.
        for (std::size_t i = 0; i < styles.get_number_format_count(); ++i) {
            if (const auto *format = styles.get_number_format(i))
                m_numberFormats[format->identifier] = std::string(format->format_string);
        }
    }

    const CellStyle &style(std::size_t xf) {
        const auto found = m_cache.find(xf);
        if (found != m_cache.end())
            return found->second;
        return m_cache.emplace(xf, build(xf)).first->second;
    }

private:
    CellStyle build(std::size_t xf) {
        CellStyle style;
        const ss::cell_format_t *format = m_styles.get_cell_format(xf);
        if (!format)
            return style;
        if (const auto *font = m_styles.get_font_state(format->font)) {
            if (font->second.bold && font->first.bold)
                style.bold = true;
            if (font->second.italic && font->first.italic)
                style.italic = true;
            const auto &colour = font->first.color;
            if (font->second.color && (colour.red || colour.green || colour.blue))
                style.inkHex = hex(colour);
        }
        if (const auto *fill = m_styles.get_fill_state(format->fill)) {
            if (fill->first.pattern_type == ss::fill_pattern_t::solid && fill->second.fg_color)
                style.fillHex = hex(fill->first.fg_color);
        }
        switch (format->hor_align) {
        case ss::hor_alignment_t::center:
            style.align = "center";
            break;
        case ss::hor_alignment_t::right:
            style.align = "right";
            break;
        case ss::hor_alignment_t::left:
            style.align = "left";
            break;
        default:
            break;
        }
        const auto known = m_numberFormats.find(format->number_format);
        const auto code = WorkbookReader::numberFormat(known != m_numberFormats.end() ? known->second : "",
                                                       format->number_format);
        if (!code.empty())
            style.numberFormat = code;
        if (style.fillHex || style.inkHex) {
            if (WorkbookReader::contrast(style.fillHex.value_or("#ffffff"),
                                         style.inkHex.value_or("#000000")) < lowContrastRatio)
                style.lowContrast = true;
        }
        return CellStyle::fromJson(style.toJson());
    }

    const ss::styles &m_styles;
    std::map<std::size_t, CellStyle> m_cache;
    std::map<std::size_t, std::string> m_numberFormats;
};

} // namespace

double WorkbookReader::contrast(const std::string &a, const std::string &b) {
    const double first = luminance(a);
    const double second = luminance(b);
    return (std::max(first, second) + 0.05) / (std::min(first, second) + 0.05);
}

std::string WorkbookReader::numberFormat(std::string_view code, std::size_t builtinId) {
    if (code.empty() || code == "General") {
        switch (builtinId) {
        case 2:
            return "0.00";
        case 3:
            return "#,##0";
        case 4:
            return "#,##0.00";
        case 9:
            return "0%";
        case 10:
            return "0.00%";
        case 14:
        case 15:
        case 16:
        case 17:
        case 22:
            return "yyyy-mm-dd";
        default:
            return "";
        }
    }
    if (NumberFormats::known(code))
        return std::string(code);
    std::string lower(code);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; });
    const bool decimals = lower.find(".00") != std::string::npos || lower.find(".0") != std::string::npos;
    if (lower.find('%') != std::string::npos)
        return decimals ? "0.00%" : "0%";
    if (lower.find("yy") != std::string::npos ||
        (lower.find('d') != std::string::npos && lower.find('m') != std::string::npos))
        return "yyyy-mm-dd";
    if (lower.find('$') != std::string::npos)
        return "$#,##0.00";
    if (lower.find("#,##0") != std::string::npos)
        return decimals ? "#,##0.00" : "#,##0";
    if (lower.find("0.00") != std::string::npos)
        return "0.00";
    return "";
}

WorkbookReader::Sheet WorkbookReader::read(std::string_view bytes, const ArchiveLimits::Limits &limits) {
    // Every .xlsx and .xlsm file is a zip archive.
    if (bytes.size() < 4 || bytes.substr(0, 4) != std::string_view("PK\x03\x04", 4))
        throw Unreadable("This file is not an .xlsx or .xlsm workbook.");

    // orcus unpacks every part into memory whole; a small file must not unpack into gigabytes.
    if (const auto refused = ArchiveLimits::check(bytes, limits))
        throw Unreadable(*refused);
    ss::document document(ss::range_size_t{static_cast<ixion::row_t>(FormulaEngine::maxRows),
                                           static_cast<ixion::col_t>(FormulaEngine::maxCols)});
    ss::import_factory factory(document);
    orcus::orcus_xlsx filter(&factory);
    try {
        filter.read_stream(bytes);
    } catch (const std::exception &) {
        throw Unreadable(
            "This workbook could not be read: the file is damaged or is not an .xlsx or .xlsm workbook.");
    }
    if (document.get_sheet_count() == 0)
        throw Unreadable("This workbook has no worksheet.");
    const ss::sheet *source = document.get_sheet(0);
    if (!source)
        throw Unreadable("This workbook has no worksheet.");

    Sheet result;
    const auto &model = document.get_model_context();
    const auto resolver = ixion::formula_name_resolver::get(ixion::formula_name_resolver_t::excel_a1, &model);
    StyleReader styles(document.get_styles());

    const ixion::abs_range_t range = source->get_data_range();
    if (!range.valid() || range.first.row < 0)
        return result; // an empty worksheet imports as an empty sheet
    const std::int64_t rows = range.last.row + 1;
    const std::int64_t cols = range.last.column + 1;
    if (rows * cols > maxPositions)
        throw Unreadable("The first worksheet spans " + std::to_string(rows) + " rows by " +
                         std::to_string(cols) + " columns, more than this server imports.");

    for (std::int64_t r = 0; r < rows; ++r) {
        for (std::int64_t c = 0; c < cols; ++c) {
            const ixion::abs_address_t position(0, static_cast<ixion::row_t>(r),
                                                static_cast<ixion::col_t>(c));
            Cell cell{r, c, {}, {}};
            switch (model.get_celltype(position)) {
            case ixion::celltype_t::string:
                cell.raw = std::string(model.get_string_value(position));
                break;
            case ixion::celltype_t::numeric:
                cell.raw = numberText(model.get_numeric_value(position));
                break;
            case ixion::celltype_t::boolean:
                cell.raw = model.get_boolean_value(position) ? "TRUE" : "FALSE";
                break;
            case ixion::celltype_t::formula:
                if (const auto *formula = model.get_formula_cell(position)) {
                    cell.raw = "=" + ixion::print_formula_tokens(model, position, *resolver,
                                                                 formula->get_tokens()->get());
                }
                break;
            default:
                break;
            }
            const std::size_t xf =
                source->get_cell_format(static_cast<ss::row_t>(r), static_cast<ss::col_t>(c));
            if (xf != 0)
                cell.style = styles.style(xf);
            if (cell.raw.empty() && cell.style.empty())
                continue;
            if (cell.raw.size() > maxRawBytes)
                throw Unreadable("Cell " + cellRef(r, c) +
                                 " holds more than 8,192 bytes, more than a cell here can hold.");
            if (!TextRules::validUtf8(cell.raw))
                throw Unreadable("Cell " + cellRef(r, c) + " holds text that is not valid UTF-8.");
            result.cells.push_back(std::move(cell));
            if (result.cells.size() > maxCells)
                throw Unreadable(
                    "The first worksheet holds more than 1,000,000 cells, more than this server imports.");
        }
    }

    // orcus answers the run of equal sizes around an index, its end exclusive.
    const auto defaultWidth = ss::get_default_column_width();
    for (ss::col_t c = 0; c < static_cast<ss::col_t>(cols);) {
        ss::col_t first = c, last = c + 1;
        const auto width = source->get_col_width(c, &first, &last);
        last = std::max<ss::col_t>(last, c + 1);
        if (width != defaultWidth) {
            const double points = std::clamp(std::round(width / columnTwipsPerPoint), minSize, maxSize);
            for (ss::col_t k = c; k < std::min<ss::col_t>(last, static_cast<ss::col_t>(cols)); ++k)
                result.sizes.cols[k] = points;
        }
        c = last;
    }
    const auto defaultHeight = ss::get_default_row_height();
    for (ss::row_t r = 0; r < static_cast<ss::row_t>(rows);) {
        ss::row_t first = r, last = r + 1;
        const auto height = source->get_row_height(r, &first, &last);
        last = std::max<ss::row_t>(last, r + 1);
        // Programs write every row's height; heights below the grid's smallest are their default
        // text height and are left to the grid's own default.
        if (height != defaultHeight && std::round(height / twipsPerPoint) >= minSize) {
            const double points = std::min(std::round(height / twipsPerPoint), maxSize);
            for (ss::row_t k = r; k < std::min<ss::row_t>(last, static_cast<ss::row_t>(rows)); ++k)
                result.sizes.rows[k] = points;
        }
        r = last;
    }
    return result;
}
