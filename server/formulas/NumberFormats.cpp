#include "formulas/NumberFormats.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

const std::vector<NumberFormats::Entry> &NumberFormats::offered() {
    static const std::vector<Entry> entries = {
        {"", "Automatic"},
        {"0.00", "Number, two decimals"},
        {"#,##0", "Thousands separator"},
        {"#,##0.00", "Thousands separator, two decimals"},
        {"0%", "Percent"},
        {"0.00%", "Percent, two decimals"},
        {"$#,##0.00", "Currency (US dollar)"},
        {"yyyy-mm-dd", "Date (2024-01-31)"},
    };
    return entries;
}

bool NumberFormats::known(std::string_view code) {
    for (const auto &entry : offered()) {
        if (entry.code == code)
            return true;
    }
    return false;
}

std::string NumberFormats::display(double value, std::string_view code) {
    if (!std::isfinite(value))
        return "#NUM!";
    if (code == "0.00")
        return grouped(value, 2, false);
    if (code == "#,##0")
        return grouped(value, 0, true);
    if (code == "#,##0.00")
        return grouped(value, 2, true);
    if (code == "0%")
        return grouped(value * 100, 0, false) + "%";
    if (code == "0.00%")
        return grouped(value * 100, 2, false) + "%";
    if (code == "$#,##0.00") {
        const std::string digits = grouped(std::fabs(value), 2, true);
        return (value < 0 && digits != "0.00" ? "-$" : "$") + digits;
    }
    if (code == "yyyy-mm-dd")
        return date(value);
    return automatic(value);
}

std::string NumberFormats::automatic(double value) {
    if (!std::isfinite(value))
        return "#NUM!";
    if (value == 0)
        return "0";
    char buffer[64];
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e15 || magnitude < 1e-9) {
        std::snprintf(buffer, sizeof buffer, "%.9E", value);
        // 1.500000000E+20 -> 1.5E+20
        std::string text = buffer;
        const auto e = text.find('E');
        std::string mantissa = text.substr(0, e);
        while (mantissa.ends_with('0'))
            mantissa.pop_back();
        if (mantissa.ends_with('.'))
            mantissa.pop_back();
        return mantissa + text.substr(e);
    }
    std::snprintf(buffer, sizeof buffer, "%.10g", value);
    std::string text = buffer;
    if (text.find('e') != std::string::npos) {
        // %g chose an exponent for a value we show in full; print it fixed and trim.
        std::snprintf(buffer, sizeof buffer, "%.10f", value);
        text = buffer;
    }
    if (text.find('.') != std::string::npos) {
        while (text.ends_with('0'))
            text.pop_back();
        if (text.ends_with('.'))
            text.pop_back();
    }
    return text == "-0" ? "0" : text;
}

bool NumberFormats::parse(std::string_view text, double &value) {
    if (text.empty() || text.size() > 64)
        return false;
    std::string_view digits = text;
    if (digits.front() == '+')
        digits.remove_prefix(1);
    if (digits.empty())
        return false;
    const char first = digits.front() == '-' && digits.size() > 1 ? digits[1] : digits.front();
    // Only plain decimals: no "inf", "nan" or hexadecimal.
    if (!(first >= '0' && first <= '9') && first != '.')
        return false;
    double parsed = 0;
    const auto result =
        std::from_chars(digits.data(), digits.data() + digits.size(), parsed, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size() || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

std::string NumberFormats::grouped(double value, int decimals, bool thousands) {
    // Halves round away from zero, as people and other spreadsheets expect (1563.125 reads
    // 1563.13, 1.005 reads 1.01); printf alone rounds the binary value, often downwards.
    const double scale = std::pow(10.0, decimals);
    const double scaled = value * scale;
    if (std::fabs(scaled) < 9e15) {
        char digits[64];
        std::snprintf(digits, sizeof digits, "%.15g", scaled);
        value = std::round(std::strtod(digits, nullptr)) / scale;
    }
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    bool negative = false;
    if (text.front() == '-') {
        negative = true;
        text.erase(0, 1);
    }
    if (thousands) {
        const auto point = text.find('.');
        std::size_t end = point == std::string::npos ? text.size() : point;
        while (end > 3) {
            end -= 3;
            text.insert(end, ",");
        }
    }
    // -0.00 reads as 0.00
    if (negative && text.find_first_not_of("0.,") != std::string::npos)
        text.insert(0, "-");
    return text;
}

std::string NumberFormats::date(double serial) {
    // Day 0 is 1899-12-30, as in common spreadsheets; only days 1 to 2,958,465 (year 9999) read as dates.
    if (serial < 1 || serial >= 2958466)
        return automatic(serial);
    using namespace std::chrono;
    const sys_days day = sys_days(year{1899} / December / 30) + days(static_cast<long>(std::floor(serial)));
    const year_month_day ymd(day);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return buffer;
}
