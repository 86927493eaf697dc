#pragma once

#include <string>
#include <string_view>

// Which "Origin" a state-changing request may come from: the server's own. On a loopback address
// the three loopback names (localhost, 127.0.0.1, [::1]) count as the same origin, because each
// reaches this socket only from this machine and the client accepts any of them for http.
class OriginPolicy {
public:
    OriginPolicy(std::string scheme, std::string host, int port, std::string publicOrigin = {});

    const std::string &origin() const { return m_origin; }
    bool allows(std::string_view origin) const;
    static bool isLoopback(std::string_view host);

private:
    std::string m_scheme;
    std::string m_host;
    int m_port;
    std::string m_origin;
    bool m_explicit;
};
