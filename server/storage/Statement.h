#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

// One prepared SQL statement. Values only ever reach SQLite through bind(), never through the
// statement text.
class Statement {
public:
    Statement(sqlite3 *db, std::string_view sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, std::int64_t value);
    Statement &bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
    Statement &bind(int index, long long value) { return bind(index, static_cast<std::int64_t>(value)); }
    Statement &bind(int index, double value);
    Statement &bind(int index, std::string_view value);
    Statement &bind(int index, const std::string &value) { return bind(index, std::string_view(value)); }
    Statement &bind(int index, const char *value) { return bind(index, std::string_view(value)); }
    Statement &bindBlob(int index, std::string_view value);
    Statement &bindNull(int index);
    Statement &bind(int index, const std::optional<std::int64_t> &value);
    Statement &bind(int index, const std::optional<double> &value);

    // Advances to the next row; false when the statement is done.
    bool step();
    // Runs a statement that returns no rows.
    void run();
    void reset();

    bool isNull(int column) const;
    std::int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    std::optional<std::int64_t> optionalInteger(int column) const;
    std::optional<double> optionalReal(int column) const;

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_stmt = nullptr;
};
