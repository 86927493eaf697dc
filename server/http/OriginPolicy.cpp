#include "http/OriginPolicy.h"

#include <array>

OriginPolicy::OriginPolicy(std::string scheme, std::string host, int port, std::string publicOrigin)
    : m_scheme(std::move(scheme)), m_host(std::move(host)), m_port(port), m_explicit(!publicOrigin.empty()) {
    if (m_explicit) {
        m_origin = std::move(publicOrigin);
        while (m_origin.ends_with('/'))
            m_origin.pop_back();
        return;
    }
    const bool v6 = m_host.find(':') != std::string::npos;
    const std::string shownHost = v6 ? "[" + m_host + "]" : m_host;
    const bool defaultPort = (m_scheme == "http" && m_port == 80) || (m_scheme == "https" && m_port == 443);
    m_origin = m_scheme + "://" + shownHost + (defaultPort ? "" : ":" + std::to_string(m_port));
}

bool OriginPolicy::isLoopback(std::string_view host) {
    return host == "127.0.0.1" || host == "localhost" || host == "::1" || host == "[::1]";
}

bool OriginPolicy::allows(std::string_view origin) const {
    if (origin == m_origin)
        return true;
    if (m_explicit || !isLoopback(m_host))
        return false;
    const bool defaultPort = (m_scheme == "http" && m_port == 80) || (m_scheme == "https" && m_port == 443);
    const std::string port = defaultPort ? "" : ":" + std::to_string(m_port);
    static constexpr std::array<std::string_view, 3> names = {"localhost", "127.0.0.1", "[::1]"};
    for (const auto name : names) {
        if (origin == m_scheme + "://" + std::string(name) + port)
            return true;
    }
    return false;
}
