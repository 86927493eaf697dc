#include "signin/SessionGate.h"

#include "http/EventHub.h"
#include "signin/Accounts.h"

SessionGate::SessionGate(Accounts &accounts, EventHub &hub, bool https)
    : m_accounts(accounts), m_hub(hub), m_cookieName(https ? "__Host-larkspan_session" : "larkspan_session") {
}

std::optional<std::string> SessionGate::cookie(const httplib::Request &req, std::string_view name) {
    const std::size_t headers = req.get_header_value_count("Cookie");
    for (std::size_t h = 0; h < headers; ++h) {
        const std::string header = req.get_header_value("Cookie", h);
        std::size_t start = 0;
        while (start < header.size()) {
            std::size_t end = header.find(';', start);
            if (end == std::string::npos)
                end = header.size();
            std::string_view pair(header.data() + start, end - start);
            while (!pair.empty() && pair.front() == ' ')
                pair.remove_prefix(1);
            const auto equals = pair.find('=');
            if (equals != std::string_view::npos && pair.substr(0, equals) == name)
                return std::string(pair.substr(equals + 1));
            start = end + 1;
        }
    }
    return std::nullopt;
}

std::optional<SessionGate::Session> SessionGate::session(const httplib::Request &req) {
    const auto token = cookie(req, m_cookieName);
    if (!token)
        return std::nullopt;
    const auto account = m_accounts.sessionAccount(*token);
    if (!account)
        return std::nullopt;
    m_hub.touchAccount(account->id);
    return Session{*account, *token};
}
