#include "panels/Comments.h"

#include "sheets/CellRef.h"

#include "base/Clock.h"
#include "storage/Database.h"
#include "storage/Transaction.h"

nlohmann::json Comments::page(std::int64_t sheetId) {
    auto reading = m_db.read();
    auto threads = m_db.prepare(
        "SELECT id, r, c, resolved FROM comment_threads WHERE sheet_id = ?1 ORDER BY r, c LIMIT ?2");
    threads.bind(1, sheetId).bind(2, maxThreads);
    auto entries = m_db.prepare("SELECT m.id, a.name, m.body FROM comments m LEFT JOIN accounts a ON a.id = "
                                "m.account_id WHERE m.thread_id = ?1 ORDER BY m.id");
    nlohmann::json result = nlohmann::json::array();
    while (threads.step()) {
        nlohmann::json list = nlohmann::json::array();
        entries.bind(1, threads.integer(0));
        while (entries.step()) {
            list.push_back({{"ID", static_cast<std::uint64_t>(entries.integer(0))},
                            {"Author", entries.isNull(1) ? std::string("A former member") : entries.text(1)},
                            {"Body", entries.text(2)}});
        }
        entries.reset();
        const std::int64_t r = threads.integer(1);
        const std::int64_t c = threads.integer(2);
        result.push_back({{"RowPos", r},
                          {"ColPos", c},
                          {"Ref", cellRef(r, c)},
                          {"Entries", list},
                          {"Resolved", threads.integer(3) != 0}});
    }
    return {{"Threads", result}};
}

std::int64_t Comments::add(std::int64_t sheetId, std::int64_t r, std::int64_t c, std::int64_t accountId,
                           const std::string &body) {
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    auto thread =
        m_db.prepare("INSERT INTO comment_threads (sheet_id, r, c, resolved) VALUES (?1, ?2, ?3, 0) "
                     "ON CONFLICT (sheet_id, r, c) DO UPDATE SET resolved = 0 RETURNING id");
    thread.bind(1, sheetId).bind(2, r).bind(3, c);
    thread.step();
    const std::int64_t threadId = thread.integer(0);
    thread.reset();
    auto insert =
        m_db.prepare("INSERT INTO comments (thread_id, account_id, body, at) VALUES (?1, ?2, ?3, ?4)");
    insert.bind(1, threadId).bind(2, accountId).bind(3, body).bind(4, nowMillis());
    insert.run();
    const std::int64_t id = m_db.lastInsertId();
    transaction.commit();
    return id;
}

bool Comments::resolve(std::int64_t sheetId, std::int64_t r, std::int64_t c) {
    auto lock = m_db.lock();
    auto update =
        m_db.prepare("UPDATE comment_threads SET resolved = 1 WHERE sheet_id = ?1 AND r = ?2 AND c = ?3");
    update.bind(1, sheetId).bind(2, r).bind(3, c);
    update.run();
    return m_db.changes() > 0;
}
