#include "panels/PanelRoutes.h"

#include "base/TextRules.h"
#include "formulas/FormulaEngine.h"
#include "http/HttpReply.h"
#include "panels/Comments.h"
#include "panels/TableView.h"
#include "sheets/CellRef.h"
#include "sheets/EditHistory.h"
#include "sheets/GridWriter.h"

#include <algorithm>
#include <functional>

namespace {

const char *const sheetPath = R"(/sheets/(\d+))";

void refuse(httplib::Response &res, const std::string &code, const std::string &message) {
    HttpReply::notice(res, 400, code, message);
}

std::string cells(std::size_t count) {
    return count == 1 ? std::string("1 cell") : std::to_string(count) + " cells";
}

} // namespace

void PanelRoutes::mount(httplib::Server &server) {
    const std::string sheet = sheetPath;
    // A Refusal thrown by a handler is answered by the server's exception handler.
    auto route = [this](void (PanelRoutes::*handler)(const httplib::Request &, httplib::Response &)) {
        return std::bind_front(handler, this);
    };
    server.Post(sheet + "/rename", route(&PanelRoutes::rename));
    server.Post(sheet + "/view", route(&PanelRoutes::saveView));
    server.Get(sheet + "/table", route(&PanelRoutes::tablePage));
    server.Get(sheet + "/history", route(&PanelRoutes::history));
    server.Post(sheet + "/restore", route(&PanelRoutes::restore));
    server.Post(sheet + "/undo", route(&PanelRoutes::undo));
    server.Get(sheet + "/comments", route(&PanelRoutes::comments));
    server.Post(sheet + "/comments", route(&PanelRoutes::addComment));
    server.Post(sheet + "/comments/resolve", route(&PanelRoutes::resolveComment));
}

void PanelRoutes::rename(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Write);
    if (!granted)
        return;
    const std::string title = TextRules::trimmed(req.get_param_value("title"));
    if (title.empty()) {
        refuse(res, "empty-title", "Enter a title for the sheet. The title was not changed.");
        return;
    }
    if (!TextRules::validUtf8(title) || TextRules::hasControl(title, false)) {
        refuse(res, "invalid-title",
               "A title cannot hold line breaks or control characters. The title was not changed.");
        return;
    }
    if (TextRules::length(title) > maxTitleLength) {
        refuse(res, "title-too-long", "A title has at most 200 characters. The title was not changed.");
        return;
    }
    m_sheets.rename(granted->sheet.id, title);
    HttpReply::notice(res, 200, "renamed", "The sheet is now called \u201c" + title + "\u201d.");
}

void PanelRoutes::saveView(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Write);
    if (!granted)
        return;
    TableView::Settings settings;
    const auto sortCol =
        TextRules::wholeNumber(req.get_param_value("sortCol"), -1, FormulaEngine::maxCols - 1);
    const auto filterCol =
        TextRules::wholeNumber(req.get_param_value("filterCol"), -1, FormulaEngine::maxCols - 1);
    if (!sortCol || !filterCol) {
        refuse(res, "invalid-view",
               "Choose the sort and filter columns from the list, or None. The table settings were not "
               "changed.");
        return;
    }
    const std::string desc = req.get_param_value("sortDesc");
    if (!desc.empty() && desc != "1" && desc != "true") {
        refuse(res, "invalid-view",
               "Descending is either on (1) or off (empty). The table settings were not changed.");
        return;
    }
    settings.sortCol = *sortCol;
    settings.sortDesc = !desc.empty();
    settings.filterCol = *filterCol;
    settings.filterOp = req.has_param("filterOp") ? req.get_param_value("filterOp") : std::string("contains");
    settings.filterVal = req.get_param_value("filterVal");
    const auto &operators = TableView::operators();
    if (std::find(operators.begin(), operators.end(), settings.filterOp) == operators.end()) {
        refuse(res, "invalid-view",
               "Filter with contains, equals, gt, lt or nonempty. The table settings were not changed.");
        return;
    }
    if (settings.filterVal.size() > TableView::maxFilterBytes || !TextRules::validUtf8(settings.filterVal)) {
        refuse(res, "invalid-view",
               "The filter value is too long or not valid text. The table settings were not changed.");
        return;
    }
    m_table.save(granted->sheet.id, settings);
    HttpReply::notice(res, 200, "view-saved", "The table settings are saved.");
}

void PanelRoutes::tablePage(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Read);
    if (!granted)
        return;
    std::optional<std::int64_t> page = 1;
    if (req.has_param("page"))
        page = TextRules::wholeNumber(req.get_param_value("page"), 1, 1000000);
    if (!page) {
        refuse(res, "invalid-page", "Ask for a page number from 1 up.");
        return;
    }
    HttpReply::json(res, 200, m_table.page(granted->sheet.id, granted->sheet.tabId, *page));
}

void PanelRoutes::history(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Read);
    if (!granted)
        return;
    HttpReply::json(res, 200, m_history.page(granted->sheet.tabId));
}

void PanelRoutes::restore(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Write);
    if (!granted)
        return;
    const auto event = TextRules::wholeNumber(req.get_param_value("event"), 1, INT64_MAX);
    if (!event) {
        refuse(res, "invalid-event", "Name the edit to restore to by its number. Nothing was changed.");
        return;
    }
    const std::int64_t tabId = granted->sheet.tabId;
    const auto change = m_writer.rewrite(tabId, {granted->session.account.id, "restore"},
                                         [&] { return m_history.restorePlan(tabId, *event); });
    const auto count = static_cast<std::size_t>(change.stamps.value_or(0));
    HttpReply::notice(res, 200, "restored",
                      count == 0 ? std::string("The sheet already matched its state before that edit.")
                                 : "Restored " + cells(count) + " to the text before that edit.");
}

void PanelRoutes::undo(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Write);
    if (!granted)
        return;
    const std::int64_t tabId = granted->sheet.tabId;
    const std::int64_t accountId = granted->session.account.id;
    const auto change =
        m_writer.rewrite(tabId, {accountId, "undo"}, [&] { return m_history.undoPlan(tabId, accountId); });
    const auto count = static_cast<std::size_t>(change.stamps.value_or(0));
    HttpReply::notice(res, 200, "undone", "Undid your last edit (" + cells(count) + ").");
}

void PanelRoutes::comments(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Read);
    if (!granted)
        return;
    HttpReply::json(res, 200, m_comments.page(granted->sheet.id));
}

void PanelRoutes::addComment(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Comment);
    if (!granted)
        return;
    const auto r = TextRules::wholeNumber(req.get_param_value("r"), 0, FormulaEngine::maxRows - 1);
    const auto c = TextRules::wholeNumber(req.get_param_value("c"), 0, FormulaEngine::maxCols - 1);
    if (!r || !c) {
        refuse(res, "invalid-cell",
               "A comment needs the cell's row and column within the sheet. Nothing was added.");
        return;
    }
    const std::string body = req.get_param_value("body");
    if (TextRules::trimmed(body).empty()) {
        refuse(res, "empty-comment", "Write something before adding a comment. Nothing was added.");
        return;
    }
    if (body.size() > Comments::maxBodyBytes || !TextRules::validUtf8(body) ||
        TextRules::hasControl(body, true)) {
        refuse(res, "invalid-comment", "A comment is plain text of at most 4,000 bytes. Nothing was added.");
        return;
    }
    m_comments.add(granted->sheet.id, *r, *c, granted->session.account.id, body);
    HttpReply::notice(res, 200, "added", "Your comment on " + cellRef(*r, *c) + " was added.");
}

void PanelRoutes::resolveComment(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Comment);
    if (!granted)
        return;
    const auto r = TextRules::wholeNumber(req.get_param_value("r"), 0, FormulaEngine::maxRows - 1);
    const auto c = TextRules::wholeNumber(req.get_param_value("c"), 0, FormulaEngine::maxCols - 1);
    if (!r || !c) {
        refuse(res, "invalid-cell", "Name the thread by its cell's row and column. Nothing was changed.");
        return;
    }
    if (!m_comments.resolve(granted->sheet.id, *r, *c)) {
        HttpReply::notice(res, 404, "no-thread", "There is no comment thread on " + cellRef(*r, *c) + ".");
        return;
    }
    HttpReply::notice(res, 200, "resolved", "The thread on " + cellRef(*r, *c) + " is resolved.");
}
