#include "panels/Sharing.h"

#include "base/Clock.h"
#include "base/Refusal.h"
#include "base/Tokens.h"
#include "signin/Account.h"
#include "storage/Database.h"
#include "storage/Transaction.h"

namespace {

// Higher is more: a link never lowers what someone already has.
int rank(SheetStore::Role role) {
    switch (role) {
    case SheetStore::Role::Owner:
        return 3;
    case SheetStore::Role::Editor:
        return 2;
    case SheetStore::Role::Commenter:
        return 1;
    case SheetStore::Role::Viewer:
        break;
    }
    return 0;
}

void createInvitations(Database &db) {
    db.exec(
        "CREATE TABLE IF NOT EXISTS invitations (id INTEGER PRIMARY KEY, sheet_id INTEGER NOT NULL "
        "REFERENCES sheets(id) ON DELETE CASCADE, email TEXT NOT NULL COLLATE NOCASE, role TEXT NOT NULL, "
        "created_at INTEGER NOT NULL, UNIQUE (sheet_id, email))");
}

} // namespace

Sharing::Sharing(Database &db, SheetStore &sheets) : m_db(db), m_sheets(sheets) {
    auto lock = m_db.lock();
    createInvitations(m_db);
}

nlohmann::json Sharing::page(std::int64_t sheetId, const std::string &newLink, const std::string &notice) {
    auto reading = m_db.read();
    nlohmann::json people = nlohmann::json::array();
    auto members =
        m_db.prepare("SELECT a.id, a.email, m.role FROM members m JOIN accounts a ON a.id = m.account_id "
                     "WHERE m.sheet_id = ?1 ORDER BY a.email");
    members.bind(1, sheetId);
    while (members.step()) {
        people.push_back(
            {{"Member",
              {{"ID", static_cast<std::uint64_t>(members.integer(0))}, {"Address", members.text(1)}}},
             {"Role", members.text(2)}});
    }
    auto invited = m_db.prepare("SELECT id, email, role FROM invitations WHERE sheet_id = ?1 ORDER BY email");
    invited.bind(1, sheetId);
    while (invited.step()) {
        people.push_back({{"Member",
                           {{"ID", static_cast<std::uint64_t>(invitationIdBase + invited.integer(0))},
                            {"Address", invited.text(1) + " (invited, no account yet)"}}},
                          {"Role", invited.text(2)}});
    }
    nlohmann::json links = nlohmann::json::array();
    auto query = m_db.prepare("SELECT id, role FROM links WHERE sheet_id = ?1 ORDER BY id");
    query.bind(1, sheetId);
    while (query.step())
        links.push_back({{"ID", static_cast<std::uint64_t>(query.integer(0))}, {"Role", query.text(1)}});
    return {{"People", people}, {"Links", links}, {"NewLink", newLink}, {"Notice", notice}};
}

std::optional<SheetStore::Role> Sharing::grant(std::int64_t sheetId, std::int64_t accountId,
                                               SheetStore::Role role) {
    const auto before = m_sheets.role(sheetId, accountId);
    auto lock = m_db.lock();
    auto upsert = m_db.prepare("INSERT INTO members (sheet_id, account_id, role) VALUES (?1, ?2, ?3) "
                               "ON CONFLICT (sheet_id, account_id) DO UPDATE SET role = excluded.role");
    upsert.bind(1, sheetId).bind(2, accountId).bind(3, SheetStore::roleName(role));
    upsert.run();
    return before;
}

bool Sharing::revoke(std::int64_t sheetId, std::int64_t accountId) {
    auto lock = m_db.lock();
    if (accountId > invitationIdBase) {
        auto erase = m_db.prepare("DELETE FROM invitations WHERE sheet_id = ?1 AND id = ?2");
        erase.bind(1, sheetId).bind(2, accountId - invitationIdBase);
        erase.run();
        return m_db.changes() > 0;
    }
    auto erase = m_db.prepare("DELETE FROM members WHERE sheet_id = ?1 AND account_id = ?2");
    erase.bind(1, sheetId).bind(2, accountId);
    erase.run();
    return m_db.changes() > 0;
}

void Sharing::invite(std::int64_t sheetId, const std::string &email, SheetStore::Role role) {
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    auto count = m_db.prepare("SELECT COUNT(*) FROM invitations WHERE sheet_id = ?1");
    count.bind(1, sheetId);
    count.step();
    if (count.integer(0) >= maxInvitations)
        throw Refusal(409, "too-many-invitations",
                      "A sheet has at most 200 open invitations. Remove one before inviting someone else.");
    count.reset();
    auto upsert =
        m_db.prepare("INSERT INTO invitations (sheet_id, email, role, created_at) VALUES (?1, ?2, ?3, ?4) "
                     "ON CONFLICT (sheet_id, email) DO UPDATE SET role = excluded.role");
    upsert.bind(1, sheetId).bind(2, email).bind(3, SheetStore::roleName(role)).bind(4, nowMillis());
    upsert.run();
    transaction.commit();
}

void Sharing::welcome(Database &db, const Account &account) {
    auto lock = db.lock();
    createInvitations(db);
    Transaction transaction(db);
    auto join = db.prepare("INSERT OR IGNORE INTO members (sheet_id, account_id, role) "
                           "SELECT sheet_id, ?1, role FROM invitations WHERE email = ?2");
    join.bind(1, account.id).bind(2, account.email);
    join.run();
    auto erase = db.prepare("DELETE FROM invitations WHERE email = ?1");
    erase.bind(1, account.email);
    erase.run();
    transaction.commit();
}

std::string Sharing::createLink(std::int64_t sheetId, SheetStore::Role role) {
    const std::string token = Tokens::random();
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    auto count = m_db.prepare("SELECT COUNT(*) FROM links WHERE sheet_id = ?1");
    count.bind(1, sheetId);
    count.step();
    if (count.integer(0) >= maxLinks)
        throw Refusal(409, "too-many-links",
                      "A sheet has at most 100 links. Revoke one before creating another.");
    auto insert =
        m_db.prepare("INSERT INTO links (sheet_id, token_hash, role, created_at) VALUES (?1, ?2, ?3, ?4)");
    insert.bind(1, sheetId)
        .bindBlob(2, Tokens::sha256(token))
        .bind(3, SheetStore::roleName(role))
        .bind(4, nowMillis());
    insert.run();
    transaction.commit();
    return token;
}

bool Sharing::revokeLink(std::int64_t sheetId, std::int64_t linkId) {
    auto lock = m_db.lock();
    auto erase = m_db.prepare("DELETE FROM links WHERE sheet_id = ?1 AND id = ?2");
    erase.bind(1, sheetId).bind(2, linkId);
    erase.run();
    return m_db.changes() > 0;
}

std::optional<Sharing::Opened> Sharing::openLink(const std::string &token, std::int64_t accountId) {
    if (!Tokens::valid(token))
        return std::nullopt;
    std::int64_t sheetId = 0;
    SheetStore::Role role = SheetStore::Role::Viewer;
    {
        auto lock = m_db.lock();
        auto query = m_db.prepare("SELECT sheet_id, role FROM links WHERE token_hash = ?1");
        query.bindBlob(1, Tokens::sha256(token));
        if (!query.step())
            return std::nullopt;
        sheetId = query.integer(0);
        role = SheetStore::parseRole(query.text(1)).value_or(SheetStore::Role::Viewer);
    }
    const auto sheet = m_sheets.sheet(sheetId);
    if (!sheet)
        return std::nullopt;
    const auto current = m_sheets.role(sheetId, accountId);
    if (current && rank(*current) >= rank(role))
        return Opened{*sheet, *current};
    grant(sheetId, accountId, role);
    return Opened{*sheet, role};
}
