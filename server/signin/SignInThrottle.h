#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class Database;

// Slows down password guessing on the approval page. Failures are counted per e-mail address as
// typed (whether or not it has an account, so the answers tell nothing about which exist) and per
// client address. After a few failures each further attempt must wait, twice as long each time;
// an e-mail address with many failures is locked until "tabrel-server unlock EMAIL". Kept in the
// database, so that the unlock command and a restart see the same counts.
class SignInThrottle {
public:
    struct Options {
        int freeFailures = 3;
        std::int64_t firstDelayMillis = 1000;
        int lockoutFailures = 10;
        // A client address is never locked out (many people may share one), only slowed.
        std::int64_t maxAddressDelayMillis = 15 * 60 * 1000;
    };
    struct Wait {
        bool locked = false;
        std::int64_t seconds = 0; // when not locked
    };

    SignInThrottle(Database &db, Options options);

    // Nothing when an attempt may check a password now.
    std::optional<Wait> check(std::string_view email, std::string_view address);
    void failed(std::string_view email, std::string_view address);
    void succeeded(std::string_view email, std::string_view address);
    // Lifts the lockout and the delay of an e-mail address; false when there was none.
    bool unlock(std::string_view email);

    // Sentences for the approval page.
    static std::string message(const Wait &wait);

private:
    static std::string accountKey(std::string_view email);
    static std::string addressKey(std::string_view address);
    std::optional<std::int64_t> retryAt(const std::string &key);
    void count(const std::string &key, bool lockable);
    void forget(const std::string &key);

    Database &m_db;
    Options m_options;
};
