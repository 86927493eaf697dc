#pragma once

#include "connection/NativeResponse.h"
#include "sheet/SheetWire.h"

#include <nlohmann/json.hpp>

#include <QByteArray>

// JSON bodies shaped like the server's, for model tests.
namespace fixtures {
using json = nlohmann::json;

inline QByteArray pageJson(quint64 id, quint64 tab, qint64 rows, qint64 cols, bool mayWrite = true,
                           bool mayComment = true, bool mayShare = true) {
    const json page = {
        {"Sheet", {{"ID", id}, {"Title", "Sheet " + std::to_string(id)}, {"TabID", tab}, {"TabName", "T"}}},
        {"Rows", rows},
        {"Cols", cols},
        {"Truncated", false},
        {"MayWrite", mayWrite},
        {"MayComment", mayComment},
        {"MayShare", mayShare},
        {"FillSwatches", json::array()},
        {"InkSwatches", json::array()},
        {"NumberFormats", json::array()}};
    return QByteArray::fromStdString(page.dump());
}

inline json cellJson(qint64 r, qint64 c, const std::string &raw) {
    return {{"r", r}, {"c", c}, {"raw", raw}, {"display", raw}};
}

inline QByteArray gridJson(quint64 version, json cells = json::array(), json extra = json::object()) {
    json grid = {{"version", version}, {"cells", std::move(cells)}};
    grid.update(extra);
    return QByteArray::fromStdString(grid.dump());
}

inline GridResponse grid(quint64 version, json cells = json::array(), json extra = json::object()) {
    return decodeJson<GridResponse>(gridJson(version, std::move(cells), std::move(extra)));
}

inline SheetSummary summary(quint64 id, quint64 tab) {
    return SheetSummary{id, QStringLiteral("S"), tab, QStringLiteral("T"), {}};
}

inline NativeResponse answer(int status, const QByteArray &body) {
    return NativeResponse(body, status, {});
}
inline QByteArray body(const json &value) {
    return QByteArray::fromStdString(value.dump());
}
inline NativeResponse reply(int status, const json &value) {
    return answer(status, body(value));
}
// A notice answer: its code and the message shown.
inline NativeResponse notice(int status, const char *code, const char *message) {
    return reply(status, {{"notice", code}, {"message", message}});
}
// Panel records as the server sends them.
inline json historyEntry(quint64 id, const char *ref) {
    return {{"ID", id}, {"Ref", ref}, {"Who", "Ann"}, {"Old", "1"}, {"New", "2"}, {"When", "today"}};
}

inline json commentThread(qint64 r, qint64 c, const char *ref, bool resolved = false) {
    const json entries = json::array({{{"ID", 1}, {"Author", "Ann"}, {"Body", "Check"}}});
    return {{"RowPos", r}, {"ColPos", c}, {"Ref", ref}, {"Resolved", resolved}, {"Entries", entries}};
}

// A sharing page: one editor, one commenter link, and `newLink` when one was just made.
inline json sharingPage(const char *newLink) {
    return {{"People",
             json::array({{{"Member", {{"ID", 9}, {"Address", "bo@example.com"}}}, {"Role", "editor"}}})},
            {"Links", json::array({{{"ID", 12}, {"Role", "commenter"}}})},
            {"NewLink", newLink},
            {"Notice", ""}};
}

// A one-row table page, row `r`, with cells in columns D and F, under the server's saved view.
inline NativeResponse tablePage(bool hasPrev, bool hasNext, qint64 r) {
    const json view = {
        {"sortCol", 2}, {"sortDesc", true}, {"filterCol", -1}, {"filterOp", "nonempty"}, {"filterVal", ""}};
    const json cells = json::array({{{"R", r}, {"C", 3}, {"Raw", "=1+1"}, {"Display", "2"}},
                                    {{"R", r}, {"C", 5}, {"Raw", "x"}, {"Display", "x"}}});
    return reply(200, {{"View", view},
                       {"Rows", {{{"Number", r + 1}, {"Cells", cells}}}},
                       {"HasNext", hasNext},
                       {"HasPrev", hasPrev}});
}
} // namespace fixtures
