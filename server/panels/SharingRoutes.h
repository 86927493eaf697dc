#pragma once

#include "sheets/SheetAccess.h"

#include <httplib.h>

#include <string>

class Accounts;
class EventHub;
class Sharing;

// Sharing of a sheet under /sheets/{ID}/share (owners only), and the opening of a link: a GET of
// the link's address (/links/{token}) with a session grants the link's role to that account.
class SharingRoutes {
public:
    SharingRoutes(SheetAccess &access, Sharing &sharing, Accounts &accounts, EventHub &hub)
        : m_access(access), m_sharing(sharing), m_accounts(accounts), m_hub(hub) {}

    // The origin that link addresses start with; set once bound, before serving.
    void setOrigin(std::string origin) { m_origin = std::move(origin); }
    void mount(httplib::Server &server);

private:
    void page(const httplib::Request &req, httplib::Response &res);
    void grant(const httplib::Request &req, httplib::Response &res);
    void revoke(const httplib::Request &req, httplib::Response &res);
    void createLink(const httplib::Request &req, httplib::Response &res);
    void revokeLink(const httplib::Request &req, httplib::Response &res);
    void openLink(const httplib::Request &req, httplib::Response &res);

    SheetAccess &m_access;
    Sharing &m_sharing;
    Accounts &m_accounts;
    EventHub &m_hub;
    std::string m_origin;
};
