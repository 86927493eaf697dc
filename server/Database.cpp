#include "Database.h"

#include "DatabaseError.h"

#include <sqlite3.h>

#include <string>

Database::Database(const std::string &path) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw DatabaseError("Cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(m_db, 5000);
    exec("PRAGMA journal_mode=WAL");
    // FULL: a write the server has answered survives a power cut, not only a crash.
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=ON");
    createSchema();
}

Database::~Database() {
    m_cache.clear();
    sqlite3_close(m_db);
}

Statement &Database::cached(const std::string &sql) {
    auto &statement = m_cache[sql];
    if (!statement)
        statement = std::make_unique<Statement>(m_db, sql);
    statement->reset();
    return *statement;
}

void Database::exec(std::string_view sql) {
    char *error = nullptr;
    const std::string text(sql);
    if (sqlite3_exec(m_db, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw DatabaseError(message);
    }
}

std::int64_t Database::lastInsertId() const {
    return sqlite3_last_insert_rowid(m_db);
}

int Database::changes() const {
    return sqlite3_changes(m_db);
}

void Database::createSchema() {
    exec(R"sql(
CREATE TABLE IF NOT EXISTS accounts (
    id INTEGER PRIMARY KEY,
    email TEXT NOT NULL UNIQUE COLLATE NOCASE,
    name TEXT NOT NULL,
    password_hash TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS sessions (
    token_hash BLOB PRIMARY KEY,
    account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    created_at INTEGER NOT NULL,
    expires_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS signin_requests (
    id TEXT PRIMARY KEY,
    challenge TEXT NOT NULL,
    callback TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    state TEXT NOT NULL,
    account_id INTEGER REFERENCES accounts(id) ON DELETE CASCADE,
    failures INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS sheets (
    id INTEGER PRIMARY KEY,
    title TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS tabs (
    id INTEGER PRIMARY KEY,
    sheet_id INTEGER NOT NULL REFERENCES sheets(id) ON DELETE CASCADE,
    name TEXT NOT NULL,
    position INTEGER NOT NULL,
    version INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS tabs_by_sheet ON tabs(sheet_id, position);
CREATE TABLE IF NOT EXISTS members (
    sheet_id INTEGER NOT NULL REFERENCES sheets(id) ON DELETE CASCADE,
    account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    role TEXT NOT NULL CHECK (role IN ('owner', 'editor', 'commenter', 'viewer')),
    PRIMARY KEY (sheet_id, account_id)
);
CREATE INDEX IF NOT EXISTS members_by_account ON members(account_id);
CREATE TABLE IF NOT EXISTS styles (
    id INTEGER PRIMARY KEY,
    tab_id INTEGER NOT NULL REFERENCES tabs(id) ON DELETE CASCADE,
    json TEXT NOT NULL,
    UNIQUE (tab_id, json)
);
CREATE TABLE IF NOT EXISTS cells (
    tab_id INTEGER NOT NULL REFERENCES tabs(id) ON DELETE CASCADE,
    r INTEGER NOT NULL,
    c INTEGER NOT NULL,
    raw TEXT NOT NULL,
    display TEXT NOT NULL,
    value REAL,
    numeric INTEGER NOT NULL DEFAULT 0,
    style_id INTEGER REFERENCES styles(id),
    PRIMARY KEY (tab_id, r, c)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS sizes (
    tab_id INTEGER NOT NULL REFERENCES tabs(id) ON DELETE CASCADE,
    axis TEXT NOT NULL CHECK (axis IN ('row', 'col')),
    idx INTEGER NOT NULL,
    size REAL NOT NULL,
    PRIMARY KEY (tab_id, axis, idx)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS edits (
    id INTEGER PRIMARY KEY,
    tab_id INTEGER NOT NULL REFERENCES tabs(id) ON DELETE CASCADE,
    r INTEGER NOT NULL,
    c INTEGER NOT NULL,
    account_id INTEGER REFERENCES accounts(id) ON DELETE SET NULL,
    old_raw TEXT NOT NULL,
    new_raw TEXT NOT NULL,
    at INTEGER NOT NULL,
    version INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS edits_by_tab ON edits(tab_id, id);
CREATE TABLE IF NOT EXISTS settings (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
)sql");
}
