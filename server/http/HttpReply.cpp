#include "http/HttpReply.h"

void HttpReply::json(httplib::Response &res, int status, const nlohmann::json &body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

void HttpReply::notice(httplib::Response &res, int status, const std::string &code,
                       const std::string &message) {
    json(res, status, {{"notice", code}, {"message", message}});
}

void HttpReply::html(httplib::Response &res, int status, const std::string &page) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Frame-Options", "DENY");
    // "same-origin", not "no-referrer": with no referrer at all a browser sends "Origin: null" even on
    // the page's own form, which the origin check must refuse.
    res.set_header("Referrer-Policy", "same-origin");
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'");
    res.set_content(page, "text/html; charset=utf-8");
}

std::optional<nlohmann::json> HttpReply::jsonObject(const httplib::Request &req, httplib::Response &res) {
    auto body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        notice(res, 400, "invalid-json", "The request body is not a valid JSON object. Nothing was changed.");
        return std::nullopt;
    }
    return body;
}

void HttpReply::defaultNotice(httplib::Response &res) {
    switch (res.status) {
    case 400:
        notice(res, 400, "bad-request", "The request is not valid. Nothing was changed.");
        break;
    case 401:
        notice(res, 401, "signed-out", "Your session has ended. Sign in again.");
        break;
    case 403:
        notice(res, 403, "forbidden", "This request is not allowed.");
        break;
    case 404:
        notice(res, 404, "not-found", "There is nothing at this address.");
        break;
    case 405:
        notice(res, 405, "method-not-allowed", "This address does not accept this method.");
        break;
    case 413:
        notice(res, 413, "too-large", "The request is too large. Nothing was changed.");
        break;
    case 414:
        notice(res, 414, "too-long", "The request address is too long.");
        break;
    default:
        if (res.status >= 500)
            notice(res, res.status, "server-error", "The server could not complete the request.");
        else
            notice(res, res.status, "refused", "The request was refused.");
        break;
    }
}
