#include "BrowserDriver.h"

#include <QDeadlineTimer>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

// The WebDriver name of an element reference.
constexpr const char *elementKey = "element-6066-11e4-a52e-4f735466cecf";

int freePort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

} // namespace

BrowserDriver::BrowserDriver() = default;

BrowserDriver::~BrowserDriver() {
    if (!m_session.empty())
        call("DELETE", "/session/" + m_session);
    if (m_driver.state() != QProcess::NotRunning) {
        m_driver.terminate();
        if (!m_driver.waitForFinished(10000)) {
            m_driver.kill();
            m_driver.waitForFinished(5000);
        }
    }
}

bool BrowserDriver::start() {
    for (const char *program : {"/usr/bin/chromium", "/usr/bin/chromedriver"}) {
        if (!QFile::exists(program)) {
            m_error = std::string(program) + " is missing: install chromium and chromium-driver";
            return false;
        }
    }
    const int port = freePort();
    m_driver.setProcessChannelMode(QProcess::MergedChannels);
    m_driver.start("/usr/bin/chromedriver", {QStringLiteral("--port=%1").arg(port)});
    if (!m_driver.waitForStarted(10000)) {
        m_error = "chromedriver did not start";
        return false;
    }
    m_client = std::make_unique<httplib::Client>("127.0.0.1", port);
    m_client->set_read_timeout(120, 0);
    QDeadlineTimer ready(30000);
    while (!ready.hasExpired()) {
        const auto status = m_client->Get("/status");
        if (status && status->status == 200)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const nlohmann::json arguments = {"--headless",
                                      "--no-sandbox",
                                      "--disable-gpu",
                                      "--disable-quic",
                                      "--no-first-run",
                                      "--disable-background-networking",
                                      "--disable-component-update",
                                      "--disable-sync",
                                      "--user-data-dir=" + m_profile.path().toStdString()};
    const auto created =
        call("POST", "/session",
             {{"capabilities",
               {{"alwaysMatch",
                 {{"browserName", "chrome"},
                  {"goog:chromeOptions", {{"binary", "/usr/bin/chromium"}, {"args", arguments}}}}}}}});
    if (!created || !created->contains("sessionId")) {
        m_error = "chromedriver did not start a browser: " +
                  (created ? created->dump() : std::string("no answer")) + " " +
                  m_driver.readAll().toStdString();
        return false;
    }
    m_session = (*created)["sessionId"].get<std::string>();
    return true;
}

std::optional<nlohmann::json> BrowserDriver::call(const std::string &method, const std::string &path,
                                                  const nlohmann::json &body) {
    if (!m_client)
        return std::nullopt;
    httplib::Result result = method == "GET"      ? m_client->Get(path)
                             : method == "DELETE" ? m_client->Delete(path)
                                                  : m_client->Post(path, body.dump(), "application/json");
    if (!result)
        return std::nullopt;
    auto answer = nlohmann::json::parse(result->body, nullptr, false);
    if (answer.is_discarded() || !answer.contains("value"))
        return std::nullopt;
    if (result->status != 200) {
        m_error = answer["value"].dump();
        return std::nullopt;
    }
    return answer["value"];
}

bool BrowserDriver::open(const std::string &url) {
    return call("POST", "/session/" + m_session + "/url", {{"url", url}}).has_value();
}

std::optional<std::string> BrowserDriver::element(const std::string &selector) {
    const auto found =
        call("POST", "/session/" + m_session + "/element", {{"using", "css selector"}, {"value", selector}});
    if (!found || !found->contains(elementKey))
        return std::nullopt;
    return (*found)[elementKey].get<std::string>();
}

bool BrowserDriver::type(const std::string &selector, const std::string &text) {
    // Replaces what the field holds, as a person selecting it all and typing would.
    const auto id = element(selector);
    return id && call("POST", "/session/" + m_session + "/element/" + *id + "/clear") &&
           call("POST", "/session/" + m_session + "/element/" + *id + "/value", {{"text", text}});
}

bool BrowserDriver::click(const std::string &selector) {
    const auto id = element(selector);
    return id && call("POST", "/session/" + m_session + "/element/" + *id + "/click");
}

std::string BrowserDriver::text() {
    const auto body = element("body");
    if (!body)
        return {};
    const auto shown = call("GET", "/session/" + m_session + "/element/" + *body + "/text");
    return shown && shown->is_string() ? shown->get<std::string>() : std::string();
}
