#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>

// The session cookie a sign-in hands out: {"name", "value"}.
struct ServerSession {
    std::string name;
    std::string value;
};

// A small synchronous HTTP client for tests: sends "Origin" like the application does, and the
// session cookie once one is set.
class TestClient {
public:
    // The server's origin, http or https (a test certificate is not verified).
    explicit TestClient(std::string origin);

    void setSession(const std::optional<ServerSession> &session) { m_session = session; }
    // Leaves "Origin" out when empty.
    void setOrigin(std::string origin) { m_origin = std::move(origin); }

    httplib::Result get(const std::string &path);
    httplib::Result post(const std::string &path, const std::string &body,
                         const std::string &contentType = "application/json");
    httplib::Result postJson(const std::string &path, const nlohmann::json &body);
    httplib::Result postForm(const std::string &path, const std::map<std::string, std::string> &fields);

    // The body of a successful answer as JSON, or a discarded value.
    static nlohmann::json json(const httplib::Result &result);

private:
    httplib::Headers headers() const;

    httplib::Client m_client;
    std::string m_origin;
    std::optional<ServerSession> m_session;
};
