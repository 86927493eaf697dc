#pragma once

#include <cstdint>
#include <string>

// The A1 text of a zero-based cell position: columns in bijective base 26 (A, Z, AA, ...).
inline std::string cellRef(std::int64_t r, std::int64_t c) {
    std::string letters;
    std::int64_t n = c;
    while (true) {
        letters.insert(letters.begin(), static_cast<char>('A' + n % 26));
        if (n <= 25)
            break;
        n = n / 26 - 1;
    }
    return letters + std::to_string(r + 1);
}
