#pragma once

#include "storage/Database.h"

// One writer's changes inside the group transaction open on the database, as a savepoint of it.
// join() adds them to the group; destroyed before that, they are undone and the group goes on
// without them. The caller holds Database::lockToJoin() throughout, then lets go of it and waits
// for the group with Database::waitDurable() before anyone learns of the changes.
class GroupTransaction {
public:
    explicit GroupTransaction(Database &db);
    ~GroupTransaction();
    GroupTransaction(const GroupTransaction &) = delete;
    GroupTransaction &operator=(const GroupTransaction &) = delete;

    [[nodiscard]] Database::Ticket join();

private:
    Database &m_db;
    Database::Ticket m_group;
    bool m_joined = false;
};
