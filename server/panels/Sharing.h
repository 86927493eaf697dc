#pragma once

#include "sheets/SheetStore.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

class Database;
struct Account;

// Who may open a sheet: its members with their roles, invitations of addresses that have no
// account yet (they become members when the account is added), and links that grant a role to
// whoever opens them while signed in. A link's token is kept only as a SHA-256 digest.
class Sharing {
public:
    static constexpr std::int64_t maxLinks = 100;

    struct Opened {
        SheetStore::Sheet sheet;
        SheetStore::Role role;
    };

    // Invitations are listed among the people with member numbers from here on, so that revoking
    // one works like removing a member.
    static constexpr std::int64_t invitationIdBase = 1LL << 40;
    static constexpr std::int64_t maxInvitations = 200;

    Sharing(Database &db, SheetStore &sheets);

    // SharingPage {People: [{Member: {ID, Address}, Role}], Links: [{ID, Role}], NewLink, Notice}.
    nlohmann::json page(std::int64_t sheetId, const std::string &newLink, const std::string &notice);
    // Sets the account's role; returns its previous role, if any.
    std::optional<SheetStore::Role> grant(std::int64_t sheetId, std::int64_t accountId,
                                          SheetStore::Role role);
    bool revoke(std::int64_t sheetId, std::int64_t accountId);
    // Remembers the role for an address without an account; throws Refusal when the sheet has too
    // many invitations.
    void invite(std::int64_t sheetId, const std::string &email, SheetStore::Role role);
    // Turns the invitations of a new account's address into memberships.
    static void welcome(Database &db, const Account &account);
    // Returns the new link's secret token; throws Refusal when the sheet has too many links.
    std::string createLink(std::int64_t sheetId, SheetStore::Role role);
    bool revokeLink(std::int64_t sheetId, std::int64_t linkId);
    // Grants the link's role unless the account already has as much; nothing for an unknown token.
    std::optional<Opened> openLink(const std::string &token, std::int64_t accountId);

private:
    Database &m_db;
    SheetStore &m_sheets;
};
