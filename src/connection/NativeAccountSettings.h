#pragma once

#include "connection/NativeAccount.h"

#include <QSettings>

#include <functional>
#include <memory>
#include <optional>

// The account entries of the user's settings store: the account list, the active account and the
// server of the last successful sign-in. Sessions are never kept here.
//
// Several running instances share the file, and QSettings keeps a copy of it per process: every
// read takes the file afresh, and every change is a read-modify-write under a lock file beside it,
// so that one instance never writes back another's stale list. A change that does not reach the
// disk (a full disk, a file that belongs to someone else) fails with a message saying so.
class NativeAccountSettings {
public:
    static constexpr auto accountsKey = "native.accounts";
    static constexpr auto activeAccountKey = "native.activeAccount";
    static constexpr auto serverKey = "native.server";

    explicit NativeAccountSettings(std::shared_ptr<QSettings> store);

    // The stored list, or none when it is absent or does not decode (the caller then keeps what
    // it has; the next write replaces the bad value).
    std::optional<QList<NativeAccount>> accounts() const;
    // Applies `change` to the list as stored now (`fallback` when it is absent or does not decode)
    // and writes the result, which it returns. `change` may run twice: it must depend only on the list.
    QList<NativeAccount> updateAccounts(const std::function<void(QList<NativeAccount> &)> &change,
                                        const QList<NativeAccount> &fallback);

    std::optional<QString> activeAccount() const;
    void setActiveAccount(const QString &id);
    void removeActiveAccount();

    std::optional<QString> server() const;
    void setServer(const QString &origin);

private:
    std::optional<QString> string(const char *key) const;
    // Runs `change` between a fresh read and a checked write, holding the lock file.
    void locked(const std::function<void()> &change);

    std::shared_ptr<QSettings> m_store;
};
