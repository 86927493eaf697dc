#include "storage/DataFolder.h"

#include <sys/stat.h>

#include <filesystem>

namespace fs = std::filesystem;

std::optional<std::string> DataFolder::prepare(const std::string &folder) {
    // The database, its journal files, exports and the lock file are created with these bits off.
    ::umask(077);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error)
        return "cannot create " + folder + ": " + error.message();
    // A folder made by an older server, or by hand, may be open to others: close it and its files.
    const auto folderOnly = fs::perms::owner_all;
    const auto fileOnly = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions(folder, folderOnly, error);
    if (error)
        return "cannot make " + folder + " private: " + error.message();
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_symlink(error))
            continue;
        fs::permissions(it->path(), it->is_directory(error) ? folderOnly : fileOnly, error);
        if (error)
            return "cannot make " + it->path().string() + " private: " + error.message();
    }
    if (error)
        return "cannot read " + folder + ": " + error.message();
    return std::nullopt;
}
