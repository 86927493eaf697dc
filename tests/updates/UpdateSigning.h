#pragma once

#include <QByteArray>
#include <QList>

#include <sodium.h>

// An Ed25519 key pair of the kind that signs update packages, and feeds that offer them.
struct UpdateSigning {
    QByteArray publicKey = QByteArray(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secretKey = QByteArray(crypto_sign_SECRETKEYBYTES, '\0');

    UpdateSigning() {
        if (sodium_init() < 0)
            qFatal("libsodium cannot start");
        crypto_sign_keypair(reinterpret_cast<uchar *>(publicKey.data()),
                            reinterpret_cast<uchar *>(secretKey.data()));
    }
    // Standard Base64 of the detached signature of `content`.
    QByteArray sign(const QByteArray &content) const {
        QByteArray signature(crypto_sign_BYTES, '\0');
        crypto_sign_detached(reinterpret_cast<uchar *>(signature.data()), nullptr,
                             reinterpret_cast<const uchar *>(content.constData()), quint64(content.size()),
                             reinterpret_cast<const uchar *>(secretKey.constData()));
        return signature.toBase64();
    }

    // An RSS feed with one item per entry.
    struct Item {
        QByteArray version, url;
        qint64 length;
        QByteArray signature;
    };
    static QByteArray feed(const QList<Item> &items) {
        QByteArray xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\" "
                         "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
                         "<channel><title>Brevane Tabrel</title>\n";
        for (const Item &item : items)
            xml += "<item><title>Version " + item.version + "</title><sparkle:version>" + item.version +
                   "</sparkle:version><enclosure url=\"" + item.url + "\" length=\"" +
                   QByteArray::number(item.length) +
                   "\" type=\"application/vnd.debian.binary-package\" sparkle:edSignature=\"" +
                   item.signature + "\"/></item>\n";
        return xml + "</channel></rss>\n";
    }
};
