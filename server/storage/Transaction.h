#pragma once

class Database;

// BEGIN IMMEDIATE ... COMMIT; rolls back when destroyed before commit(), e.g. by an exception.
class Transaction {
public:
    explicit Transaction(Database &db);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void commit();

private:
    Database &m_db;
    bool m_done = false;
};
