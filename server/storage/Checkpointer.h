#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

// Copies the write-ahead log back into the database file on a thread and connection of its own.
// SQLite would otherwise do it inside a COMMIT once the log grows past a thousand pages, holding
// the writing lock through the copy and the sync of the database file: every writer stalled for
// tens of milliseconds. The checkpoints here never take the writing lock; writers go on adding to
// the log meanwhile.
class Checkpointer {
public:
    static constexpr int logPages = 1000;

    explicit Checkpointer(const std::string &path);
    ~Checkpointer();
    Checkpointer(const Checkpointer &) = delete;
    Checkpointer &operator=(const Checkpointer &) = delete;

    // Takes over checkpointing for the writing connection `writer` of the same database.
    void watch(sqlite3 *writer);

private:
    static int committed(void *self, sqlite3 *db, const char *name, int pages);
    void run();

    sqlite3 *m_db = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_wanted = false;
    bool m_stopping = false;
    std::thread m_thread;
};
