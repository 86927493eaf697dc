#pragma once

#include "signin/SignInThrottle.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <semaphore>
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
    enum class Approval { Approved, WrongPassword, Throttled, Busy, Gone };
    struct ApprovalResult {
        Approval outcome = Approval::Gone;
        std::string redirect;      // the callback URL with state, when approved or refused
        SignInThrottle::Wait wait; // when throttled
    };

    static constexpr int maxPasswordFailures = 5;
    // Requests one client address may have waiting for approval at once.
    static constexpr std::size_t maxPendingPerAddress = 20;
    // Argon2 takes tens of megabytes per check; a crowd of sign-ins waits for a turn instead.
    static constexpr std::ptrdiff_t maxConcurrentChecks = 4;

    SignIn(Database &db, Accounts &accounts, std::int64_t expiryMillis, SignInThrottle::Options throttle = {})
        : m_db(db), m_accounts(accounts), m_expiryMillis(expiryMillis), m_throttle(db, throttle) {}

    static bool validCallback(std::string_view callback);

    // Returns the new request id, or nothing when the address has too many requests waiting.
    std::optional<std::string> request(std::string_view challenge, std::string_view callback,
                                       const std::string &address);
    // True while the request can still be approved.
    bool pending(std::string_view id);
    ApprovalResult approve(std::string_view id, std::string_view email, std::string_view password,
                           std::string_view address);
    // Refusing sends the browser back too, so the application stops waiting at once.
    std::optional<std::string> refuse(std::string_view id);
    ExchangeResult exchange(std::string_view id, std::string_view verifier);

private:
    struct Waiting {
        std::int64_t createdAt = 0;
        std::string address;
        std::string id;
    };

    std::string redirectFor(const std::string &callback, std::string_view id) const;
    // Caller holds m_pendingMutex.
    void forgetExpired(std::int64_t now);
    void decided(std::string_view id);

    Database &m_db;
    Accounts &m_accounts;
    std::int64_t m_expiryMillis;
    SignInThrottle m_throttle;
    std::counting_semaphore<maxConcurrentChecks> m_checks{maxConcurrentChecks};
    std::mutex m_pendingMutex;
    std::deque<Waiting> m_waiting; // oldest first
    std::map<std::string, std::size_t> m_waitingPerAddress;
};
