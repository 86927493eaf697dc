#pragma once

#include "storage/Statement.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

// The server's SQLite database: one connection for writing, and connections of their own for
// reading. Every write holds lock(): statements of different requests never interleave, and a
// Transaction commits before the request is answered. A read that changes nothing holds read()
// instead; in WAL mode it sees the last commit and never waits behind a long write.
class Database {
    struct Connection;

public:
    // A reading connection lent to the calling thread: while it lives, prepare() and cached() on
    // this thread use it. Only for statements that change nothing.
    class Reading {
    public:
        ~Reading();
        Reading(const Reading &) = delete;
        Reading &operator=(const Reading &) = delete;

    private:
        friend class Database;
        Reading(Database &db, std::unique_ptr<Connection> connection);

        Database &m_db;
        std::unique_ptr<Connection> m_connection;
        Connection *m_previous;
    };

    explicit Database(const std::string &path);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    [[nodiscard]] std::unique_lock<std::mutex> lock() { return std::unique_lock(m_mutex); }
    [[nodiscard]] Reading read();

    Statement prepare(std::string_view sql);
    // A prepared statement kept for reuse by hot paths, reset and ready to bind.
    Statement &cached(const std::string &sql);
    void exec(std::string_view sql);
    std::int64_t lastInsertId() const;
    int changes() const;

private:
    struct Connection {
        sqlite3 *db = nullptr;
        std::map<std::string, std::unique_ptr<Statement>> cache;
        ~Connection();
    };

    // The reading connection this thread holds for this database, or the writing one.
    Connection &current();
    void createSchema();
    // Only for names written in this file, never for input.
    void addColumn(const std::string &table, const std::string &column, const std::string &declaration);

    std::string m_path;
    Connection m_writer;
    std::mutex m_mutex;
    std::mutex m_readersMutex;
    std::vector<std::unique_ptr<Connection>> m_idleReaders;
};
