#include "app/TabrelWindows.h"

namespace {
QUrl originOf(const std::shared_ptr<NativeTransport> &client) {
    return client ? client->origin() : QUrl();
}
} // namespace

const TabrelWindows::Entry *TabrelWindows::entry(const QUuid &id) const {
    for (const Entry &entry : m_entries) {
        if (entry.id == id)
            return &entry;
    }
    return nullptr;
}

// The same spreadsheet: same account, same server origin, same sheet ID.
qsizetype TabrelWindows::find(const QString &account, const QUrl &origin, quint64 document) const {
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const Entry &entry = m_entries[i];
        if (entry.account == account && entry.document == document && originOf(entry.client) == origin)
            return i;
    }
    return -1;
}

QUuid TabrelWindows::reserve(const QString &account, quint64 document, const QString &title,
                             const std::shared_ptr<NativeTransport> &client) {
    const qsizetype found = find(account, originOf(client), document);
    Entry entry;
    if (found >= 0) {
        entry = m_entries.takeAt(found);
    } else {
        entry = Entry{QUuid::createUuid(), account, document, client, title, false};
    }
    entry.isOpen = true;
    m_entries.prepend(entry);
    Q_EMIT entriesChanged();
    return entry.id;
}

void TabrelWindows::updateRecents(const QList<Recent> &list, const QString &account,
                                  const std::shared_ptr<NativeTransport> &client) {
    bool changed = false;
    for (const Recent &recent : list) {
        const qsizetype found = find(account, originOf(client), recent.id);
        if (found >= 0) {
            if (m_entries[found].title != recent.title) {
                m_entries[found].title = recent.title;
                changed = true;
            }
        } else {
            m_entries.append(Entry{QUuid::createUuid(), account, recent.id, client, recent.title, false});
            changed = true;
        }
    }
    if (changed)
        Q_EMIT entriesChanged();
}

void TabrelWindows::setOpen(const QUuid &id, bool open) {
    for (Entry &entry : m_entries) {
        if (entry.id == id && entry.isOpen != open) {
            entry.isOpen = open;
            Q_EMIT entriesChanged();
            return;
        }
    }
}

void TabrelWindows::removeAccount(const QString &account) {
    if (m_entries.removeIf([&account](const Entry &entry) { return entry.account == account; }) > 0)
        Q_EMIT entriesChanged();
}

bool TabrelWindows::hasOpenDocument(const QString &account) const {
    for (const Entry &entry : m_entries) {
        if (entry.account == account && entry.isOpen)
            return true;
    }
    return false;
}

void TabrelWindows::setActiveAccount(const std::optional<QString> &account) {
    if (m_activeAccount == account)
        return;
    m_activeAccount = account;
    Q_EMIT activeAccountChanged();
}

void TabrelWindows::setCreateRequested(bool requested) {
    if (m_createRequested == requested)
        return;
    m_createRequested = requested;
    Q_EMIT createRequestedChanged();
}

void TabrelWindows::setAccountsRequested(bool requested) {
    if (m_accountsRequested == requested)
        return;
    m_accountsRequested = requested;
    Q_EMIT accountsRequestedChanged();
}
