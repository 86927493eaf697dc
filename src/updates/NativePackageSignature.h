#pragma once

#include <QByteArray>
#include <QString>

// Checks a downloaded package against the Ed25519 signature the feed gives for it (libsodium).
namespace NativePackageSignature {

// True only when `signatureBase64` is standard Base64 of a 64-byte signature that `publicKey`
// (32 bytes) made over exactly the bytes of the file at `path`.
bool verifies(const QString &path, const QByteArray &signatureBase64, const QByteArray &publicKey);

// Strict standard Base64 (padding required, nothing but the alphabet); empty when it is not.
QByteArray decodeBase64(const QByteArray &text);

} // namespace NativePackageSignature
