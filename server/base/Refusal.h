#pragma once

#include <stdexcept>
#include <string>

// A request the server turns down for a reason people can act on; answered as a Notice with this
// status, code and message. Nothing was changed when it is thrown.
class Refusal : public std::runtime_error {
public:
    Refusal(int status, std::string code, const std::string &message)
        : std::runtime_error(message), m_status(status), m_code(std::move(code)) {}

    int status() const { return m_status; }
    const std::string &code() const { return m_code; }

private:
    int m_status;
    std::string m_code;
};
