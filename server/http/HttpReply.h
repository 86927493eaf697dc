#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// How the server answers: JSON records, Notice refusals {"notice", "message"} and HTML pages.
class HttpReply {
public:
    static void json(httplib::Response &res, int status, const nlohmann::json &body);
    static void notice(httplib::Response &res, int status, const std::string &code,
                       const std::string &message);
    static void html(httplib::Response &res, int status, const std::string &page);
    // The request body as a JSON object; otherwise answers 400 and returns nothing.
    static std::optional<nlohmann::json> jsonObject(const httplib::Request &req, httplib::Response &res);
    // The standard refusal for a status that no handler explained.
    static void defaultNotice(httplib::Response &res);
};
