#pragma once

#include "storage/Checkpointer.h"
#include "storage/Statement.h"

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

// The server's SQLite database: one connection for writing, and connections of their own for
// reading. Every write holds lock(): statements of different requests never interleave, and a
// Transaction commits before the request is answered. A read that changes nothing holds read()
// instead; in WAL mode it sees the last commit and never waits behind a long write.
//
// Group commit: a writer whose changes may share one COMMIT, and so one sync of the log, with the
// changes of other writers takes lockToJoin() and a GroupTransaction instead of lock() and a
// Transaction, then lets go of the lock and waits with waitDurable() before answering. lock()
// commits a group left open first, so every other writer still works alone, as before. A group's
// log is synced once the writing lock is free again, so that the next group is written meanwhile:
// readers may see a group a moment before it is durable, but no write is answered before.
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

    // One transaction shared by several writers, committed as a whole.
    struct Group {
        std::size_t members = 0;            // under the writing lock
        bool committed = false;             // under m_groupMutex: its log is being synced
        bool done = false;                  // under m_groupMutex
        std::optional<std::string> failure; // set with done
    };
    using Ticket = std::shared_ptr<Group>;

    [[nodiscard]] std::unique_lock<std::mutex> lock();
    // The writing connection, leaving an open group open for the holder to join.
    [[nodiscard]] std::unique_lock<std::mutex> lockToJoin();
    // Returns once the group of the ticket is committed and synced, committing it when no other
    // thread is already committing. Throws DatabaseError when that commit failed: then nothing of
    // the group was stored. Call without holding the writing lock.
    void waitDurable(const Ticket &ticket);
    static constexpr std::chrono::microseconds maxGatherWait{1000};
    // True once the group of the ticket has ended without being stored.
    bool lost(const Ticket &ticket);
    [[nodiscard]] Reading read();

    Statement prepare(std::string_view sql);
    // A prepared statement kept for reuse by hot paths, reset and ready to bind.
    Statement &cached(const std::string &sql);
    void exec(std::string_view sql);
    std::int64_t lastInsertId() const;
    int changes() const;

private:
    friend class GroupTransaction;
    struct Connection {
        sqlite3 *db = nullptr;
        std::map<std::string, std::unique_ptr<Statement>> cache;
        ~Connection();
    };

    // The reading connection this thread holds for this database, or the writing one.
    Connection &current();
    void createSchema();
    // These four run under the writing lock. A batch is a savepoint inside the open group.
    Ticket beginBatch();
    void joinBatch(const Ticket &group);
    void dropBatch(const Ticket &group) noexcept;
    // Commits the open group and ends it. With `syncByCaller`, a group whose log is still to be
    // synced is returned instead, for the caller to sync once it has let go of the writing lock.
    Ticket commitGroup(bool syncByCaller = false) noexcept;
    // Syncs what was written to the log so far.
    bool syncLog() noexcept;
    // Runs a statement without values on the writing connection, prepared once.
    void control(const std::string &sql);
    // True when SQLite rolled the open group back by itself, after a failed statement.
    bool groupLost() const;
    void endGroup(const Ticket &group, std::optional<std::string> failure) noexcept;
    // Ends the open group as rolled back: none of its batches is stored.
    void abandonGroup() noexcept;
    // Opens a group: its COMMIT writes the log without syncing it, the committer syncs.
    void beginGroup();
    // Every write outside a group syncs the log as it commits.
    void strictSync();
    void restoreSync() noexcept;
    static constexpr const char *unsynced = "The log could not be synced.";
    static constexpr const char *rolledBack = "The transaction was rolled back.";
    // Only for names written in this file, never for input.
    void addColumn(const std::string &table, const std::string &column, const std::string &declaration);

    std::string m_path;
    Connection m_writer;
    std::unique_ptr<Checkpointer> m_checkpointer;
    int m_log = -1; // the write-ahead log, for syncing it outside the writing lock
    bool m_syncRelaxed = false; // under the writing lock: the writer does not sync its COMMITs
    std::mutex m_mutex;
    std::mutex m_readersMutex;
    std::vector<std::unique_ptr<Connection>> m_idleReaders;
    Ticket m_group; // under the writing lock: the group open for batches to join
    std::mutex m_groupMutex;
    std::condition_variable m_groupDone;
    bool m_committing = false; // under m_groupMutex: a thread is committing for the waiters
    std::atomic<int> m_queued{0}; // threads waiting in lockToJoin()
    std::condition_variable m_lockFree; // with m_mutex: a thread in lockToJoin() got the lock
};
