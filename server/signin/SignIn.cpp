#include "signin/SignIn.h"

#include "base/Clock.h"
#include "base/Tokens.h"
#include "signin/Accounts.h"
#include "storage/Database.h"
#include "storage/Transaction.h"

#include <algorithm>
#include <array>
#include <cctype>

bool SignIn::validCallback(std::string_view callback) {
    static constexpr std::string_view suffix = "://signin";
    if (callback.size() <= suffix.size() || callback.size() > 200 || !callback.ends_with(suffix))
        return false;
    const std::string_view scheme = callback.substr(0, callback.size() - suffix.size());
    if (!std::isalpha(static_cast<unsigned char>(scheme.front())))
        return false;
    for (const char ch : scheme) {
        const auto byte = static_cast<unsigned char>(ch);
        if (!std::isalnum(byte) && ch != '+' && ch != '-' && ch != '.')
            return false;
    }
    // The session only ever goes back to an application: never to a web page or a script.
    std::string lower;
    for (const char ch : scheme)
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    static constexpr std::array<std::string_view, 7> refused = {"http", "https", "javascript", "data",
                                                                "file", "ftp",   "blob"};
    for (const auto name : refused) {
        if (lower == name)
            return false;
    }
    return true;
}

void SignIn::forgetExpired(std::int64_t now) {
    while (!m_waiting.empty() && m_waiting.front().createdAt <= now - m_expiryMillis) {
        decided(m_waiting.front().id);
    }
}

void SignIn::decided(std::string_view id) {
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                                 [id](const Waiting &waiting) { return waiting.id == id; });
    if (it == m_waiting.end())
        return;
    if (--m_waitingPerAddress[it->address] == 0)
        m_waitingPerAddress.erase(it->address);
    m_waiting.erase(it);
}

std::optional<std::string> SignIn::request(std::string_view challenge, std::string_view callback,
                                           const std::string &address) {
    const std::string id = Tokens::random();
    const std::int64_t now = nowMillis();
    {
        std::lock_guard pending(m_pendingMutex);
        forgetExpired(now);
        auto &count = m_waitingPerAddress[address];
        if (count >= maxPendingPerAddress)
            return std::nullopt;
        ++count;
        m_waiting.push_back({now, address, id});
    }
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    // Expired requests are of no use to anyone: an exchange for one answers as for an unknown id.
    auto purge = m_db.prepare("DELETE FROM signin_requests WHERE created_at <= ?1");
    purge.bind(1, now - m_expiryMillis);
    purge.run();
    auto insert = m_db.prepare("INSERT INTO signin_requests (id, challenge, callback, created_at, state) "
                               "VALUES (?1, ?2, ?3, ?4, 'pending')");
    insert.bind(1, id).bind(2, challenge).bind(3, callback).bind(4, now);
    insert.run();
    transaction.commit();
    return id;
}

bool SignIn::pending(std::string_view id) {
    auto lock = m_db.lock();
    auto query =
        m_db.prepare("SELECT 1 FROM signin_requests WHERE id = ?1 AND state = 'pending' AND created_at > ?2");
    query.bind(1, id).bind(2, nowMillis() - m_expiryMillis);
    return query.step();
}

std::string SignIn::redirectFor(const std::string &callback, std::string_view id) const {
    // Ids are base64url, so they need no escaping in a query.
    return callback + "?state=" + std::string(id);
}

SignIn::ApprovalResult SignIn::approve(std::string_view id, std::string_view email, std::string_view password,
                                       std::string_view address) {
    if (!pending(id))
        return {Approval::Gone, {}, {}};
    if (const auto wait = m_throttle.check(email, address))
        return {Approval::Throttled, {}, *wait};
    if (!m_checks.try_acquire_for(std::chrono::seconds(20)))
        return {Approval::Busy, {}, {}};
    const auto account = m_accounts.verify(email, password);
    m_checks.release();
    if (account)
        m_throttle.succeeded(email, address);
    else
        m_throttle.failed(email, address);

    auto lock = m_db.lock();
    Transaction transaction(m_db);
    auto query = m_db.prepare("SELECT callback, failures FROM signin_requests WHERE id = ?1 AND state = "
                              "'pending' AND created_at > ?2");
    query.bind(1, id).bind(2, nowMillis() - m_expiryMillis);
    if (!query.step())
        return {Approval::Gone, {}, {}};
    const std::string callback = query.text(0);
    const std::int64_t failures = query.integer(1);
    if (!account) {
        // Guessing is cut short: after a few wrong passwords the request is refused for good.
        auto update =
            m_db.prepare("UPDATE signin_requests SET failures = failures + 1, "
                         "state = CASE WHEN failures + 1 >= ?2 THEN 'refused' ELSE state END WHERE id = ?1");
        update.bind(1, id).bind(2, maxPasswordFailures);
        update.run();
        transaction.commit();
        return {failures + 1 >= maxPasswordFailures ? Approval::Gone : Approval::WrongPassword, {}, {}};
    }
    auto update =
        m_db.prepare("UPDATE signin_requests SET state = 'approved', account_id = ?2 WHERE id = ?1");
    update.bind(1, id).bind(2, account->id);
    update.run();
    transaction.commit();
    {
        std::lock_guard pending(m_pendingMutex);
        decided(id);
    }
    return {Approval::Approved, redirectFor(callback, id), {}};
}

std::optional<std::string> SignIn::refuse(std::string_view id) {
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    auto query = m_db.prepare("SELECT callback FROM signin_requests WHERE id = ?1 AND state = 'pending'");
    query.bind(1, id);
    if (!query.step())
        return std::nullopt;
    const std::string callback = query.text(0);
    auto update = m_db.prepare("UPDATE signin_requests SET state = 'refused' WHERE id = ?1");
    update.bind(1, id);
    update.run();
    transaction.commit();
    {
        std::lock_guard pending(m_pendingMutex);
        decided(id);
    }
    return redirectFor(callback, id);
}

SignIn::ExchangeResult SignIn::exchange(std::string_view id, std::string_view verifier) {
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    auto query =
        m_db.prepare("SELECT challenge, state, created_at, account_id FROM signin_requests WHERE id = ?1");
    query.bind(1, id);
    if (!query.step())
        return {Exchange::Gone, {}};
    const std::string challenge = query.text(0);
    const std::string state = query.text(1);
    const bool expired = query.integer(2) <= nowMillis() - m_expiryMillis;
    const std::int64_t accountId = query.integer(3);
    query.reset();
    if (state == "used" || state == "refused")
        return {Exchange::Gone, {}};
    if (!Tokens::equal(Tokens::s256(verifier), challenge)) {
        // Whoever holds a wrong verifier is not the application that asked: end the request.
        auto refuse = m_db.prepare("UPDATE signin_requests SET state = 'refused' WHERE id = ?1");
        refuse.bind(1, id);
        refuse.run();
        transaction.commit();
        return {Exchange::WrongVerifier, {}};
    }
    if (expired)
        return {Exchange::Gone, {}};
    if (state == "pending")
        return {Exchange::Pending, {}};
    // Approved: hand out the session once; the state change makes any second exchange fail.
    auto use = m_db.prepare("UPDATE signin_requests SET state = 'used' WHERE id = ?1 AND state = 'approved'");
    use.bind(1, id);
    use.run();
    if (m_db.changes() != 1)
        return {Exchange::Gone, {}};
    std::string session = m_accounts.addSession(accountId);
    transaction.commit();
    return {Exchange::Granted, std::move(session)};
}
