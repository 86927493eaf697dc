#include "storage/Database.h"

#include "storage/DatabaseError.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <string>

namespace {

// The reading connection each thread holds, by database.
thread_local std::map<const Database *, void *> readingConnections;

sqlite3 *open(const std::string &path, int flags) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw DatabaseError("Cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

} // namespace

Database::Connection::~Connection() {
    cache.clear();
    sqlite3_close(db);
}

Database::Database(const std::string &path) : m_path(path) {
    m_writer.db = open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    exec("PRAGMA journal_mode=WAL");
    // FULL: a write the server has answered survives a power cut, not only a crash.
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=ON");
    createSchema();
    // A group's COMMIT writes the log and leaves the sync to be done outside the writing lock, so
    // that the next group's writes go on during it. The log exists by now: the schema was written.
    m_log = ::open((path + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
    m_checkpointer = std::make_unique<Checkpointer>(path);
    m_checkpointer->watch(m_writer.db);
}

Database::~Database() {
    std::lock_guard lock(m_mutex);
    commitGroup();
    // Closing the writing connection checkpoints by itself, after the checkpointer is gone.
    sqlite3_wal_hook(m_writer.db, nullptr, nullptr);
    if (m_log >= 0)
        ::close(m_log);
}

void Database::control(const std::string &sql) {
    // Prepared once: a group's batches run these many times a second.
    auto &statement = m_writer.cache[sql];
    if (!statement)
        statement = std::make_unique<Statement>(m_writer.db, sql);
    try {
        statement->run();
    } catch (...) {
        statement->reset();
        throw;
    }
}

std::unique_lock<std::mutex> Database::lockToJoin() {
    ++m_queued;
    std::unique_lock lock(m_mutex);
    --m_queued;
    m_lockFree.notify_one();
    return lock;
}

std::unique_lock<std::mutex> Database::lock() {
    std::unique_lock lock(m_mutex);
    commitGroup();
    // Should the sync level not have come back after a group, this write must not go unsynced.
    if (m_syncRelaxed)
        strictSync();
    return lock;
}

bool Database::groupLost() const {
    return m_group && sqlite3_get_autocommit(m_writer.db) != 0;
}

void Database::abandonGroup() noexcept {
    endGroup(m_group, rolledBack);
    m_group.reset();
    restoreSync();
}

void Database::beginGroup() {
    // SQLite refuses to change the sync level inside a transaction: it is set before the group
    // begins and set back once it has ended.
    if (m_log >= 0) {
        control("PRAGMA synchronous=NORMAL");
        m_syncRelaxed = true;
    }
    try {
        control("BEGIN IMMEDIATE");
    } catch (...) {
        restoreSync();
        throw;
    }
    m_group = std::make_shared<Group>();
}

void Database::strictSync() {
    control("PRAGMA synchronous=FULL");
    m_syncRelaxed = false;
}

void Database::restoreSync() noexcept {
    if (!m_syncRelaxed)
        return;
    try {
        strictSync();
    } catch (...) {
        // Still relaxed: lock() tries again before the next write.
    }
}

Database::Ticket Database::beginBatch() {
    if (groupLost())
        abandonGroup();
    if (!m_group)
        beginGroup();
    try {
        control("SAVEPOINT batch");
    } catch (...) {
        dropBatch(m_group);
        throw;
    }
    return m_group;
}

void Database::joinBatch(const Ticket &group) {
    if (groupLost()) {
        abandonGroup();
        throw DatabaseError(rolledBack);
    }
    control("RELEASE batch");
    ++group->members;
}

void Database::dropBatch(const Ticket &group) noexcept {
    if (group != m_group)
        return;
    if (groupLost()) {
        // The failed statement took the batches that joined before with it.
        abandonGroup();
        return;
    }
    try {
        control("ROLLBACK TO batch");
        control("RELEASE batch");
        if (group->members > 0)
            return;
    } catch (...) {
    }
    // No one else is in the group: end it, so that the database is not held for writing by nobody.
    try {
        exec("ROLLBACK");
    } catch (...) {
    }
    abandonGroup();
}

Database::Ticket Database::commitGroup(bool syncByCaller) noexcept {
    if (!m_group)
        return nullptr;
    const Ticket group = std::move(m_group);
    m_group.reset();
    std::optional<std::string> failure;
    if (sqlite3_get_autocommit(m_writer.db) != 0) {
        failure = rolledBack;
    } else {
        try {
            control("COMMIT");
        } catch (const std::exception &error) {
            failure = error.what();
        }
        // A COMMIT can fail and leave the transaction open; nothing of it may be kept.
        if (failure && sqlite3_get_autocommit(m_writer.db) == 0) {
            try {
                exec("ROLLBACK");
            } catch (...) {
            }
        }
    }
    // Committed without SQLite's sync: the log is synced before anyone goes on, here or by the
    // caller once it has let go of the writing lock.
    const bool unsyncedCommit = !failure && m_syncRelaxed;
    restoreSync();
    if (unsyncedCommit && syncByCaller) {
        std::lock_guard lock(m_groupMutex);
        group->committed = true;
        return group;
    }
    if (unsyncedCommit && !syncLog())
        failure = unsynced;
    endGroup(group, std::move(failure));
    return nullptr;
}

bool Database::syncLog() noexcept {
    return ::fdatasync(m_log) == 0;
}

void Database::endGroup(const Ticket &group, std::optional<std::string> failure) noexcept {
    {
        std::lock_guard lock(m_groupMutex);
        group->failure = std::move(failure);
        group->done = true;
    }
    m_groupDone.notify_all();
}

void Database::waitDurable(const Ticket &ticket) {
    std::unique_lock state(m_groupMutex);
    while (!ticket->done) {
        // A group committed and being synced by another thread ends when that sync returns.
        if (m_committing || ticket->committed) {
            m_groupDone.wait(state);
            continue;
        }
        // This thread commits for everyone. While it waits for the writing lock, other batches
        // still join the group; they are committed with it.
        m_committing = true;
        state.unlock();
        Ticket syncing;
        {
            auto writing = lockToJoin();
            // Batches already queued for the lock are let in first, to share this commit: a sync
            // costs far more than the wait. Bounded, since more may keep arriving.
            const auto until = std::chrono::steady_clock::now() + maxGatherWait;
            while (m_queued > 0 && m_lockFree.wait_until(writing, until) != std::cv_status::timeout) {
            }
            state.lock();
            const bool open = !ticket->done && !ticket->committed;
            state.unlock();
            if (open)
                syncing = commitGroup(true);
        }
        // The next group may commit while this one's log is synced.
        state.lock();
        m_committing = false;
        m_groupDone.notify_all();
        if (syncing) {
            state.unlock();
            const bool synced = syncLog();
            endGroup(syncing, synced ? std::nullopt : std::optional<std::string>(unsynced));
            state.lock();
        }
    }
    if (ticket->failure)
        throw DatabaseError(*ticket->failure);
}

bool Database::lost(const Ticket &ticket) {
    std::lock_guard state(m_groupMutex);
    return ticket->done && ticket->failure.has_value();
}

Database::Reading::Reading(Database &db, std::unique_ptr<Connection> connection)
    : m_db(db), m_connection(std::move(connection)),
      m_previous(static_cast<Connection *>(readingConnections[&db])) {
    readingConnections[&db] = m_connection.get();
}

Database::Reading::~Reading() {
    if (m_previous)
        readingConnections[&m_db] = m_previous;
    else
        readingConnections.erase(&m_db);
    // A statement left on a row would keep its snapshot open and hold back the WAL checkpoint.
    for (auto &[sql, statement] : m_connection->cache)
        statement->reset();
    std::lock_guard lock(m_db.m_readersMutex);
    m_db.m_idleReaders.push_back(std::move(m_connection));
}

Database::Reading Database::read() {
    std::unique_ptr<Connection> connection;
    {
        std::lock_guard lock(m_readersMutex);
        if (!m_idleReaders.empty()) {
            connection = std::move(m_idleReaders.back());
            m_idleReaders.pop_back();
        }
    }
    if (!connection) {
        connection = std::make_unique<Connection>();
        connection->db = open(m_path, SQLITE_OPEN_READONLY);
    }
    return Reading(*this, std::move(connection));
}

Database::Connection &Database::current() {
    const auto found = readingConnections.find(this);
    return found != readingConnections.end() ? *static_cast<Connection *>(found->second) : m_writer;
}

Statement Database::prepare(std::string_view sql) {
    return Statement(current().db, sql);
}

Statement &Database::cached(const std::string &sql) {
    Connection &connection = current();
    auto &statement = connection.cache[sql];
    if (!statement)
        statement = std::make_unique<Statement>(connection.db, sql);
    statement->reset();
    return *statement;
}

void Database::exec(std::string_view sql) {
    char *error = nullptr;
    const std::string text(sql);
    if (sqlite3_exec(m_writer.db, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw DatabaseError(message);
    }
}

std::int64_t Database::lastInsertId() const {
    return sqlite3_last_insert_rowid(m_writer.db);
}

int Database::changes() const {
    return sqlite3_changes(m_writer.db);
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
CREATE TABLE IF NOT EXISTS views (
    sheet_id INTEGER PRIMARY KEY REFERENCES sheets(id) ON DELETE CASCADE,
    sort_col INTEGER NOT NULL,
    sort_desc INTEGER NOT NULL,
    filter_col INTEGER NOT NULL,
    filter_op TEXT NOT NULL,
    filter_val TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS comment_threads (
    id INTEGER PRIMARY KEY,
    sheet_id INTEGER NOT NULL REFERENCES sheets(id) ON DELETE CASCADE,
    r INTEGER NOT NULL,
    c INTEGER NOT NULL,
    resolved INTEGER NOT NULL DEFAULT 0,
    UNIQUE (sheet_id, r, c)
);
CREATE TABLE IF NOT EXISTS comments (
    id INTEGER PRIMARY KEY,
    thread_id INTEGER NOT NULL REFERENCES comment_threads(id) ON DELETE CASCADE,
    account_id INTEGER REFERENCES accounts(id) ON DELETE SET NULL,
    body TEXT NOT NULL,
    at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS comments_by_thread ON comments(thread_id, id);
CREATE TABLE IF NOT EXISTS links (
    id INTEGER PRIMARY KEY,
    sheet_id INTEGER NOT NULL REFERENCES sheets(id) ON DELETE CASCADE,
    token_hash BLOB NOT NULL UNIQUE,
    role TEXT NOT NULL CHECK (role IN ('viewer', 'commenter')),
    created_at INTEGER NOT NULL
);
)sql");
    // Columns added after the first release; older data folders get them here.
    addColumn("edits", "change_id", "INTEGER");
    addColumn("edits", "kind", "TEXT NOT NULL DEFAULT 'edit'");
    addColumn("edits", "undone", "INTEGER NOT NULL DEFAULT 0");
    exec("CREATE INDEX IF NOT EXISTS edits_by_account ON edits(tab_id, account_id, id)");
}

void Database::addColumn(const std::string &table, const std::string &column,
                         const std::string &declaration) {
    auto columns = prepare("SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
    columns.bind(1, table).bind(2, column);
    if (columns.step())
        return;
    exec("ALTER TABLE " + table + " ADD COLUMN " + column + " " + declaration);
}
