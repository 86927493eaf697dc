#pragma once

#include "sheets/SheetStore.h"
#include "signin/SessionGate.h"

#include <httplib.h>

#include <optional>

// Resolves the signed-in account and its role on the sheet named by the first number of the path,
// and answers the refusal (401, 404, 403) when the role is not enough.
class SheetAccess {
public:
    enum class Need { Read, Comment, Write, Share };
    struct Granted {
        SessionGate::Session session;
        SheetStore::Sheet sheet;
        SheetStore::Role role;
    };

    SheetAccess(SessionGate &gate, SheetStore &sheets) : m_gate(gate), m_sheets(sheets) {}

    std::optional<SessionGate::Session> signedIn(const httplib::Request &req, httplib::Response &res);
    std::optional<Granted> sheet(const httplib::Request &req, httplib::Response &res, Need need);

private:
    SessionGate &m_gate;
    SheetStore &m_sheets;
};
