#include "signin/ApprovalPage.h"

namespace {

std::string frame(std::string_view title, const std::string &body) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>" +
           ApprovalPage::escape(title) +
           "</title><style>"
           "body{font-family:system-ui,sans-serif;max-width:26rem;margin:3rem auto;padding:0 1rem;color:#222}"
           ".code{font:600 2rem ui-monospace,monospace;letter-spacing:.1em;text-align:center;padding:.6rem;"
           "border:1px solid #ccc;border-radius:.5rem;margin:1rem 0}"
           "label{display:block;margin:.8rem 0 .2rem}input[type=email],input[type=password]{width:100%;"
           "padding:.4rem;box-sizing:border-box}.error{color:#a00}.buttons{margin-top:1.2rem;display:flex;"
           "gap:.6rem}"
           "</style></head><body>" +
           body + "</body></html>\n";
}

} // namespace

std::string ApprovalPage::escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out.push_back(ch);
        }
    }
    return out;
}

std::string ApprovalPage::form(std::string_view id, std::string_view code, std::string_view email,
                               std::string_view error) {
    std::string body = "<h1>Sign in to Brevane Tabrel</h1>"
                       "<p>The application asks to sign in. Check that it shows the same code:</p>"
                       "<div class=\"code\" id=\"code\">" +
                       escape(code) + "</div>";
    if (!error.empty())
        body += "<p class=\"error\" role=\"alert\">" + escape(error) + "</p>";
    body +=
        "<form method=\"post\" action=\"/native/start\">"
        "<input type=\"hidden\" name=\"id\" value=\"" +
        escape(id) +
        "\">"
        "<label for=\"email\">E-mail</label>"
        "<input type=\"email\" id=\"email\" name=\"email\" autocomplete=\"username\" required value=\"" +
        escape(email) +
        "\">"
        "<label for=\"password\">Password</label>"
        "<input type=\"password\" id=\"password\" name=\"password\" autocomplete=\"current-password\">"
        "<div class=\"buttons\"><button type=\"submit\" name=\"action\" value=\"approve\">Approve</button>"
        "<button type=\"submit\" name=\"action\" value=\"refuse\" formnovalidate>Refuse</button></div>"
        "</form><p>If the codes differ, refuse: someone else may be trying to sign in.</p>";
    return frame("Sign in", body);
}

std::string ApprovalPage::message(std::string_view title, std::string_view text) {
    return frame(title, "<h1>" + escape(title) + "</h1><p>" + escape(text) + "</p>");
}

std::string ApprovalPage::home(std::string_view origin) {
    std::string body =
        "<h1>Brevane Tabrel server</h1>"
        "<p>This is a Brevane Tabrel server. Its spreadsheets are opened with the Brevane "
        "Tabrel application, not in the browser.</p>"
        "<p>To connect, open the application, choose <b>Sign In</b> and enter this address:</p>"
        "<div class=\"code\" id=\"address\">" +
        escape(origin) +
        "</div>"
        "<p>Your browser then opens a page that asks for your e-mail address and password "
        "and shows a code to compare with the one in the application.</p>";
    return frame("Brevane Tabrel server", body);
}
