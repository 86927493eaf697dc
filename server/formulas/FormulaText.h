#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Edits of formula text that must keep everything but the cell references exactly as typed.
class FormulaText {
public:
    // The formula as it reads when copied by (rows, cols): relative parts of every A1 reference
    // move, "$" parts stay, and a reference pushed off the sheet becomes #REF!.
    static std::string move(std::string_view formula, std::int64_t rows, std::int64_t cols,
                            std::int64_t maxRows, std::int64_t maxCols);
    // True when the formula holds a #REF! outside string literals: such a formula shows #REF!.
    static bool hasReferenceError(std::string_view formula);

    static bool isFormula(std::string_view raw) { return !raw.empty() && raw.front() == '='; }
};
