#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QProcess>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>

// A real browser for the server's pages: headless Chromium driven through chromedriver's W3C
// WebDriver HTTP interface, with a fresh profile each time: start(), open(url), then type() into
// and click() on elements named by CSS selectors.
class BrowserDriver {
public:
    BrowserDriver();
    ~BrowserDriver();
    BrowserDriver(const BrowserDriver &) = delete;
    BrowserDriver &operator=(const BrowserDriver &) = delete;

    bool start();
    const std::string &error() const { return m_error; }

    bool open(const std::string &url);
    // Replaces the text of a field.
    bool type(const std::string &selector, const std::string &text);
    bool click(const std::string &selector);
    // The text a person sees on the page.
    std::string text();

private:
    std::optional<nlohmann::json> call(const std::string &method, const std::string &path,
                                       const nlohmann::json &body = nlohmann::json::object());
    std::optional<std::string> element(const std::string &selector);

    QProcess m_driver;
    QTemporaryDir m_profile;
    std::unique_ptr<httplib::Client> m_client;
    std::string m_session;
    std::string m_error;
};
