#pragma once

#include "signin/Account.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

// The sessions found recently, by token digest, so that a request of a known session does not
// read the database. A session is trusted only until its expiry, and forgotten the moment it ends;
// a lookup that began before an ending never brings the ended session back.
class SessionCache {
public:
    static constexpr std::size_t maxEntries = 4096;

    // Taken before reading a session from the database, handed back to remember().
    std::uint64_t generation();
    std::optional<Account> find(const std::string &tokenHash, std::int64_t nowMillis);
    // Keeps what the database said, unless a session ended since `generation` was taken.
    void remember(const std::string &tokenHash, const Account &account, std::int64_t expiresAtMillis,
                  std::uint64_t generation);
    void forget(const std::string &tokenHash);

private:
    struct Entry {
        Account account;
        std::int64_t expiresAt = 0;
    };

    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_entries;
    std::uint64_t m_generation = 0; // counts endings
};
