#pragma once

#include <QByteArray>
#include <QHashFunctions>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

// One sign-in to one server: several accounts may share an origin. Its session lives apart from it,
// in the secret store, under the account key.
struct NativeAccount {
    QString id;   // a UUID in upper-case canonical text, made when the account is created
    QUrl origin;  // the normalized server origin
    QString name; // display name

    bool operator==(const NativeAccount &) const = default;

    // A new account with a fresh id; `typedName` is trimmed, and an empty one falls back to the
    // origin's host, or to the whole origin when it has no host.
    static NativeAccount create(const QUrl &origin, const QString &typedName);
    static QString displayName(const QString &typedName, const QUrl &origin);

    // The text that ties the account to its stored session: "account:" + id + "|" + origin.
    QString key() const;

    // The origin as stored and compared everywhere: the URL's full text.
    static QString originString(const QUrl &origin);

    // JSON array of {"id", "origin", "name"}, in list order.
    static QByteArray encodeList(const QList<NativeAccount> &accounts);
    // The whole list, or none when the text is not such an array (one bad entry spoils the list).
    static std::optional<QList<NativeAccount>> decodeList(const QByteArray &json);
};

size_t qHash(const NativeAccount &account, size_t salt = 0) noexcept;
