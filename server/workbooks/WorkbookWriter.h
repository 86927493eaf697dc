#pragma once

#include "sheets/CellStyle.h"
#include "sheets/Sizes.h"
#include "sheets/StoredCell.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Writes one tab as an .xlsx workbook with libxlsxwriter: values, formulas with their computed
// results, bold, italic, alignment, colours, number formats, column widths and row heights. Only
// formulas the server can calculate go out as formulas; any other shows as its text.
class WorkbookWriter {
public:
    struct Content {
        std::string tabName;
        std::vector<StoredCell> cells;
        std::map<std::int64_t, CellStyle> styles;
        Sizes sizes;
    };

    static constexpr const char *contentType =
        "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";

    // The workbook's bytes; throws std::runtime_error when it cannot be written.
    static std::string write(const Content &content, const std::string &folder);

    // Column widths are points on screen and characters of the default font in a workbook.
    static double widthToCharacters(double points);
};
