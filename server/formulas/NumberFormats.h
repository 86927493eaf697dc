#pragma once

#include <string>
#include <string_view>
#include <vector>

// The number formats a cell can have and how a number reads in each. The codes are spreadsheet
// format codes, so a workbook export can carry them unchanged.
class NumberFormats {
public:
    struct Entry {
        std::string code;
        std::string label;
    };

    // Offered to the format menu, the automatic format (code "") first.
    static const std::vector<Entry> &offered();
    static bool known(std::string_view code);
    // The text a cell shows for a number in the given format.
    static std::string display(double value, std::string_view code);
    // Up to ten significant digits, no trailing zeros, exponent form only for very large or small.
    static std::string automatic(double value);
    // A strict decimal number: what a typed text must be to count as numeric.
    static bool parse(std::string_view text, double &value);

private:
    static std::string grouped(double value, int decimals, bool thousands);
    static std::string date(double serial);
};
