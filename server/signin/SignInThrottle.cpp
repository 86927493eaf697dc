#include "signin/SignInThrottle.h"

#include "base/Clock.h"
#include "storage/Database.h"
#include "storage/Transaction.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace {

constexpr std::int64_t lockedForever = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t forgetAfterMillis = 24LL * 3600 * 1000;

} // namespace

SignInThrottle::SignInThrottle(Database &db, Options options) : m_db(db), m_options(options) {
    auto lock = m_db.lock();
    m_db.exec("CREATE TABLE IF NOT EXISTS signin_throttle (key TEXT PRIMARY KEY, failures INTEGER NOT NULL, "
              "retry_at INTEGER NOT NULL, failed_at INTEGER NOT NULL)");
}

std::string SignInThrottle::accountKey(std::string_view email) {
    std::string key = "account:";
    for (const char ch : email)
        key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    return key;
}

std::string SignInThrottle::addressKey(std::string_view address) {
    return "address:" + std::string(address);
}

std::optional<std::int64_t> SignInThrottle::retryAt(const std::string &key) {
    auto query = m_db.prepare("SELECT retry_at FROM signin_throttle WHERE key = ?1");
    query.bind(1, key);
    if (!query.step())
        return std::nullopt;
    return query.integer(0);
}

std::optional<SignInThrottle::Wait> SignInThrottle::check(std::string_view email, std::string_view address) {
    auto lock = m_db.lock();
    const std::int64_t now = nowMillis();
    const auto account = retryAt(accountKey(email));
    if (account && *account == lockedForever)
        return Wait{true, 0};
    const std::int64_t until = std::max(account.value_or(0), retryAt(addressKey(address)).value_or(0));
    if (until <= now)
        return std::nullopt;
    return Wait{false, (until - now + 999) / 1000};
}

void SignInThrottle::count(const std::string &key, bool lockable) {
    auto query = m_db.prepare("SELECT failures FROM signin_throttle WHERE key = ?1");
    query.bind(1, key);
    const std::int64_t failures = (query.step() ? query.integer(0) : 0) + 1;
    query.reset();
    std::int64_t retry = 0;
    if (lockable && failures >= m_options.lockoutFailures) {
        retry = lockedForever;
    } else if (failures > m_options.freeFailures) {
        // Doubling from the first delay; the shift is bounded so that it cannot overflow.
        const auto doublings = std::min<std::int64_t>(failures - m_options.freeFailures - 1, 30);
        std::int64_t delay = m_options.firstDelayMillis << doublings;
        if (!lockable)
            delay = std::min(delay, m_options.maxAddressDelayMillis);
        retry = nowMillis() + delay;
    }
    auto upsert =
        m_db.prepare("INSERT INTO signin_throttle (key, failures, retry_at, failed_at) VALUES (?1, ?2, "
                     "?3, ?4) ON CONFLICT(key) DO UPDATE SET failures = ?2, retry_at = ?3, failed_at = ?4");
    upsert.bind(1, key).bind(2, failures).bind(3, retry).bind(4, nowMillis());
    upsert.run();
}

void SignInThrottle::forget(const std::string &key) {
    auto erase = m_db.prepare("DELETE FROM signin_throttle WHERE key = ?1");
    erase.bind(1, key);
    erase.run();
}

void SignInThrottle::failed(std::string_view email, std::string_view address) {
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    // Counts a day old are forgotten, lockouts kept: typing ever new addresses cannot grow the table
    // without end.
    auto purge = m_db.prepare("DELETE FROM signin_throttle WHERE failed_at < ?1 AND retry_at != ?2");
    purge.bind(1, nowMillis() - forgetAfterMillis).bind(2, lockedForever);
    purge.run();
    count(accountKey(email), true);
    count(addressKey(address), false);
    transaction.commit();
}

void SignInThrottle::succeeded(std::string_view email, std::string_view address) {
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    forget(accountKey(email));
    forget(addressKey(address));
    transaction.commit();
}

bool SignInThrottle::unlock(std::string_view email) {
    auto lock = m_db.lock();
    forget(accountKey(email));
    return m_db.changes() > 0;
}

std::string SignInThrottle::message(const Wait &wait) {
    if (wait.locked)
        return "Sign-in with this e-mail address is locked after too many wrong passwords. Ask the "
               "server's administrator to unlock it.";
    const std::string count =
        wait.seconds == 1 ? std::string("1 second") : std::to_string(wait.seconds) + " seconds";
    return "Too many wrong passwords. Wait " + count + " before trying again.";
}
