#pragma once

#include <httplib.h>

class EventHub;
class SessionGate;
class SignIn;
class Accounts;

// POST /native/request, GET and POST /native/start (the approval page and its form),
// POST /native/exchange and POST /signout.
class SignInRoutes {
public:
    SignInRoutes(SignIn &signIn, Accounts &accounts, SessionGate &gate, EventHub &hub)
        : m_signIn(signIn), m_accounts(accounts), m_gate(gate), m_hub(hub) {}

    void mount(httplib::Server &server);

private:
    void request(const httplib::Request &req, httplib::Response &res);
    void startPage(const httplib::Request &req, httplib::Response &res);
    void startForm(const httplib::Request &req, httplib::Response &res);
    void exchange(const httplib::Request &req, httplib::Response &res);
    void signOut(const httplib::Request &req, httplib::Response &res);

    SignIn &m_signIn;
    Accounts &m_accounts;
    SessionGate &m_gate;
    EventHub &m_hub;
};
