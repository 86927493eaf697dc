#pragma once

#include <string>
#include <string_view>

// Secret tokens and the hashes around them. Every token the server hands out (sign-in request
// ids, session values) is 32 random bytes written as unpadded base64url: 43 characters.
class Tokens {
public:
    static constexpr std::size_t tokenLength = 43;

    static std::string random();
    // True for exactly 43 characters that are the canonical base64url form of 32 bytes.
    static bool valid(std::string_view text);
    static std::string sha256(std::string_view bytes);
    static std::string base64url(std::string_view bytes);
    // The proof-key check: base64url(SHA-256(verifier)) for the S256 method.
    static std::string s256(std::string_view verifier);
    // The code shown on the approval page and in the client: first four bytes of SHA-256(id) in
    // upper-case hex, split as XXXX-XXXX.
    static std::string comparisonCode(std::string_view id);
    static std::string hex(std::string_view bytes);
    // Compares without leaking where the first difference is.
    static bool equal(std::string_view a, std::string_view b);
};
