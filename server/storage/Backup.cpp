#include "storage/Backup.h"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

namespace {

struct Closer {
    void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, Closer>;

Connection open(const std::string &path, int flags) {
    sqlite3 *db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    return Connection(db);
}

std::string reason(sqlite3 *db, int code) {
    // Disk errors read better with what the system said.
    const int system = db ? sqlite3_system_errno(db) : 0;
    if (code == SQLITE_FULL || system == ENOSPC || system == EFBIG || system == EDQUOT)
        return "there is no space left there";
    if (system != 0)
        return std::strerror(system);
    return db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
}

// The copy is renamed over the target: that must be a plain file, or nothing yet, and never the
// database being copied or its companion files. A device or link would be replaced by the copy, and
// the live database replaced under the running server would lose every write after the copy.
std::optional<std::string> unfitTarget(const std::string &database, const std::string &target) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(target, error);
    if (fs::is_directory(status))
        return "it is a folder; name a file in it";
    if (fs::is_symlink(status))
        return "it is a link; name the file itself";
    if (fs::exists(status) && !fs::is_regular_file(status))
        return "it is not a plain file";
    const fs::path resolved = fs::weakly_canonical(target, error);
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string own = database + suffix;
        const bool same = fs::exists(status) && fs::exists(own)
                              ? fs::equivalent(target, own, error)
                              : !resolved.empty() && resolved == fs::weakly_canonical(own, error);
        if (same)
            return "it is the server's own database";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> Backup::copy(const std::string &database, const std::string &target) {
    if (!std::filesystem::exists(database))
        return "there is no database at " + database;
    if (const auto unfit = unfitTarget(database, target))
        return "cannot write " + target + ": " + *unfit;
    const std::string partial = target + ".partial";
    Connection source = open(database, SQLITE_OPEN_READONLY);
    if (!source || sqlite3_errcode(source.get()) != SQLITE_OK)
        return "cannot read " + database + ": " + reason(source.get(), sqlite3_errcode(source.get()));
    // The server's writers hold the database only for a moment; wait for them rather than fail.
    sqlite3_busy_timeout(source.get(), 10000);

    std::remove(partial.c_str());
    std::optional<std::string> failure;
    {
        Connection copy = open(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        if (!copy || sqlite3_errcode(copy.get()) != SQLITE_OK) {
            failure = "cannot write " + target + ": " + reason(copy.get(), sqlite3_errcode(copy.get()));
        } else if (sqlite3_backup *backup = sqlite3_backup_init(copy.get(), "main", source.get(), "main")) {
            // All pages in one step: the copy is the database as of one moment, holding every write
            // that was committed before it began.
            int code = SQLITE_OK;
            for (int attempt = 0; attempt < 100; ++attempt) {
                code = sqlite3_backup_step(backup, -1);
                if (code != SQLITE_BUSY && code != SQLITE_LOCKED)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            sqlite3_backup_finish(backup);
            if (code != SQLITE_DONE)
                failure = "cannot write " + target + ": " + reason(copy.get(), code);
        } else {
            failure = "cannot write " + target + ": " + reason(copy.get(), sqlite3_errcode(copy.get()));
        }
    }
    std::error_code error;
    if (!failure) {
        std::filesystem::rename(partial, target, error);
        if (error)
            failure = "cannot write " + target + ": " + error.message();
    }
    if (failure)
        std::filesystem::remove(partial, error);
    return failure;
}
