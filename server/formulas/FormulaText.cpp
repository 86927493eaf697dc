#include "formulas/FormulaText.h"

#include <cctype>

namespace {

bool isLetter(char ch) {
    return std::isalpha(static_cast<unsigned char>(ch)) != 0;
}
bool isDigit(char ch) {
    return std::isdigit(static_cast<unsigned char>(ch)) != 0;
}

// Copies a quoted run ("text" or 'sheet name', the quote doubled inside) starting at i.
std::size_t quoted(std::string_view text, std::size_t i, std::string &out) {
    const char quote = text[i];
    out.push_back(text[i++]);
    while (i < text.size()) {
        out.push_back(text[i]);
        if (text[i] == quote) {
            if (i + 1 < text.size() && text[i + 1] == quote) {
                out.push_back(text[i + 1]);
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return i;
}

struct Reference {
    bool absoluteCol = false;
    bool absoluteRow = false;
    std::int64_t col = 0; // zero-based
    std::int64_t row = 0;
};

bool parseReference(std::string_view word, Reference &ref) {
    std::size_t i = 0;
    if (i < word.size() && word[i] == '$') {
        ref.absoluteCol = true;
        ++i;
    }
    const std::size_t lettersStart = i;
    while (i < word.size() && isLetter(word[i]))
        ++i;
    const std::size_t letters = i - lettersStart;
    if (letters == 0 || letters > 3)
        return false;
    if (i < word.size() && word[i] == '$') {
        ref.absoluteRow = true;
        ++i;
    }
    const std::size_t digitsStart = i;
    while (i < word.size() && isDigit(word[i]))
        ++i;
    if (i != word.size() || i == digitsStart || i - digitsStart > 7)
        return false;
    std::int64_t col = 0;
    for (std::size_t k = lettersStart; k < lettersStart + letters; ++k)
        col = col * 26 + (std::toupper(static_cast<unsigned char>(word[k])) - 'A' + 1);
    std::int64_t row = 0;
    for (std::size_t k = digitsStart; k < word.size(); ++k)
        row = row * 10 + (word[k] - '0');
    if (row == 0)
        return false;
    ref.col = col - 1;
    ref.row = row - 1;
    return true;
}

std::string columnName(std::int64_t col) {
    std::string name;
    std::int64_t n = col;
    while (true) {
        name.insert(name.begin(), static_cast<char>('A' + n % 26));
        if (n < 26)
            break;
        n = n / 26 - 1;
    }
    return name;
}

} // namespace

std::string FormulaText::move(std::string_view formula, std::int64_t rows, std::int64_t cols,
                              std::int64_t maxRows, std::int64_t maxCols) {
    std::string out;
    out.reserve(formula.size() + 8);
    std::size_t i = 0;
    while (i < formula.size()) {
        const char ch = formula[i];
        if (ch == '"' || ch == '\'') {
            i = quoted(formula, i, out);
            continue;
        }
        if (isDigit(ch) || (ch == '.' && i + 1 < formula.size() && isDigit(formula[i + 1]))) {
            // A number, exponent included, is never a reference (1E5 is not column E).
            while (i < formula.size() && (isDigit(formula[i]) || formula[i] == '.'))
                out.push_back(formula[i++]);
            if (i < formula.size() && (formula[i] == 'e' || formula[i] == 'E')) {
                std::size_t j = i + 1;
                if (j < formula.size() && (formula[j] == '+' || formula[j] == '-'))
                    ++j;
                if (j < formula.size() && isDigit(formula[j])) {
                    while (j < formula.size() && isDigit(formula[j]))
                        ++j;
                    out.append(formula.substr(i, j - i));
                    i = j;
                }
            }
            continue;
        }
        if (isLetter(ch) || ch == '$' || ch == '_') {
            std::size_t j = i;
            while (j < formula.size() && (isLetter(formula[j]) || isDigit(formula[j]) || formula[j] == '$' ||
                                          formula[j] == '_' || formula[j] == '.'))
                ++j;
            const std::string_view word = formula.substr(i, j - i);
            std::size_t next = j;
            while (next < formula.size() && formula[next] == ' ')
                ++next;
            const bool function = next < formula.size() && formula[next] == '(';
            const bool sheetName = j < formula.size() && formula[j] == '!';
            Reference ref;
            if (!function && !sheetName && parseReference(word, ref)) {
                const std::int64_t row = ref.absoluteRow ? ref.row : ref.row + rows;
                const std::int64_t col = ref.absoluteCol ? ref.col : ref.col + cols;
                if (row < 0 || col < 0 || row >= maxRows || col >= maxCols) {
                    out += "#REF!";
                } else {
                    out += (ref.absoluteCol ? "$" : "") + columnName(col) + (ref.absoluteRow ? "$" : "") +
                           std::to_string(row + 1);
                }
            } else {
                out.append(word);
            }
            i = j;
            continue;
        }
        out.push_back(ch);
        ++i;
    }
    return out;
}

bool FormulaText::hasReferenceError(std::string_view formula) {
    std::string ignored;
    std::size_t i = 0;
    while (i < formula.size()) {
        if (formula[i] == '"' || formula[i] == '\'') {
            i = quoted(formula, i, ignored);
            continue;
        }
        if (formula.substr(i, 5) == "#REF!")
            return true;
        ++i;
    }
    return false;
}
