#include "storage/Transaction.h"

#include "storage/Database.h"

Transaction::Transaction(Database &db) : m_db(db) {
    m_db.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!m_done) {
        try {
            m_db.exec("ROLLBACK");
        } catch (...) {
            // Nothing more can be done: SQLite rolls back by itself when a statement failed.
        }
    }
}

void Transaction::commit() {
    m_db.exec("COMMIT");
    m_done = true;
}
