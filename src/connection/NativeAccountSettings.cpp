#include "connection/NativeAccountSettings.h"

NativeAccountSettings::NativeAccountSettings(std::shared_ptr<QSettings> store) : m_store(std::move(store)) {}

std::optional<QList<NativeAccount>> NativeAccountSettings::accounts() const {
    const QVariant value = m_store->value(QLatin1String(accountsKey));
    // Written as bytes; a text value (a hand-edited file) is read the same way, anything else is foreign.
    const int type = value.typeId();
    if (type != QMetaType::QByteArray && type != QMetaType::QString)
        return std::nullopt;
    return NativeAccount::decodeList(value.toByteArray());
}

void NativeAccountSettings::setAccounts(const QList<NativeAccount> &accounts) {
    m_store->setValue(QLatin1String(accountsKey), NativeAccount::encodeList(accounts));
    m_store->sync();
}

std::optional<QString> NativeAccountSettings::activeAccount() const {
    return string(activeAccountKey);
}

void NativeAccountSettings::setActiveAccount(const QString &id) {
    m_store->setValue(QLatin1String(activeAccountKey), id);
    m_store->sync();
}

void NativeAccountSettings::removeActiveAccount() {
    m_store->remove(QLatin1String(activeAccountKey));
    m_store->sync();
}

std::optional<QString> NativeAccountSettings::server() const {
    return string(serverKey);
}

void NativeAccountSettings::setServer(const QString &origin) {
    m_store->setValue(QLatin1String(serverKey), origin);
    m_store->sync();
}

std::optional<QString> NativeAccountSettings::string(const char *key) const {
    const QVariant value = m_store->value(QLatin1String(key));
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}
