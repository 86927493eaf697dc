#pragma once

#include <chrono>
#include <cstdint>

// Wall-clock milliseconds since the epoch, the unit of every stored time.
inline std::int64_t nowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
