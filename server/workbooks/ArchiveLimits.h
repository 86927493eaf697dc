#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Checks, before a workbook is parsed, how large its zip parts become once inflated: each part
// and all of them together must stay within limits. The sizes the archive declares are not
// trusted: every compressed part is inflated here once, counting bytes and keeping none, and
// stops at its limit.
class ArchiveLimits {
public:
    struct Limits {
        std::uint64_t maxPartBytes = 256ull * 1024 * 1024;
        std::uint64_t maxTotalBytes = 512ull * 1024 * 1024;
        std::size_t maxParts = 10000;
    };

    // Nothing when the archive keeps within the limits, otherwise a sentence for people.
    static std::optional<std::string> check(std::string_view zip, const Limits &limits);
};
