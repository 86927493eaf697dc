#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

// Checks on short texts people type (titles, comments, filter values).
class TextRules {
public:
    static bool validUtf8(std::string_view text);
    // Code points, for a valid UTF-8 text.
    static std::size_t length(std::string_view text);
    // Control characters other than tab and line breaks (allowed only when multiLine).
    static bool hasControl(std::string_view text, bool multiLine);
    // Without spaces, tabs and line breaks at either end.
    static std::string trimmed(std::string_view text);
    // A whole decimal number within [low, high] making up all of `text`, or nothing.
    static std::optional<std::int64_t>
    wholeNumber(std::string_view text, std::int64_t low,
                std::int64_t high = std::numeric_limits<std::int64_t>::max());
};
