#include "http/BodyPolicy.h"

#include "base/TextRules.h"

namespace {

bool carriesBody(const std::string &method) {
    return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

} // namespace

bool BodyPolicy::signInPath(const std::string &path) {
    return path.starts_with("/native/") || path == "/signout";
}

std::size_t BodyPolicy::maxBodyBytes(const std::string &path) const {
    if (signInPath(path))
        return m_limits.maxSignInBodyBytes;
    if (path == "/sheets/import" || path.ends_with("/cells/batch"))
        return m_limits.maxBodyBytes;
    return m_limits.maxFormBodyBytes;
}

std::optional<BodyPolicy::Refused> BodyPolicy::check(const httplib::Request &req,
                                                     const std::function<bool()> &signedIn) const {
    const std::string encoding = req.get_header_value("Content-Encoding");
    if (!encoding.empty() && encoding != "identity")
        return Refused{415, "unsupported-encoding",
                       "The server does not accept compressed requests. Send the body uncompressed."};
    if (req.has_header("Transfer-Encoding"))
        return Refused{411, "length-required", "Send the request body with a Content-Length."};
    const bool declared = req.has_header("Content-Length");
    if (!declared) {
        if (carriesBody(req.method) && req.method != "DELETE")
            return Refused{411, "length-required", "Send the request body with a Content-Length."};
        return std::nullopt;
    }
    const auto length = TextRules::wholeNumber(req.get_header_value("Content-Length"), 0);
    if (!length)
        return Refused{400, "bad-request", "The request's Content-Length is not a number."};
    if (*length == 0)
        return std::nullopt;
    if (!signInPath(req.path) && !signedIn())
        return Refused{401, "signed-out", "Your session has ended. Sign in again."};
    if (static_cast<std::uint64_t>(*length) > maxBodyBytes(req.path))
        return Refused{413, "too-large", "The request is too large. Nothing was changed."};
    return std::nullopt;
}
