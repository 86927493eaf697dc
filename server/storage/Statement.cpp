#include "storage/Statement.h"

#include "storage/DatabaseError.h"

#include <sqlite3.h>

Statement::Statement(sqlite3 *db, std::string_view sql) : m_db(db) {
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &m_stmt, nullptr) != SQLITE_OK)
        throw DatabaseError(sqlite3_errmsg(db));
}

Statement::~Statement() {
    sqlite3_finalize(m_stmt);
}

static void check(sqlite3 *db, int rc) {
    if (rc != SQLITE_OK)
        throw DatabaseError(sqlite3_errmsg(db));
}

Statement &Statement::bind(int index, std::int64_t value) {
    check(m_db, sqlite3_bind_int64(m_stmt, index, value));
    return *this;
}

Statement &Statement::bind(int index, double value) {
    check(m_db, sqlite3_bind_double(m_stmt, index, value));
    return *this;
}

Statement &Statement::bind(int index, std::string_view value) {
    check(m_db,
          sqlite3_bind_text64(m_stmt, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    return *this;
}

Statement &Statement::bindBlob(int index, std::string_view value) {
    check(m_db, sqlite3_bind_blob64(m_stmt, index, value.data(), value.size(), SQLITE_TRANSIENT));
    return *this;
}

Statement &Statement::bindNull(int index) {
    check(m_db, sqlite3_bind_null(m_stmt, index));
    return *this;
}

Statement &Statement::bind(int index, const std::optional<std::int64_t> &value) {
    return value ? bind(index, *value) : bindNull(index);
}

Statement &Statement::bind(int index, const std::optional<double> &value) {
    return value ? bind(index, *value) : bindNull(index);
}

bool Statement::step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    throw DatabaseError(sqlite3_errmsg(m_db));
}

void Statement::run() {
    while (step()) {
    }
    reset();
}

void Statement::reset() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

std::int64_t Statement::integer(int column) const {
    return sqlite3_column_int64(m_stmt, column);
}

double Statement::real(int column) const {
    return sqlite3_column_double(m_stmt, column);
}

std::string Statement::text(int column) const {
    const auto *data = sqlite3_column_blob(m_stmt, column);
    const int size = sqlite3_column_bytes(m_stmt, column);
    if (!data)
        return {};
    return std::string(static_cast<const char *>(data), static_cast<std::size_t>(size));
}

std::optional<std::int64_t> Statement::optionalInteger(int column) const {
    if (isNull(column))
        return std::nullopt;
    return integer(column);
}

std::optional<double> Statement::optionalReal(int column) const {
    if (isNull(column))
        return std::nullopt;
    return real(column);
}
