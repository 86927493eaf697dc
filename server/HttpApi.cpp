#include "HttpApi.h"

#include "DatabaseError.h"
#include "ElasticTaskQueue.h"
#include "HttpReply.h"
#include "Refusal.h"
#include "SessionGate.h"
#include "SheetRoutes.h"
#include "SignInRoutes.h"

#include <iostream>

HttpApi::HttpApi(const std::optional<Tls> &tls, SessionGate &gate, SignInRoutes &signIn, SheetRoutes &sheets)
    : m_gate(gate) {
    if (tls)
        m_server = std::make_unique<httplib::SSLServer>(tls->certificate.c_str(), tls->key.c_str());
    else
        m_server = std::make_unique<httplib::Server>();

    m_server->new_task_queue = [] { return new ElasticTaskQueue(maxThreads); };
    m_server->set_payload_max_length(maxBodyBytes);
    // An answer goes out as a head and a body; without this, Nagle's algorithm holds the body back
    // until the client's delayed acknowledgement, about 40 ms on every write confirmation.
    m_server->set_tcp_nodelay(true);
    m_server->set_read_timeout(30, 0);
    m_server->set_write_timeout(30, 0);
    m_server->set_pre_routing_handler([this](const auto &req, auto &res) { return checkRequest(req, res); });
    m_server->set_error_handler([this](const httplib::Request &req, httplib::Response &res) {
        if (!res.body.empty())
            return;
        // Without a session every address but the sign-in ones answers 401, known or not.
        if (res.status == 404 && !req.path.starts_with("/native/") && !m_gate.session(req))
            res.status = 401;
        HttpReply::defaultNotice(res);
    });
    m_server->set_exception_handler(
        [](const httplib::Request &, httplib::Response &res, std::exception_ptr error) {
            std::string what = "unknown";
            try {
                std::rethrow_exception(error);
            } catch (const Refusal &refusal) {
                HttpReply::notice(res, refusal.status(), refusal.code(), refusal.what());
                return;
            } catch (const std::exception &e) {
                what = e.what();
            } catch (...) {
            }
            std::cerr << "tabrel-server: request failed: " << what << std::endl;
            HttpReply::notice(res, 500, "server-error",
                              "The server could not complete the request. Nothing was changed.");
        });
    signIn.mount(*m_server);
    sheets.mount(*m_server);
}

HttpApi::~HttpApi() = default;

bool HttpApi::valid() const {
    return m_server->is_valid();
}

int HttpApi::bind(const std::string &host, int port) {
    if (port == 0)
        return m_server->bind_to_any_port(host);
    return m_server->bind_to_port(host, port) ? port : -1;
}

bool HttpApi::serve() {
    return m_server->listen_after_bind();
}

void HttpApi::stop() {
    m_server->stop();
}

httplib::Server::HandlerResponse HttpApi::checkRequest(const httplib::Request &req, httplib::Response &res) {
    if (req.method == "GET" || req.method == "HEAD")
        return httplib::Server::HandlerResponse::Unhandled;
    // Every other method changes state: it must come from a page or application of this origin.
    const std::string origin = req.get_header_value("Origin");
    if (!m_origin || !m_origin->allows(origin)) {
        HttpReply::notice(res, 403, "origin-refused", "This request did not come from this server's origin.");
        // The body was not read, so this connection cannot carry another request.
        res.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}
