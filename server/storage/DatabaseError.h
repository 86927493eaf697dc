#pragma once

#include <stdexcept>

// A failure reported by SQLite. The HTTP layer answers it with 500 and nothing is committed.
class DatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
