#pragma once

#include "http/BodyPolicy.h"
#include "http/ConnectionServer.h"
#include "http/OriginPolicy.h"

#include <httplib.h>

#include <memory>
#include <optional>
#include <string>

class SessionGate;
class SheetRoutes;
class SignInRoutes;

// The HTTP side of the server: one httplib server (TLS when given a certificate), the checks every
// request passes (body size, "Origin" of state-changing requests), the refusals as Notice records,
// and the routes.
class HttpApi {
public:
    using Tls = ConnectionServer::Tls;
    static constexpr std::size_t maxThreads = 2048;

    HttpApi(const std::optional<Tls> &tls, BodyPolicy::Limits bodies, ConnectionServer::Limits connections,
            SessionGate &gate, SignInRoutes &signIn, SheetRoutes &sheets);
    ~HttpApi();

    bool valid() const;
    // Adds more routes; call before serve().
    template <typename Routes> void mount(Routes &routes) { routes.mount(*m_server); }
    // Binds; port 0 picks a free port. Returns the bound port, or -1.
    int bind(const std::string &host, int port);
    // Call once bound: the origin that state-changing requests must come from.
    void setOriginPolicy(OriginPolicy policy) { m_origin.emplace(std::move(policy)); }
    // Serves until stop().
    bool serve();
    void stop();

private:
    httplib::Server::HandlerResponse checkRequest(const httplib::Request &req, httplib::Response &res);
    void home(httplib::Response &res) const;
    static void log(const httplib::Request &req, const httplib::Response &res);

    std::unique_ptr<ConnectionServer> m_server;
    SessionGate &m_gate;
    BodyPolicy m_bodies;
    std::optional<OriginPolicy> m_origin;
};
