#include "connection/NativeAccountSettings.h"

#include "connection/NativeClientError.h"

#include <QLockFile>

namespace {
// Long enough for another instance's write; a lock older than QLockFile's stale time (its holder
// crashed) is taken over.
constexpr int lockWaitMs = 10000;
} // namespace

NativeAccountSettings::NativeAccountSettings(std::shared_ptr<QSettings> store) : m_store(std::move(store)) {}

std::optional<QList<NativeAccount>> NativeAccountSettings::accounts() const {
    m_store->sync(); // another instance may have written since
    const QVariant value = m_store->value(QLatin1String(accountsKey));
    // Written as bytes; a text value (a hand-edited file) is read the same way, anything else is foreign.
    const int type = value.typeId();
    if (type != QMetaType::QByteArray && type != QMetaType::QString)
        return std::nullopt;
    return NativeAccount::decodeList(value.toByteArray());
}

QList<NativeAccount>
NativeAccountSettings::updateAccounts(const std::function<void(QList<NativeAccount> &)> &change,
                                      const QList<NativeAccount> &fallback) {
    // Opening the account that is already first changes nothing: skip the locked write, which
    // costs start-up several file operations. A change another instance makes later still wins.
    if (const std::optional<QList<NativeAccount>> stored = this->accounts()) {
        QList<NativeAccount> unchanged = *stored;
        change(unchanged);
        if (unchanged == *stored)
            return unchanged;
    }
    QList<NativeAccount> accounts;
    locked([&] {
        accounts = this->accounts().value_or(fallback);
        change(accounts);
        m_store->setValue(QLatin1String(accountsKey), NativeAccount::encodeList(accounts));
    });
    return accounts;
}

std::optional<QString> NativeAccountSettings::activeAccount() const {
    m_store->sync();
    return string(activeAccountKey);
}

void NativeAccountSettings::setActiveAccount(const QString &id) {
    if (activeAccount() == id)
        return;
    locked([&] { m_store->setValue(QLatin1String(activeAccountKey), id); });
}

void NativeAccountSettings::removeActiveAccount() {
    locked([&] { m_store->remove(QLatin1String(activeAccountKey)); });
}

std::optional<QString> NativeAccountSettings::server() const {
    m_store->sync();
    return string(serverKey);
}

void NativeAccountSettings::setServer(const QString &origin) {
    locked([&] { m_store->setValue(QLatin1String(serverKey), origin); });
}

std::optional<QString> NativeAccountSettings::string(const char *key) const {
    const QVariant value = m_store->value(QLatin1String(key));
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

void NativeAccountSettings::locked(const std::function<void()> &change) {
    // Without a lock (a folder we may not write) the write below fails and says so. QSettings holds
    // "<file>.lock" only while it writes; this lock spans the read as well.
    QLockFile lock(m_store->fileName() + QStringLiteral(".change.lock"));
    const bool held = lock.tryLock(lockWaitMs);
    m_store->sync();
    change();
    m_store->sync();
    if (held)
        lock.unlock();
    if (m_store->status() != QSettings::NoError)
        throw NativeClientError::message(
            QStringLiteral("Could not save your accounts: the settings file %1 cannot be written.")
                .arg(m_store->fileName()));
}
