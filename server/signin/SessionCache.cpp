#include "signin/SessionCache.h"

std::uint64_t SessionCache::generation() {
    std::lock_guard lock(m_mutex);
    return m_generation;
}

std::optional<Account> SessionCache::find(const std::string &tokenHash, std::int64_t nowMillis) {
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(tokenHash);
    if (it == m_entries.end())
        return std::nullopt;
    if (it->second.expiresAt <= nowMillis) {
        m_entries.erase(it);
        return std::nullopt;
    }
    return it->second.account;
}

void SessionCache::remember(const std::string &tokenHash, const Account &account, std::int64_t expiresAtMillis,
                            std::uint64_t generation) {
    std::lock_guard lock(m_mutex);
    // The database answered before a session ended: it may have been this one.
    if (generation != m_generation)
        return;
    // Bounded without bookkeeping: sessions in use come back on their next request.
    if (m_entries.size() >= maxEntries)
        m_entries.clear();
    m_entries[tokenHash] = Entry{account, expiresAtMillis};
}

void SessionCache::forget(const std::string &tokenHash) {
    std::lock_guard lock(m_mutex);
    m_entries.erase(tokenHash);
    ++m_generation;
}
