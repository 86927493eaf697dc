#include "NativePackageSignature.h"

#include <QFile>

#include <sodium.h>

namespace NativePackageSignature {

QByteArray decodeBase64(const QByteArray &text) {
    if (text.isEmpty() || text.size() % 4 != 0)
        return {};
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}

bool verifies(const QString &path, const QByteArray &signatureBase64, const QByteArray &publicKey) {
    const QByteArray signature = decodeBase64(signatureBase64);
    if (signature.size() != crypto_sign_BYTES || publicKey.size() != crypto_sign_PUBLICKEYBYTES)
        return false;
    if (sodium_init() < 0)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Plain Ed25519 signs the whole message at once, so the package is read whole.
    const QByteArray content = file.readAll();
    if (content.size() != file.size())
        return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(content.constData()),
                                       static_cast<unsigned long long>(content.size()),
                                       reinterpret_cast<const unsigned char *>(publicKey.constData())) == 0;
}

} // namespace NativePackageSignature
