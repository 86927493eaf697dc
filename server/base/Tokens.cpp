#include "base/Tokens.h"

#include <sodium.h>

#include <stdexcept>
#include <vector>

std::string Tokens::random() {
    std::string bytes(32, '\0');
    randombytes_buf(bytes.data(), bytes.size());
    return base64url(bytes);
}

bool Tokens::valid(std::string_view text) {
    if (text.size() != tokenLength)
        return false;
    std::vector<unsigned char> bytes(64);
    std::size_t length = 0;
    const char *end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0)
        return false;
    if (end != text.data() + text.size() || length != 32)
        return false;
    // Canonical form only: the unused low bits of the last character must be zero.
    return base64url(std::string_view(reinterpret_cast<const char *>(bytes.data()), length)) == text;
}

std::string Tokens::sha256(std::string_view bytes) {
    std::string digest(crypto_hash_sha256_BYTES, '\0');
    crypto_hash_sha256(reinterpret_cast<unsigned char *>(digest.data()),
                       reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    return digest;
}

std::string Tokens::base64url(std::string_view bytes) {
    const std::size_t capacity =
        sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    std::string text(capacity, '\0');
    sodium_bin2base64(text.data(), capacity, reinterpret_cast<const unsigned char *>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    text.resize(text.find('\0'));
    return text;
}

std::string Tokens::s256(std::string_view verifier) {
    return base64url(sha256(verifier));
}

std::string Tokens::comparisonCode(std::string_view id) {
    const std::string digits = hex(sha256(id).substr(0, 4));
    return digits.substr(0, 4) + "-" + digits.substr(4);
}

std::string Tokens::hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

bool Tokens::equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}
