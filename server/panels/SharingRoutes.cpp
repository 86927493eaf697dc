#include "panels/SharingRoutes.h"

#include "base/TextRules.h"
#include "http/EventHub.h"
#include "http/HttpReply.h"
#include "panels/Sharing.h"
#include "signin/Accounts.h"

#include <functional>

namespace {

const char *const sheetPath = R"(/sheets/(\d+))";

} // namespace

void SharingRoutes::mount(httplib::Server &server) {
    const std::string sheet = sheetPath;
    // A Refusal thrown by a handler is answered by the server's exception handler.
    auto route = [this](void (SharingRoutes::*handler)(const httplib::Request &, httplib::Response &)) {
        return std::bind_front(handler, this);
    };
    server.Get(sheet + "/share", route(&SharingRoutes::page));
    server.Post(sheet + "/share", route(&SharingRoutes::grant));
    server.Post(sheet + "/share/revoke", route(&SharingRoutes::revoke));
    server.Post(sheet + "/share/link", route(&SharingRoutes::createLink));
    server.Post(sheet + "/share/link/revoke", route(&SharingRoutes::revokeLink));
    server.Get(R"(/links/([A-Za-z0-9_-]+))", route(&SharingRoutes::openLink));
}

void SharingRoutes::page(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Share);
    if (!granted)
        return;
    HttpReply::json(res, 200, m_sharing.page(granted->sheet.id, "", ""));
}

void SharingRoutes::grant(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Share);
    if (!granted)
        return;
    const std::string address = TextRules::trimmed(req.get_param_value("address"));
    const auto role = SheetStore::parseRole(req.get_param_value("role"));
    if (!role) {
        HttpReply::notice(res, 400, "invalid-role",
                          "Choose viewer, commenter, editor or owner. Nobody's access was changed.");
        return;
    }
    if (address.empty()) {
        HttpReply::notice(res, 400, "invalid-address",
                          "Enter the e-mail address of the person to share with.");
        return;
    }
    const auto account = m_accounts.find(address);
    if (!account) {
        // Answered as for an address that has an account, so that sharing tells nobody who has one
        // here; the person gets the role when their account is added.
        if (!Accounts::plausibleEmail(address)) {
            HttpReply::notice(res, 400, "invalid-address",
                              "Enter an e-mail address such as name@example.com.");
            return;
        }
        m_sharing.invite(granted->sheet.id, address, *role);
        HttpReply::notice(res, 200, "shared",
                          address + " now has " + SheetStore::roleName(*role) + " access.");
        return;
    }
    if (account->id == granted->session.account.id) {
        HttpReply::notice(res, 400, "own-access",
                          "You cannot change your own access. Ask another owner to do it.");
        return;
    }
    const auto before = m_sharing.grant(granted->sheet.id, account->id, *role);
    // Open streams were allowed under the old role; the client reconnects and reloads its rights.
    if (before && *before != *role)
        m_hub.accessChanged(granted->sheet.id, account->id);
    HttpReply::notice(res, 200, "shared",
                      account->email + " now has " + SheetStore::roleName(*role) + " access.");
}

void SharingRoutes::revoke(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Share);
    if (!granted)
        return;
    const auto member = TextRules::wholeNumber(req.get_param_value("member"), 1);
    if (!member) {
        HttpReply::notice(res, 400, "invalid-member",
                          "Name the person by their member number. Nobody's access was changed.");
        return;
    }
    if (*member == granted->session.account.id) {
        HttpReply::notice(res, 400, "own-access",
                          "You cannot remove your own access. Ask another owner to do it.");
        return;
    }
    if (!m_sharing.revoke(granted->sheet.id, *member)) {
        HttpReply::notice(res, 404, "not-a-member", "This person has no access to the sheet.");
        return;
    }
    m_hub.accessChanged(granted->sheet.id, *member);
    HttpReply::notice(res, 200, "revoked", "Access removed.");
}

void SharingRoutes::createLink(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Share);
    if (!granted)
        return;
    const auto role = SheetStore::parseRole(req.get_param_value("role"));
    if (!role || (*role != SheetStore::Role::Viewer && *role != SheetStore::Role::Commenter)) {
        HttpReply::notice(res, 400, "invalid-role",
                          "A link grants viewer or commenter access. No link was created.");
        return;
    }
    const std::string token = m_sharing.createLink(granted->sheet.id, *role);
    HttpReply::json(res, 200,
                    m_sharing.page(granted->sheet.id, m_origin + "/links/" + token,
                                   "Link created. Copy it now: it is shown only once."));
}

void SharingRoutes::revokeLink(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Share);
    if (!granted)
        return;
    const auto link = TextRules::wholeNumber(req.get_param_value("link"), 1);
    if (!link) {
        HttpReply::notice(res, 400, "invalid-link", "Name the link by its number. No link was revoked.");
        return;
    }
    if (!m_sharing.revokeLink(granted->sheet.id, *link)) {
        HttpReply::notice(res, 404, "unknown-link", "This sheet has no such link.");
        return;
    }
    HttpReply::notice(res, 200, "link-revoked",
                      "The link no longer opens the sheet. People who joined through it keep their access.");
}

void SharingRoutes::openLink(const httplib::Request &req, httplib::Response &res) {
    const auto session = m_access.signedIn(req, res);
    if (!session)
        return;
    const auto opened = m_sharing.openLink(req.matches[1], session->account.id);
    if (!opened) {
        HttpReply::notice(res, 404, "unknown-link", "This link was revoked or never existed.");
        return;
    }
    const std::string location = "/sheets/" + std::to_string(opened->sheet.id);
    HttpReply::json(res, 200,
                    {{"notice", "link-opened"},
                     {"message", "You have " + SheetStore::roleName(opened->role) + " access to \u201c" +
                                     opened->sheet.title + "\u201d."},
                     {"location", location}});
}
