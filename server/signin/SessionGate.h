#pragma once

#include "signin/Account.h"

#include <httplib.h>

#include <optional>
#include <string>
#include <string_view>

class Accounts;
class EventHub;

// Finds the signed-in account of a request from its session cookie ("__Host-larkspan_session" on
// https, "larkspan_session" on http) and notes the account's activity for idle streams.
class SessionGate {
public:
    struct Session {
        Account account;
        std::string token;
    };

    SessionGate(Accounts &accounts, EventHub &hub, bool https);

    const std::string &cookieName() const { return m_cookieName; }
    std::optional<Session> session(const httplib::Request &req);
    static std::optional<std::string> cookie(const httplib::Request &req, std::string_view name);

private:
    Accounts &m_accounts;
    EventHub &m_hub;
    std::string m_cookieName;
};
