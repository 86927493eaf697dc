#pragma once

#include "sheets/SheetAccess.h"
#include "sheets/SheetStore.h"
#include "signin/SessionGate.h"

#include <httplib.h>

#include <optional>

class EventHub;
class GridWriter;

// The sheet list and pages under /sheets, and the grid of a tab under /api/sheets/{ID}/tabs/{TabID}:
// tile reads, batch writes, format, size and the live stream. Every route checks the session and the
// account's role on the sheet.
class SheetRoutes {
public:
    static constexpr std::size_t maxRawBytes = 8192;
    static constexpr std::size_t maxBatchWrites = 5000;
    static constexpr std::int64_t maxWindowCells = 100000;
    static constexpr std::int64_t maxFormatCells = 250000;
    static constexpr std::size_t maxStreams = 1500;

    SheetRoutes(SessionGate &gate, SheetStore &sheets, GridWriter &writer, EventHub &hub)
        : m_access(gate, sheets), m_sheets(sheets), m_writer(writer), m_hub(hub) {}

    void mount(httplib::Server &server);

private:
    struct Access {
        SessionGate::Session session;
        SheetStore::Sheet sheet;
        SheetStore::Role role;
    };
    enum class Need { Read, Write };

    std::optional<SessionGate::Session> signedIn(const httplib::Request &req, httplib::Response &res);
    // Resolves the sheet (and tab) of the path for the signed-in account, or answers the refusal.
    std::optional<Access> access(const httplib::Request &req, httplib::Response &res, Need need,
                                 bool withTab);

    void list(const httplib::Request &req, httplib::Response &res);
    void create(const httplib::Request &req, httplib::Response &res);
    void page(const httplib::Request &req, httplib::Response &res);
    void tile(const httplib::Request &req, httplib::Response &res);
    void batch(const httplib::Request &req, httplib::Response &res);
    void format(const httplib::Request &req, httplib::Response &res);
    void size(const httplib::Request &req, httplib::Response &res);
    void stream(const httplib::Request &req, httplib::Response &res);

    SheetAccess m_access;
    SheetStore &m_sheets;
    GridWriter &m_writer;
    EventHub &m_hub;
};
