#include "connection/NativeSignInProof.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace NativeSignInProof {

namespace {
constexpr int tokenBytes = 32;
constexpr int tokenLength = 43;
} // namespace

std::optional<QByteArray> systemRandomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    // QRandomGenerator::system() never falls back to a predictable source; it aborts instead.
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes;
}

QString base64Url(const QByteArray &bytes) {
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

bool valid(const QString &token) {
    if (token.size() != tokenLength)
        return false;
    // Decode with the standard alphabet after swapping, so that "+" or "/" in the text survive the
    // decode and are caught by the round trip below.
    QString standard = token;
    standard.replace(u'-', u'+').replace(u'_', u'/').append(u'=');
    const auto decoded = QByteArray::fromBase64Encoding(
        standard.toUtf8(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != tokenBytes)
        return false;
    // Re-encoding catches a last character with non-zero unused bits.
    return base64Url(decoded.decoded) == token;
}

std::optional<QString> newVerifier(const RandomBytes &random) {
    const std::optional<QByteArray> bytes = random ? random(tokenBytes) : std::nullopt;
    if (!bytes || bytes->size() != tokenBytes)
        return std::nullopt;
    return base64Url(*bytes);
}

QString challenge(const QString &verifier) {
    return base64Url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

QString comparisonCode(const QString &id) {
    const QByteArray digest = QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha256);
    const QString hex = QString::fromLatin1(digest.left(4).toHex()).toUpper();
    return hex.left(4) + u'-' + hex.mid(4);
}

} // namespace NativeSignInProof
