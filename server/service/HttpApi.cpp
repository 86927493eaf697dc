#include "service/HttpApi.h"

#include "base/Refusal.h"
#include "http/ElasticTaskQueue.h"
#include "http/HttpReply.h"
#include "sheets/SheetRoutes.h"
#include "signin/ApprovalPage.h"
#include "signin/SessionGate.h"
#include "signin/SignInRoutes.h"
#include "storage/DatabaseError.h"

#include <chrono>
#include <cstdio>
#include <iostream>

HttpApi::HttpApi(const std::optional<Tls> &tls, BodyPolicy::Limits bodies,
                 ConnectionServer::Limits connections, SessionGate &gate, SignInRoutes &signIn,
                 SheetRoutes &sheets)
    : m_server(std::make_unique<ConnectionServer>(connections, tls ? &*tls : nullptr)), m_gate(gate),
      m_bodies(bodies) {
    m_server->new_task_queue = [] { return new ElasticTaskQueue(maxThreads); };
    m_server->set_payload_max_length(bodies.maxBodyBytes);
    m_server->set_pre_routing_handler([this](const auto &req, auto &res) { return checkRequest(req, res); });
    // A client that asks before sending its body hears the refusal without sending it.
    m_server->set_expect_100_continue_handler([this](const httplib::Request &req, httplib::Response &res) {
        return checkRequest(req, res) == httplib::Server::HandlerResponse::Handled ? res.status : 100;
    });
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
    m_server->set_logger([](const httplib::Request &req, const httplib::Response &res) { log(req, res); });
    m_server->Get("/", [this](const httplib::Request &, httplib::Response &res) { home(res); });
    signIn.mount(*m_server);
    sheets.mount(*m_server);
}

HttpApi::~HttpApi() = default;

bool HttpApi::valid() const {
    return m_server->is_valid();
}

int HttpApi::bind(const std::string &host, int port) {
    return m_server->bindAndListen(host, port);
}

bool HttpApi::serve() {
    return m_server->serve();
}

void HttpApi::stop() {
    m_server->stopServing();
}

httplib::Server::HandlerResponse HttpApi::checkRequest(const httplib::Request &req, httplib::Response &res) {
    const auto refuse = [&res](int status, const std::string &code, const std::string &message) {
        HttpReply::notice(res, status, code, message);
        // The body was not read, so this connection cannot carry another request.
        res.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
    };
    if (req.method == "GET" || req.method == "HEAD")
        return httplib::Server::HandlerResponse::Unhandled;
    // Every other method changes state: it must come from a page or application of this origin.
    const std::string origin = req.get_header_value("Origin");
    if (!m_origin || !m_origin->allows(origin))
        return refuse(403, "origin-refused", "This request did not come from this server's origin.");
    // Decided before a byte of the body is read.
    if (const auto refused = m_bodies.check(req, [&] { return m_gate.session(req).has_value(); }))
        return refuse(refused->status, refused->code, refused->message);
    // A body that will be read gets time by its size, beyond the deadline of the request's head.
    ConnectionServer::allowBody(
        static_cast<std::size_t>(req.get_header_value<std::uint64_t>("Content-Length")));
    return httplib::Server::HandlerResponse::Unhandled;
}

void HttpApi::home(httplib::Response &res) const {
    HttpReply::html(res, 200, ApprovalPage::home(m_origin ? m_origin->origin() : std::string()));
}

void HttpApi::log(const httplib::Request &req, const httplib::Response &res) {
    // One line per request for the journal: method, path without its query, status, time taken.
    // A request too broken to parse has neither method nor path.
    std::string line = (req.method.empty() ? "-" : req.method) + " " + (req.path.empty() ? "-" : "");
    for (const char ch : req.path) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7f || ch == ' ') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            line += escaped;
        } else {
            line.push_back(ch);
        }
    }
    line += " " + std::to_string(res.status);
    if (const auto *stream = ConnectionStream::current()) {
        const auto taken = std::chrono::duration_cast<std::chrono::microseconds>(
            ConnectionStream::Clock::now() - stream->requestStarted());
        char ms[32];
        std::snprintf(ms, sizeof ms, " %.1fms", static_cast<double>(taken.count()) / 1000.0);
        line += ms;
    }
    line += "\n";
    // One write per line, so that lines of concurrent requests never interleave.
    std::fwrite(line.data(), 1, line.size(), stderr);
}
