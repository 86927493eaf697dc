#include "signin/Accounts.h"

#include "base/Clock.h"
#include "base/Tokens.h"
#include "storage/Database.h"
#include "storage/Transaction.h"

#include <sodium.h>

#include <algorithm>

namespace {

const std::string &unknownAccountHash() {
    static const std::string hash = [] {
        char text[crypto_pwhash_STRBYTES];
        const std::string password = Tokens::random();
        if (crypto_pwhash_str(text, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                              crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
            return std::string();
        return std::string(text);
    }();
    return hash;
}

} // namespace

bool Accounts::plausibleEmail(std::string_view email) {
    const auto at = email.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 >= email.size() || email.size() > 254)
        return false;
    return std::none_of(email.begin(), email.end(),
                        [](char ch) { return static_cast<unsigned char>(ch) <= ' ' || ch == 0x7f; });
}

Account Accounts::create(std::string_view email, std::string_view name, std::string_view password) {
    if (!plausibleEmail(email))
        throw Refused("Enter an e-mail address such as name@example.com.");
    if (name.empty() || name.size() > 200)
        throw Refused("Enter a name of 1 to 200 characters.");
    if (password.size() < 8 || password.size() > 1024)
        throw Refused("Choose a password of at least 8 characters.");

    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw Refused("Not enough memory to protect the password.");

    auto lock = m_db.lock();
    Transaction transaction(m_db);
    {
        auto existing = m_db.prepare("SELECT id FROM accounts WHERE email = ?1");
        existing.bind(1, email);
        if (existing.step())
            throw Refused("An account with this e-mail address already exists.");
    }
    auto insert =
        m_db.prepare("INSERT INTO accounts (email, name, password_hash, created_at) VALUES (?1, ?2, ?3, ?4)");
    insert.bind(1, email).bind(2, name).bind(3, std::string_view(hash)).bind(4, nowMillis());
    insert.run();
    Account account{m_db.lastInsertId(), std::string(email), std::string(name)};
    transaction.commit();
    return account;
}

std::optional<Account> Accounts::find(std::string_view email) {
    auto reading = m_db.read();
    auto query = m_db.prepare("SELECT id, email, name FROM accounts WHERE email = ?1");
    query.bind(1, email);
    if (!query.step())
        return std::nullopt;
    return Account{query.integer(0), query.text(1), query.text(2)};
}

std::optional<Account> Accounts::verify(std::string_view email, std::string_view password) {
    std::optional<Account> account;
    std::string hash;
    {
        auto reading = m_db.read();
        auto query = m_db.prepare("SELECT id, email, name, password_hash FROM accounts WHERE email = ?1");
        query.bind(1, email);
        if (query.step()) {
            account = Account{query.integer(0), query.text(1), query.text(2)};
            hash = query.text(3);
        }
    }
    // The slow hash runs outside the database lock so that other requests go on meanwhile. An
    // unknown address costs the same hash, so the answer time does not tell which addresses exist.
    if (!account)
        hash = unknownAccountHash();
    if (crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) != 0 || !account)
        return std::nullopt;
    return account;
}

std::string Accounts::startSession(std::int64_t accountId) {
    auto lock = m_db.lock();
    return addSession(accountId);
}

std::string Accounts::addSession(std::int64_t accountId) {
    const std::string token = Tokens::random();
    const std::int64_t now = nowMillis();
    auto insert = m_db.prepare(
        "INSERT INTO sessions (token_hash, account_id, created_at, expires_at) VALUES (?1, ?2, ?3, ?4)");
    insert.bindBlob(1, Tokens::sha256(token))
        .bind(2, accountId)
        .bind(3, now)
        .bind(4, now + sessionLifetimeMillis);
    insert.run();
    return token;
}

std::optional<Account> Accounts::sessionAccount(std::string_view token) {
    if (!Tokens::valid(token))
        return std::nullopt;
    const std::string hash = Tokens::sha256(token);
    const std::int64_t now = nowMillis();
    if (auto account = m_sessions.find(hash, now))
        return account;
    const auto generation = m_sessions.generation();
    auto reading = m_db.read();
    auto &query = m_db.cached(
        "SELECT a.id, a.email, a.name, s.expires_at FROM sessions s JOIN accounts a ON a.id = s.account_id "
        "WHERE s.token_hash = ?1 AND s.expires_at > ?2");
    query.bindBlob(1, hash).bind(2, now);
    if (!query.step())
        return std::nullopt;
    Account account{query.integer(0), query.text(1), query.text(2)};
    m_sessions.remember(hash, account, query.integer(3), generation);
    return account;
}

void Accounts::endSession(std::string_view token) {
    const std::string hash = Tokens::sha256(token);
    {
        auto lock = m_db.lock();
        auto erase = m_db.prepare("DELETE FROM sessions WHERE token_hash = ?1");
        erase.bindBlob(1, hash);
        erase.run();
    }
    m_sessions.forget(hash);
}
