#include "workbooks/WorkbookWriter.h"

#include "base/Tokens.h"
#include "formulas/FormulaEngine.h"
#include "formulas/FormulaText.h"
#include "sheets/Palette.h"

#include <xlsxwriter.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr double inkLightness = 0.42;

lxw_color_t colour(const std::string &hex) {
    if (hex.size() != 7 || hex[0] != '#')
        return LXW_COLOR_BLACK;
    return static_cast<lxw_color_t>(std::stoul(hex.substr(1), nullptr, 16));
}

// Removes the file however the export ends.
struct TemporaryFile {
    std::string path;
    ~TemporaryFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

// The workbook and its formats, closed (and freed) however the export ends.
class Book {
public:
    explicit Book(const std::string &path) {
        lxw_workbook_options options{};
        options.constant_memory = LXW_FALSE;
        m_book = workbook_new_opt(path.c_str(), &options);
        if (!m_book)
            throw std::runtime_error("The workbook file could not be created.");
    }
    ~Book() {
        if (m_book)
            workbook_close(m_book);
    }
    Book(const Book &) = delete;
    Book &operator=(const Book &) = delete;

    lxw_workbook *get() { return m_book; }
    void close() {
        const lxw_error error = workbook_close(m_book);
        m_book = nullptr;
        if (error != LXW_NO_ERROR)
            throw std::runtime_error(std::string("The workbook could not be written: ") +
                                     lxw_strerror(error));
    }

private:
    lxw_workbook *m_book = nullptr;
};

lxw_format *formatFor(lxw_workbook *book, const CellStyle &style) {
    lxw_format *format = workbook_add_format(book);
    if (style.bold.value_or(false))
        format_set_bold(format);
    if (style.italic.value_or(false))
        format_set_italic(format);
    if (style.align == "center")
        format_set_align(format, LXW_ALIGN_CENTER);
    else if (style.align == "right")
        format_set_align(format, LXW_ALIGN_RIGHT);
    else if (style.align == "left")
        format_set_align(format, LXW_ALIGN_LEFT);
    if (style.numberFormat && !style.numberFormat->empty())
        format_set_num_format(format, style.numberFormat->c_str());
    std::string fill = style.fillHex.value_or("");
    if (fill.empty() && style.fillHue && style.fillChroma)
        fill = Palette::hex(Palette::lightFillLightness, *style.fillChroma, *style.fillHue);
    if (!fill.empty()) {
        format_set_pattern(format, LXW_PATTERN_SOLID);
        format_set_bg_color(format, colour(fill));
    }
    std::string ink = style.inkHex.value_or("");
    if (ink.empty() && style.inkHue && style.inkChroma)
        ink = Palette::hex(inkLightness, *style.inkChroma, *style.inkHue);
    if (!ink.empty())
        format_set_font_color(format, colour(ink));
    return format;
}

std::string sheetName(const std::string &name) {
    std::string result;
    for (const char ch : name) {
        if (std::string_view("[]:*?/\\").find(ch) == std::string_view::npos)
            result += ch;
    }
    if (result.empty() || result.size() > 31)
        return "Sheet1";
    return result;
}

} // namespace

double WorkbookWriter::widthToCharacters(double points) {
    return std::max(0.0, (points - 5.0) / 7.0);
}

std::string WorkbookWriter::write(const Content &content, const std::string &folder) {
    TemporaryFile file{folder + "/export-" + Tokens::random() + ".xlsx"};
    {
        Book book(file.path);
        lxw_worksheet *sheet = workbook_add_worksheet(book.get(), sheetName(content.tabName).c_str());
        if (!sheet)
            throw std::runtime_error("The worksheet could not be added.");
        // Parses formulas the way the server calculates them, to tell which it could.
        FormulaEngine engine;
        std::map<std::int64_t, lxw_format *> formats;
        for (const auto &[id, style] : content.styles)
            formats[id] = formatFor(book.get(), style);
        for (const auto &[index, points] : content.sizes.cols)
            worksheet_set_column(sheet, static_cast<lxw_col_t>(index), static_cast<lxw_col_t>(index),
                                 widthToCharacters(points), nullptr);
        for (const auto &[index, points] : content.sizes.rows)
            worksheet_set_row(sheet, static_cast<lxw_row_t>(index), points, nullptr);
        for (const auto &cell : content.cells) {
            const auto row = static_cast<lxw_row_t>(cell.r);
            const auto col = static_cast<lxw_col_t>(cell.c);
            lxw_format *format = nullptr;
            if (cell.styleId) {
                if (const auto it = formats.find(*cell.styleId); it != formats.end())
                    format = it->second;
            }
            lxw_error error = LXW_NO_ERROR;
            if (cell.raw.empty())
                error = worksheet_write_blank(sheet, row, col, format);
            else if (FormulaText::isFormula(cell.raw) && engine.usable(cell.raw)) {
                // The computed result goes along, so programs that do not recalculate show it.
                if (cell.numeric && cell.value)
                    error =
                        worksheet_write_formula_num(sheet, row, col, cell.raw.c_str(), format, *cell.value);
                else
                    error = worksheet_write_formula_str(sheet, row, col, cell.raw.c_str(), format,
                                                        cell.display.c_str());
            } else if (cell.numeric && cell.value)
                error = worksheet_write_number(sheet, row, col, *cell.value, format);
            else if (FormulaText::isFormula(cell.raw))
                // A formula the server could not calculate (=cmd|' /C calc'!A0 and the like) would
                // run in another program: it goes out as the text it shows here.
                error = worksheet_write_string(sheet, row, col, cell.display.c_str(), format);
            else
                error = worksheet_write_string(sheet, row, col, cell.raw.c_str(), format);
            if (error != LXW_NO_ERROR)
                throw std::runtime_error(std::string("A cell could not be written: ") + lxw_strerror(error));
        }
        book.close();
    }
    std::ifstream in(file.path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in)
        throw std::runtime_error("The written workbook could not be read back.");
    return bytes.str();
}
