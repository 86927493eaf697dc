#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// The proof-key pieces of the browser sign-in (RFC 7636, method S256) and the token form shared by
// sign-in request ids and session values: unpadded URL-safe Base64 of exactly 32 bytes.
namespace NativeSignInProof {

// Fills a buffer with secure random bytes; none when the generator cannot deliver.
using RandomBytes = std::function<std::optional<QByteArray>(int count)>;

// The system's generator (QRandomGenerator::system(), which reads getrandom(2)).
std::optional<QByteArray> systemRandomBytes(int count);

// Unpadded URL-safe Base64 ("-" and "_", no "=").
QString base64Url(const QByteArray &bytes);

// True for exactly 43 characters that are the canonical unpadded URL-safe Base64 of 32 bytes.
bool valid(const QString &token);

// A new verifier: 32 random bytes as unpadded URL-safe Base64; none when the generator fails.
std::optional<QString> newVerifier(const RandomBytes &random);

// SHA-256 of the verifier's UTF-8 bytes, as unpadded URL-safe Base64.
QString challenge(const QString &verifier);

// The code people compare between the application and the approval page: the first four bytes of
// SHA-256 of the id's UTF-8 bytes in upper-case hex, split by "-" (for example "1A2B-3C4D").
QString comparisonCode(const QString &id);

} // namespace NativeSignInProof
