#pragma once

#include "signin/Account.h"
#include "signin/SessionCache.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

class Database;

// People who can sign in, and their sessions. Passwords are kept only as Argon2 hashes; session
// tokens only as SHA-256 digests, so the database alone signs nobody in.
class Accounts {
public:
    class Refused : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    explicit Accounts(Database &db) : m_db(db) {}

    static bool plausibleEmail(std::string_view email);

    // Throws Refused with a sentence for people when the input is not acceptable.
    Account create(std::string_view email, std::string_view name, std::string_view password);
    std::optional<Account> find(std::string_view email);
    std::optional<Account> verify(std::string_view email, std::string_view password);

    std::string startSession(std::int64_t accountId);
    // The same for a caller that already holds the database lock inside its own transaction.
    std::string addSession(std::int64_t accountId);
    std::optional<Account> sessionAccount(std::string_view token);
    void endSession(std::string_view token);

    static constexpr std::int64_t sessionLifetimeMillis = 90LL * 24 * 3600 * 1000;

private:
    Database &m_db;
    SessionCache m_sessions;
};
