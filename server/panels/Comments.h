#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

class Database;

// Comment threads of a sheet, one per cell, each holding its comments in order.
class Comments {
public:
    static constexpr std::size_t maxBodyBytes = 4000;
    static constexpr std::int64_t maxThreads = 2000;

    explicit Comments(Database &db) : m_db(db) {}

    // CommentsPage {Threads: [{RowPos, ColPos, Ref, Entries: [{ID, Author, Body}], Resolved}]}.
    nlohmann::json page(std::int64_t sheetId);
    // Adds to the cell's thread (reopening it when resolved); returns the comment's id.
    std::int64_t add(std::int64_t sheetId, std::int64_t r, std::int64_t c, std::int64_t accountId,
                     const std::string &body);
    // False when the cell has no thread.
    bool resolve(std::int64_t sheetId, std::int64_t r, std::int64_t c);

private:
    Database &m_db;
};
