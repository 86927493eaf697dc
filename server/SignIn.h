#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class Accounts;
class Database;

// The browser sign-in: the client registers a request with the S256 challenge of a verifier only it
// knows, a person approves it on the server's page, and the client exchanges the verifier for a
// session exactly once.
class SignIn {
public:
    enum class Exchange { Pending, Granted, WrongVerifier, Gone };
    struct ExchangeResult {
        Exchange outcome = Exchange::Gone;
        std::string session; // set when Granted
    };
    enum class Approval { Approved, WrongPassword, Gone };
    struct ApprovalResult {
        Approval outcome = Approval::Gone;
        std::string redirect; // the callback URL with state, when approved or refused
    };

    static constexpr int maxPasswordFailures = 5;

    SignIn(Database &db, Accounts &accounts, std::int64_t expiryMillis)
        : m_db(db), m_accounts(accounts), m_expiryMillis(expiryMillis) {}

    static bool validCallback(std::string_view callback);

    // Returns the new request id.
    std::string request(std::string_view challenge, std::string_view callback);
    // True while the request can still be approved.
    bool pending(std::string_view id);
    ApprovalResult approve(std::string_view id, std::string_view email, std::string_view password);
    // Refusing sends the browser back too, so the application stops waiting at once.
    std::optional<std::string> refuse(std::string_view id);
    ExchangeResult exchange(std::string_view id, std::string_view verifier);

private:
    std::string redirectFor(const std::string &callback, std::string_view id) const;

    Database &m_db;
    Accounts &m_accounts;
    std::int64_t m_expiryMillis;
};
