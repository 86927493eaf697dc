#pragma once

#include "Statement.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

struct sqlite3;

// The server's one SQLite connection. Every use holds lock(): statements of different requests
// never interleave, and a Transaction commits before the request is answered.
class Database {
public:
    explicit Database(const std::string &path);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    [[nodiscard]] std::unique_lock<std::mutex> lock() { return std::unique_lock(m_mutex); }

    Statement prepare(std::string_view sql) { return Statement(m_db, sql); }
    // A prepared statement kept for reuse by hot paths, reset and ready to bind.
    Statement &cached(const std::string &sql);
    void exec(std::string_view sql);
    std::int64_t lastInsertId() const;
    int changes() const;

private:
    void createSchema();

    sqlite3 *m_db = nullptr;
    std::map<std::string, std::unique_ptr<Statement>> m_cache;
    std::mutex m_mutex;
};
