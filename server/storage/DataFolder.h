#pragma once

#include <optional>
#include <string>

// The server's data folder holds every account's sheets and sessions: only the user the server
// runs as may read it. Everything the process creates from here on is private to that user too.
class DataFolder {
public:
    // Creates the folder when missing and makes it, and what it already holds, private (folders
    // 0700, files 0600). Returns a message when that fails.
    static std::optional<std::string> prepare(const std::string &folder);
};
