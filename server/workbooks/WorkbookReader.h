#pragma once

#include "sheets/CellStyle.h"
#include "sheets/Sizes.h"
#include "workbooks/ArchiveLimits.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Reads the first worksheet of an .xlsx or .xlsm workbook with orcus: values, formulas, bold,
// italic, alignment, fills, text colours, number formats, column widths and row heights. Colours
// that are hard to read together are marked low-contrast.
class WorkbookReader {
public:
    // A workbook that cannot be imported; the message is for people.
    class Unreadable : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    struct Cell {
        std::int64_t r = 0;
        std::int64_t c = 0;
        std::string raw;
        CellStyle style;
    };
    struct Sheet {
        std::vector<Cell> cells; // row by row
        Sizes sizes;
    };

    static constexpr std::int64_t maxPositions = 20'000'000;
    static constexpr std::size_t maxCells = 1'000'000;
    static constexpr std::size_t maxRawBytes = 8192;

    static Sheet read(std::string_view bytes, const ArchiveLimits::Limits &limits = {});

    // The WCAG contrast ratio of two "#rrggbb" colours (1 to 21).
    static double contrast(const std::string &a, const std::string &b);
    // The nearest number format the server offers for a workbook's format code or built-in id.
    static std::string numberFormat(std::string_view code, std::size_t builtinId);
};
