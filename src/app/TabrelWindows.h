#pragma once

#include "connection/NativeTransport.h"

#include <QList>
#include <QObject>
#include <QUuid>

#include <memory>
#include <optional>

// The open and recent spreadsheets of this run, most recent first. A document window is opened with
// an entry's id and finds its account, client and spreadsheet here. Kept in memory only: nothing of
// it survives the application.
class TabrelWindows : public QObject {
    Q_OBJECT
public:
    struct Entry {
        QUuid id;
        QString account;
        quint64 document = 0;
        std::shared_ptr<NativeTransport> client;
        QString title;
        bool isOpen = false;
    };
    struct Recent {
        quint64 id = 0;
        QString title;
    };

    using QObject::QObject;

    const QList<Entry> &entries() const { return m_entries; }
    const Entry *entry(const QUuid &id) const;
    const std::optional<QString> &activeAccount() const { return m_activeAccount; }
    bool createRequested() const { return m_createRequested; }
    bool accountsRequested() const { return m_accountsRequested; }

    // The entry of this spreadsheet moved to the front and marked open; a new one when none exists.
    QUuid reserve(const QString &account, quint64 document, const QString &title,
                  const std::shared_ptr<NativeTransport> &client);
    // Updates the titles of known spreadsheets and appends the others, closed, in list order.
    void updateRecents(const QList<Recent> &list, const QString &account,
                       const std::shared_ptr<NativeTransport> &client);
    void setOpen(const QUuid &id, bool open);
    // Forgets every entry of `account` (its sign-out).
    void removeAccount(const QString &account);
    bool hasOpenDocument(const QString &account) const;

    void setActiveAccount(const std::optional<QString> &account);
    void setCreateRequested(bool requested);
    void setAccountsRequested(bool requested);

Q_SIGNALS:
    void entriesChanged();
    void activeAccountChanged();
    void createRequestedChanged();
    void accountsRequestedChanged();

private:
    qsizetype find(const QString &account, const QUrl &origin, quint64 document) const;

    QList<Entry> m_entries;
    std::optional<QString> m_activeAccount;
    bool m_createRequested = false;
    bool m_accountsRequested = false;
};
