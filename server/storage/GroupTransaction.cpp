#include "storage/GroupTransaction.h"

GroupTransaction::GroupTransaction(Database &db) : m_db(db), m_group(db.beginBatch()) {}

GroupTransaction::~GroupTransaction() {
    if (!m_joined)
        m_db.dropBatch(m_group);
}

Database::Ticket GroupTransaction::join() {
    m_db.joinBatch(m_group);
    m_joined = true;
    return m_group;
}
