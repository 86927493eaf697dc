#include "connection/NativeAccount.h"

#include "connection/JsonReader.h"

#include <QUuid>

#include <nlohmann/json.hpp>

NativeAccount NativeAccount::create(const QUrl &origin, const QString &typedName) {
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return NativeAccount{id, origin, displayName(typedName, origin)};
}

QString NativeAccount::displayName(const QString &typedName, const QUrl &origin) {
    const QString trimmed = typedName.trimmed();
    if (!trimmed.isEmpty())
        return trimmed;
    const QString host = origin.host();
    return host.isEmpty() ? originString(origin) : host;
}

QString NativeAccount::key() const {
    return QStringLiteral("account:") + id + u'|' + originString(origin);
}

QString NativeAccount::originString(const QUrl &origin) {
    return origin.toString(QUrl::FullyEncoded);
}

QByteArray NativeAccount::encodeList(const QList<NativeAccount> &accounts) {
    nlohmann::json array = nlohmann::json::array();
    for (const NativeAccount &account : accounts) {
        array.push_back({{"id", account.id.toStdString()},
                         {"origin", originString(account.origin).toStdString()},
                         {"name", account.name.toStdString()}});
    }
    return QByteArray::fromStdString(array.dump());
}

std::optional<QList<NativeAccount>> NativeAccount::decodeList(const QByteArray &json) {
    try {
        const JsonDocument document = JsonDocument::parse(json);
        simdjson::dom::array array;
        if (document.root().get_array().get(array) != simdjson::SUCCESS)
            return std::nullopt;
        QList<NativeAccount> accounts;
        for (simdjson::dom::element element : array) {
            const JsonObject object(element);
            const QUrl origin(object.requiredString("origin"), QUrl::StrictMode);
            if (!origin.isValid() || origin.isEmpty())
                return std::nullopt;
            accounts.append(
                NativeAccount{object.requiredString("id"), origin, object.requiredString("name")});
        }
        return accounts;
    } catch (const JsonDecodeError &) {
        return std::nullopt;
    }
}

size_t qHash(const NativeAccount &account, size_t salt) noexcept {
    return qHashMulti(salt, account.id, account.origin, account.name);
}
