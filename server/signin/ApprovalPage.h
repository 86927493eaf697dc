#pragma once

#include <string>
#include <string_view>

// The pages a person sees in the browser while signing the application in.
class ApprovalPage {
public:
    // The form: the comparison code, e-mail and password, Approve and Refuse.
    static std::string form(std::string_view id, std::string_view code, std::string_view email,
                            std::string_view error);
    // The server's root page: what this server is and how to reach it from the application.
    static std::string home(std::string_view origin);
    static std::string message(std::string_view title, std::string_view text);
    static std::string escape(std::string_view text);
};
