#pragma once

#include "connection/NativeAccount.h"

#include <QSettings>

#include <memory>
#include <optional>

// The account entries of the user's settings store: the account list, the active account and the
// server of the last successful sign-in. Sessions are never kept here.
class NativeAccountSettings {
public:
    static constexpr auto accountsKey = "native.accounts";
    static constexpr auto activeAccountKey = "native.activeAccount";
    static constexpr auto serverKey = "native.server";

    explicit NativeAccountSettings(std::shared_ptr<QSettings> store);

    // The stored list, or none when it is absent or does not decode (the caller then keeps what
    // it has; the next write replaces the bad value).
    std::optional<QList<NativeAccount>> accounts() const;
    void setAccounts(const QList<NativeAccount> &accounts);

    std::optional<QString> activeAccount() const;
    void setActiveAccount(const QString &id);
    void removeActiveAccount();

    std::optional<QString> server() const;
    void setServer(const QString &origin);

private:
    std::optional<QString> string(const char *key) const;

    std::shared_ptr<QSettings> m_store;
};
