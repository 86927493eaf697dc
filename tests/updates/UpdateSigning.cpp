#include "UpdateSigning.h"

#include <QList>

UpdateSigning::UpdateSigning() {
    if (sodium_init() < 0)
        qFatal("libsodium cannot start");
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                        reinterpret_cast<unsigned char *>(secretKey.data()));
}

QByteArray UpdateSigning::sign(const QByteArray &content) const {
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(content.constData()),
                         static_cast<unsigned long long>(content.size()),
                         reinterpret_cast<const unsigned char *>(secretKey.constData()));
    return signature.toBase64();
}

QByteArray UpdateSigning::feed(const QList<Item> &items) {
    QByteArray xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
        "<channel><title>Brevane Tabrel</title>\n";
    for (const Item &item : items) {
        xml += "<item><title>Version " + item.version + "</title><sparkle:version>" + item.version +
               "</sparkle:version><enclosure url=\"" + item.url + "\" length=\"" +
               QByteArray::number(item.length) +
               "\" type=\"application/vnd.debian.binary-package\" sparkle:edSignature=\"" + item.signature +
               "\"/></item>\n";
    }
    return xml + "</channel></rss>\n";
}
