#include "storage/Checkpointer.h"

#include "storage/DatabaseError.h"

#include <sqlite3.h>

Checkpointer::Checkpointer(const std::string &path) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw DatabaseError("Cannot open " + path + ": " + message);
    }
    // The log is synced before it is copied and the database file after, as the writer's are.
    sqlite3_exec(m_db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    m_thread = std::thread([this] { run(); });
}

Checkpointer::~Checkpointer() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
    sqlite3_close(m_db);
}

void Checkpointer::watch(sqlite3 *writer) {
    // Replaces SQLite's own checkpoint after a COMMIT.
    sqlite3_wal_hook(writer, &Checkpointer::committed, this);
}

int Checkpointer::committed(void *self, sqlite3 *, const char *, int pages) {
    if (pages >= logPages) {
        auto *checkpointer = static_cast<Checkpointer *>(self);
        {
            std::lock_guard lock(checkpointer->m_mutex);
            checkpointer->m_wanted = true;
        }
        checkpointer->m_wake.notify_one();
    }
    return SQLITE_OK;
}

void Checkpointer::run() {
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_wanted || m_stopping; });
        if (m_stopping)
            return;
        m_wanted = false;
        lock.unlock();
        // PASSIVE copies what no reader still needs and never waits: what is left goes next time.
        sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        lock.lock();
    }
}
