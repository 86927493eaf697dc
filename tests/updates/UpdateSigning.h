#pragma once

#include <QByteArray>

#include <sodium.h>

// An Ed25519 key pair of the kind that signs update packages, and feeds that offer them.
struct UpdateSigning {
    QByteArray publicKey = QByteArray(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secretKey = QByteArray(crypto_sign_SECRETKEYBYTES, '\0');

    UpdateSigning();
    // Standard Base64 of the detached signature of `content`.
    QByteArray sign(const QByteArray &content) const;

    // An RSS feed with one item per entry.
    struct Item {
        QByteArray version;
        QByteArray url;
        qint64 length;
        QByteArray signature;
    };
    static QByteArray feed(const QList<Item> &items);
};
