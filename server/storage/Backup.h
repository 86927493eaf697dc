#pragma once

#include <optional>
#include <string>

// A consistent copy of the database, taken with SQLite's online backup over a connection of its
// own, so that a running server goes on answering meanwhile. The copy is written beside the
// target under a temporary name and renamed into place only when complete; the data folder is
// only read.
class Backup {
public:
    // Nothing on success, otherwise a sentence saying what went wrong.
    static std::optional<std::string> copy(const std::string &database, const std::string &target);
};
