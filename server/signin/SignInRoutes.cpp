#include "signin/SignInRoutes.h"

#include "base/Tokens.h"
#include "http/ConnectionServer.h"
#include "http/EventHub.h"
#include "http/HttpReply.h"
#include "signin/Accounts.h"
#include "signin/ApprovalPage.h"
#include "signin/SessionGate.h"
#include "signin/SignIn.h"

namespace {

const char *const goneTitle = "Sign-in request ended";
const char *const goneText = "This sign-in request has expired, was refused or was already used. Start the "
                             "sign-in again in the application.";

std::string stringField(const nlohmann::json &body, const char *key) {
    const auto it = body.find(key);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

void SignInRoutes::mount(httplib::Server &server) {
    server.Post("/native/request", [this](const auto &req, auto &res) { request(req, res); });
    server.Get("/native/start", [this](const auto &req, auto &res) { startPage(req, res); });
    server.Post("/native/start", [this](const auto &req, auto &res) { startForm(req, res); });
    server.Post("/native/exchange", [this](const auto &req, auto &res) { exchange(req, res); });
    server.Post("/signout", [this](const auto &req, auto &res) { signOut(req, res); });
}

void SignInRoutes::request(const httplib::Request &req, httplib::Response &res) {
    const auto body = HttpReply::jsonObject(req, res);
    if (!body)
        return;
    const std::string challenge = stringField(*body, "challenge");
    const std::string callback = stringField(*body, "callback");
    if (!Tokens::valid(challenge)) {
        HttpReply::notice(res, 400, "invalid-challenge",
                          "The sign-in challenge must be an S256 code challenge.");
        return;
    }
    if (!SignIn::validCallback(callback)) {
        HttpReply::notice(res, 400, "invalid-callback",
                          "The sign-in callback must be an application's signin address.");
        return;
    }
    const auto id = m_signIn.request(challenge, callback, ConnectionServer::clientKey(req.remote_addr));
    if (!id) {
        res.set_header("Retry-After", "60");
        HttpReply::notice(res, 429, "too-many-requests",
                          "Too many sign-ins from this address are waiting for approval. Try again later.");
        return;
    }
    HttpReply::json(res, 200, {{"id", *id}});
}

void SignInRoutes::startPage(const httplib::Request &req, httplib::Response &res) {
    const std::string id = req.get_param_value("id");
    if (!Tokens::valid(id) || !m_signIn.pending(id)) {
        HttpReply::html(res, 410, ApprovalPage::message(goneTitle, goneText));
        return;
    }
    HttpReply::html(res, 200, ApprovalPage::form(id, Tokens::comparisonCode(id), "", ""));
}

void SignInRoutes::startForm(const httplib::Request &req, httplib::Response &res) {
    const std::string id = req.get_param_value("id");
    const std::string email = req.get_param_value("email");
    if (!Tokens::valid(id)) {
        HttpReply::html(res, 410, ApprovalPage::message(goneTitle, goneText));
        return;
    }
    if (req.get_param_value("action") == "refuse") {
        const auto redirect = m_signIn.refuse(id);
        if (!redirect) {
            HttpReply::html(res, 410, ApprovalPage::message(goneTitle, goneText));
            return;
        }
        res.set_redirect(*redirect, 303);
        return;
    }
    const auto result = m_signIn.approve(id, email, req.get_param_value("password"),
                                         ConnectionServer::clientKey(req.remote_addr));
    switch (result.outcome) {
    case SignIn::Approval::Approved:
        res.set_header("Cache-Control", "no-store");
        res.set_redirect(result.redirect, 303);
        return;
    case SignIn::Approval::WrongPassword:
        HttpReply::html(res, 403,
                        ApprovalPage::form(id, Tokens::comparisonCode(id), email,
                                           "The e-mail address or the password is not correct."));
        return;
    case SignIn::Approval::Throttled:
        if (!result.wait.locked)
            res.set_header("Retry-After", std::to_string(result.wait.seconds));
        HttpReply::html(
            res, 429,
            ApprovalPage::form(id, Tokens::comparisonCode(id), email, SignInThrottle::message(result.wait)));
        return;
    case SignIn::Approval::Busy:
        res.set_header("Retry-After", "5");
        HttpReply::html(res, 503,
                        ApprovalPage::form(id, Tokens::comparisonCode(id), email,
                                           "The server is busy checking other sign-ins. Try again in a "
                                           "few seconds."));
        return;
    case SignIn::Approval::Gone:
        HttpReply::html(res, 410, ApprovalPage::message(goneTitle, goneText));
        return;
    }
}

void SignInRoutes::exchange(const httplib::Request &req, httplib::Response &res) {
    const auto body = HttpReply::jsonObject(req, res);
    if (!body)
        return;
    const std::string id = stringField(*body, "id");
    const std::string verifier = stringField(*body, "verifier");
    if (!Tokens::valid(id) || verifier.size() < 43 || verifier.size() > 128) {
        HttpReply::notice(res, 400, "invalid-exchange",
                          "The sign-in exchange needs the request id and its verifier.");
        return;
    }
    const auto result = m_signIn.exchange(id, verifier);
    switch (result.outcome) {
    case SignIn::Exchange::Pending:
        HttpReply::notice(res, 202, "pending", "Waiting for approval in the browser.");
        return;
    case SignIn::Exchange::Granted:
        HttpReply::json(res, 200, {{"name", m_gate.cookieName()}, {"value", result.session}});
        return;
    case SignIn::Exchange::WrongVerifier:
        HttpReply::notice(res, 403, "refused", "Sign-in expired or was refused. Please try again.");
        return;
    case SignIn::Exchange::Gone:
        HttpReply::notice(res, 410, "expired", "Sign-in expired or was refused. Please try again.");
        return;
    }
}

void SignInRoutes::signOut(const httplib::Request &req, httplib::Response &res) {
    const auto session = m_gate.session(req);
    if (!session) {
        HttpReply::notice(res, 401, "signed-out", "Your session has ended. Sign in again.");
        return;
    }
    m_accounts.endSession(session->token);
    m_hub.sessionEnded(Tokens::sha256(session->token));
    HttpReply::notice(res, 200, "signed-out", "You are signed out.");
}
