#pragma once

#include "OriginPolicy.h"

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
    struct Tls {
        std::string certificate;
        std::string key;
    };
    static constexpr std::size_t maxBodyBytes = 64 * 1024 * 1024;
    static constexpr std::size_t maxThreads = 2048;

    HttpApi(const std::optional<Tls> &tls, SessionGate &gate, SignInRoutes &signIn, SheetRoutes &sheets);
    ~HttpApi();

    bool valid() const;
    // Binds; port 0 picks a free port. Returns the bound port, or -1.
    int bind(const std::string &host, int port);
    // Call once bound: the origin that state-changing requests must come from.
    void setOriginPolicy(OriginPolicy policy) { m_origin.emplace(std::move(policy)); }
    // Serves until stop().
    bool serve();
    void stop();

private:
    httplib::Server::HandlerResponse checkRequest(const httplib::Request &req, httplib::Response &res);

    std::unique_ptr<httplib::Server> m_server;
    SessionGate &m_gate;
    std::optional<OriginPolicy> m_origin;
};
