#include "TestClient.h"

TestClient::TestClient(std::string origin) : m_client(origin), m_origin(std::move(origin)) {
    m_client.enable_server_certificate_verification(false);
    // Generous: sanitizer builds are slow, and a slow answer must not read as a failure.
    m_client.set_read_timeout(120, 0);
    m_client.set_write_timeout(120, 0);
    m_client.set_connection_timeout(10, 0);
}

httplib::Headers TestClient::headers() const {
    httplib::Headers headers{{"Accept", "application/json"}};
    if (!m_origin.empty())
        headers.emplace("Origin", m_origin);
    if (m_session)
        headers.emplace("Cookie", m_session->name + "=" + m_session->value);
    return headers;
}

httplib::Result TestClient::get(const std::string &path) {
    return m_client.Get(path, headers());
}

httplib::Result TestClient::post(const std::string &path, const std::string &body,
                                 const std::string &contentType) {
    return m_client.Post(path, headers(), body, contentType);
}

httplib::Result TestClient::postJson(const std::string &path, const nlohmann::json &body) {
    return post(path, body.dump(), "application/json");
}

httplib::Result TestClient::postForm(const std::string &path,
                                     const std::map<std::string, std::string> &fields) {
    httplib::Params params;
    for (const auto &[name, value] : fields)
        params.emplace(name, value);
    return m_client.Post(path, headers(), params);
}

nlohmann::json TestClient::json(const httplib::Result &result) {
    if (!result)
        return nlohmann::json(nlohmann::json::value_t::discarded);
    return nlohmann::json::parse(result->body, nullptr, false);
}
