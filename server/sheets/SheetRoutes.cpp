#include "sheets/SheetRoutes.h"

#include "base/TextRules.h"
#include "base/Tokens.h"
#include "formulas/FormulaEngine.h"
#include "formulas/NumberFormats.h"
#include "http/EventHub.h"
#include "http/HttpReply.h"
#include "sheets/GridJson.h"
#include "sheets/GridWriter.h"
#include "sheets/Palette.h"

namespace {

const char *const tabPath = R"(/api/sheets/(\d+)/tabs/(\d+))";

// A JSON integer (not a fraction, not a string) within [low, high].
std::optional<std::int64_t> integer(const nlohmann::json &body, const char *key, std::int64_t low,
                                    std::int64_t high) {
    const auto it = body.find(key);
    if (it == body.end() || !(it->is_number_integer()))
        return std::nullopt;
    if (it->is_number_unsigned() && it->get<std::uint64_t>() > static_cast<std::uint64_t>(high))
        return std::nullopt;
    const auto value = it->get<std::int64_t>();
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

void refuseInput(httplib::Response &res, const std::string &message) {
    HttpReply::notice(res, 400, "invalid-request", message);
}

} // namespace

void SheetRoutes::mount(httplib::Server &server) {
    const std::string tab = tabPath;
    server.Get("/sheets", [this](const auto &req, auto &res) { list(req, res); });
    server.Post("/sheets", [this](const auto &req, auto &res) { create(req, res); });
    server.Get(R"(/sheets/(\d+))", [this](const auto &req, auto &res) { page(req, res); });
    server.Get(tab + "/cells", [this](const auto &req, auto &res) { tile(req, res); });
    server.Post(tab + "/cells/batch", [this](const auto &req, auto &res) { batch(req, res); });
    server.Post(tab + "/format", [this](const auto &req, auto &res) { format(req, res); });
    server.Post(tab + "/size", [this](const auto &req, auto &res) { size(req, res); });
    server.Get(tab + "/stream", [this](const auto &req, auto &res) { stream(req, res); });
}

std::optional<SessionGate::Session> SheetRoutes::signedIn(const httplib::Request &req,
                                                          httplib::Response &res) {
    return m_access.signedIn(req, res);
}

std::optional<SheetRoutes::Access> SheetRoutes::access(const httplib::Request &req, httplib::Response &res,
                                                       Need need, bool withTab) {
    auto granted = m_access.sheet(req, res, SheetAccess::Need::Read);
    if (!granted)
        return std::nullopt;
    if (withTab) {
        const auto tabId = TextRules::wholeNumber(std::string(req.matches[2]), 1);
        if (!tabId || !m_sheets.hasTab(granted->sheet.id, *tabId)) {
            HttpReply::notice(res, 404, "not-found", "This tab does not exist.");
            return std::nullopt;
        }
        if (*tabId != granted->sheet.tabId) {
            HttpReply::notice(res, 404, "not-found", "This tab cannot be edited here.");
            return std::nullopt;
        }
    }
    if (need == Need::Write && !SheetStore::mayWrite(granted->role)) {
        HttpReply::notice(res, 403, "read-only", "You can view this sheet but not change it.");
        return std::nullopt;
    }
    return Access{granted->session, granted->sheet, granted->role};
}

void SheetRoutes::list(const httplib::Request &req, httplib::Response &res) {
    const auto session = signedIn(req, res);
    if (!session)
        return;
    nlohmann::json sheets = nlohmann::json::array();
    for (const auto &sheet : m_sheets.visibleTo(session->account.id))
        sheets.push_back(m_sheets.summary(sheet));
    HttpReply::json(res, 200, {{"Sheets", sheets}});
}

void SheetRoutes::create(const httplib::Request &req, httplib::Response &res) {
    const auto session = signedIn(req, res);
    if (!session)
        return;
    const auto sheet = m_sheets.create(session->account.id, "Untitled spreadsheet");
    HttpReply::json(res, 200, m_sheets.summary(sheet));
}

void SheetRoutes::page(const httplib::Request &req, httplib::Response &res) {
    const auto granted = access(req, res, Need::Read, false);
    if (!granted)
        return;
    HttpReply::json(res, 200, m_sheets.page(granted->sheet, granted->role));
}

void SheetRoutes::tile(const httplib::Request &req, httplib::Response &res) {
    const auto granted = access(req, res, Need::Read, true);
    if (!granted)
        return;
    const auto firstRow = TextRules::wholeNumber(req.get_param_value("firstRow"), 0);
    const auto firstCol = TextRules::wholeNumber(req.get_param_value("firstCol"), 0);
    const auto rows = TextRules::wholeNumber(req.get_param_value("rows"), 0);
    const auto cols = TextRules::wholeNumber(req.get_param_value("cols"), 0);
    if (!firstRow || !firstCol || !rows || !cols || *rows < 1 || *cols < 1 ||
        *firstRow >= FormulaEngine::maxRows || *firstCol >= FormulaEngine::maxCols ||
        *rows > FormulaEngine::maxRows || *cols > FormulaEngine::maxCols || *rows * *cols > maxWindowCells) {
        refuseInput(res, "Ask for a window of 1 to 100,000 cells with firstRow, firstCol, rows and cols.");
        return;
    }
    HttpReply::json(
        res, 200,
        GridJson::response(m_writer.read(granted->sheet.tabId, *firstRow, *firstCol, *rows, *cols)));
}

void SheetRoutes::batch(const httplib::Request &req, httplib::Response &res) {
    const auto granted = access(req, res, Need::Write, true);
    if (!granted)
        return;
    const auto body = HttpReply::jsonObject(req, res);
    if (!body)
        return;
    const auto cells = body->find("cells");
    if (cells == body->end() || !cells->is_array()) {
        refuseInput(res, "The batch needs a \"cells\" list. Nothing was changed.");
        return;
    }
    if (cells->size() > maxBatchWrites) {
        HttpReply::notice(res, 413, "too-many-cells",
                          "A batch holds at most 5,000 cells. Nothing was changed.");
        return;
    }
    std::vector<GridWriter::CellWrite> writes;
    writes.reserve(cells->size());
    for (const auto &item : *cells) {
        if (!item.is_object()) {
            refuseInput(res, "Each cell write must be an object. Nothing was changed.");
            return;
        }
        const auto r = integer(item, "r", 0, FormulaEngine::maxRows - 1);
        const auto c = integer(item, "c", 0, FormulaEngine::maxCols - 1);
        const auto raw = item.find("raw");
        if (!r || !c || raw == item.end() || !raw->is_string()) {
            refuseInput(
                res, "Each cell write needs r and c within the sheet and a raw text. Nothing was changed.");
            return;
        }
        GridWriter::CellWrite write{*r, *c, raw->get<std::string>(), std::nullopt, std::nullopt};
        if (write.raw.size() > maxRawBytes) {
            HttpReply::notice(res, 413, "cell-too-large",
                              "A cell exceeds the input size limit. Nothing was changed.");
            return;
        }
        const bool hasFrom = item.contains("fromR") && !item["fromR"].is_null();
        const bool hasFromC = item.contains("fromC") && !item["fromC"].is_null();
        if (hasFrom || hasFromC) {
            write.fromR = integer(item, "fromR", 0, FormulaEngine::maxRows - 1);
            write.fromC = integer(item, "fromC", 0, FormulaEngine::maxCols - 1);
            if (!write.fromR || !write.fromC) {
                refuseInput(
                    res, "A pasted cell needs both fromR and fromC within the sheet. Nothing was changed.");
                return;
            }
        }
        writes.push_back(std::move(write));
    }
    const auto change = m_writer.writeCells(granted->sheet.tabId, granted->session.account.id, writes);
    HttpReply::json(res, 200, GridJson::response(change));
}

void SheetRoutes::format(const httplib::Request &req, httplib::Response &res) {
    const auto granted = access(req, res, Need::Write, true);
    if (!granted)
        return;
    const auto body = HttpReply::jsonObject(req, res);
    if (!body)
        return;
    const auto r1 = integer(*body, "r1", 0, FormulaEngine::maxRows - 1);
    const auto c1 = integer(*body, "c1", 0, FormulaEngine::maxCols - 1);
    const auto r2 = integer(*body, "r2", 0, FormulaEngine::maxRows - 1);
    const auto c2 = integer(*body, "c2", 0, FormulaEngine::maxCols - 1);
    if (!r1 || !c1 || !r2 || !c2) {
        refuseInput(res,
                    "A format change needs the range r1, c1, r2, c2 within the sheet. Nothing was changed.");
        return;
    }
    GridWriter::FormatChange change;
    change.r1 = std::min(*r1, *r2);
    change.r2 = std::max(*r1, *r2);
    change.c1 = std::min(*c1, *c2);
    change.c2 = std::max(*c1, *c2);
    if ((change.r2 - change.r1 + 1) * (change.c2 - change.c1 + 1) > maxFormatCells) {
        HttpReply::notice(res, 413, "range-too-large",
                          "Format at most 250,000 cells at once. Nothing was changed.");
        return;
    }
    bool valid = true;
    auto flag = [&](const char *key, std::optional<bool> &out) {
        if (const auto it = body->find(key); it != body->end()) {
            if (it->is_boolean())
                out = it->get<bool>();
            else
                valid = false;
        }
    };
    auto text = [&](const char *key, std::optional<std::string> &out, auto accepts) {
        if (const auto it = body->find(key); it != body->end()) {
            if (it->is_string() && accepts(it->get<std::string>()))
                out = it->get<std::string>();
            else
                valid = false;
        }
    };
    flag("bold", change.bold);
    flag("italic", change.italic);
    text("align", change.align,
         [](const std::string &v) { return v.empty() || v == "left" || v == "center" || v == "right"; });
    text("numfmt", change.numfmt, [](const std::string &v) { return NumberFormats::known(v); });
    text("fill", change.fill,
         [](const std::string &v) { return v == "none" || Palette::fill(v).has_value(); });
    text("ink", change.ink, [](const std::string &v) { return v == "none" || Palette::ink(v).has_value(); });
    if (!valid) {
        refuseInput(res, "This format is not offered. Nothing was changed.");
        return;
    }
    if (!change.bold && !change.italic && !change.align && !change.numfmt && !change.fill && !change.ink) {
        refuseInput(res, "The format change names no property. Nothing was changed.");
        return;
    }
    HttpReply::json(res, 200, GridJson::response(m_writer.format(granted->sheet.tabId, change)));
}

void SheetRoutes::size(const httplib::Request &req, httplib::Response &res) {
    const auto granted = access(req, res, Need::Write, true);
    if (!granted)
        return;
    const auto body = HttpReply::jsonObject(req, res);
    if (!body)
        return;
    const bool col = body->contains("col");
    const bool row = body->contains("row");
    if (col == row) {
        refuseInput(res, "A size change names either \"col\" or \"row\". Nothing was changed.");
        return;
    }
    const auto index = col ? integer(*body, "col", 0, FormulaEngine::maxCols - 1)
                           : integer(*body, "row", 0, FormulaEngine::maxRows - 1);
    const auto sizeValue = body->find("size");
    if (!index || sizeValue == body->end() || !sizeValue->is_number()) {
        refuseInput(res, "A size change needs an index within the sheet and a size. Nothing was changed.");
        return;
    }
    const double points = sizeValue->get<double>();
    if (!(points >= 16 && points <= 2000)) {
        refuseInput(res, "Sizes lie between 16 and 2000 points. Nothing was changed.");
        return;
    }
    HttpReply::json(
        res, 200,
        GridJson::response(m_writer.resize(granted->sheet.tabId, col ? "col" : "row", *index, points)));
}

void SheetRoutes::stream(const httplib::Request &req, httplib::Response &res) {
    const auto granted = access(req, res, Need::Read, true);
    if (!granted)
        return;
    EventHub &hub = m_hub;
    // Each stream holds a worker thread; past this many the server says it is busy instead of
    // running out of threads for ordinary requests.
    if (hub.watcherCount() >= maxStreams) {
        res.set_header("Retry-After", "30");
        HttpReply::notice(res, 503, "busy", "The server has too many live connections. Try again shortly.");
        return;
    }
    auto watcher = hub.watch(granted->sheet.id, granted->sheet.tabId, granted->session.account.id,
                             Tokens::sha256(granted->session.token));
    if (!watcher) {
        res.set_header("Retry-After", "30");
        HttpReply::notice(
            res, 429, "too-many-streams",
            "This account has too many live connections open. Close some windows and try again.");
        return;
    }
    res.status = 200;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [&hub, watcher](std::size_t, httplib::DataSink &sink) {
            const auto next = hub.next(*watcher);
            if (next.text && !sink.write(next.text->data(), next.text->size()))
                return false;
            if (next.last)
                sink.done();
            return true;
        },
        [&hub, watcher](bool) { hub.unwatch(watcher); });
}
