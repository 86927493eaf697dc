#include "workbooks/WorkbookRoutes.h"

#include "base/TextRules.h"
#include "http/HttpReply.h"
#include "sheets/GridStore.h"
#include "storage/Database.h"
#include "workbooks/ImportJobs.h"
#include "workbooks/WorkbookWriter.h"

#include <iostream>
#include <set>

namespace {

// The new sheet's title: the file name without folders and extension, when it makes a good title.
std::string titleFrom(const std::string &filename) {
    std::string name = filename;
    if (const auto slash = name.find_last_of("/\\"); slash != std::string::npos)
        name = name.substr(slash + 1);
    if (const auto dot = name.find_last_of('.'); dot != std::string::npos && dot > 0)
        name = name.substr(0, dot);
    name = TextRules::trimmed(name);
    if (name.empty() || !TextRules::validUtf8(name) || TextRules::hasControl(name, false) ||
        TextRules::length(name) > 200)
        return "Imported workbook";
    return name;
}

// An ASCII file name for the download; the title in full goes in filename*.
std::string disposition(const std::string &title) {
    std::string plain;
    std::string encoded;
    for (const char ch : title) {
        const auto byte = static_cast<unsigned char>(ch);
        const bool safe = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                          ch == '-' || ch == '_' || ch == '.' || ch == ' ';
        plain += safe ? ch : '_';
        if (safe && ch != ' ') {
            encoded += ch;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", byte);
            encoded += hex;
        }
    }
    if (plain.empty())
        plain = "Workbook";
    return "attachment; filename=\"" + plain + ".xlsx\"; filename*=UTF-8''" + encoded + ".xlsx";
}

} // namespace

void WorkbookRoutes::mount(httplib::Server &server) {
    server.Post("/sheets/import", [this](const auto &req, auto &res) { startImport(req, res); });
    server.Get(R"(/api/native/jobs/([A-Za-z0-9_-]+))", [this](const auto &req, auto &res) { job(req, res); });
    server.Get(R"(/sheets/(\d+)/export\.xlsx)",
               [this](const auto &req, auto &res) { exportWorkbook(req, res); });
}

void WorkbookRoutes::startImport(const httplib::Request &req, httplib::Response &res) {
    const auto session = m_access.signedIn(req, res);
    if (!session)
        return;
    if (!req.is_multipart_form_data() || !req.has_file("file")) {
        HttpReply::notice(
            res, 400, "no-workbook",
            "Send the workbook as a multipart upload with one part named \"file\". No sheet was created.");
        return;
    }
    const auto file = req.get_file_value("file");
    if (file.content.size() > maxWorkbookBytes) {
        HttpReply::notice(res, 413, "too-large", "The workbook exceeds 20 MB. No sheet was created.");
        return;
    }
    if (file.content.empty()) {
        HttpReply::notice(res, 400, "empty-workbook", "The uploaded file is empty. No sheet was created.");
        return;
    }
    ImportJobs::Refused refused = ImportJobs::Refused::None;
    const auto job = m_jobs.start(session->account.id, titleFrom(file.filename), file.content, &refused);
    if (!job) {
        res.set_header("Retry-After", "30");
        if (refused == ImportJobs::Refused::AccountBusy)
            HttpReply::notice(res, 429, "busy",
                              "Your earlier imports are still waiting. Try again when one has finished.");
        else
            HttpReply::notice(res, 503, "busy", "Too many imports are waiting. Try again shortly.");
        return;
    }
    HttpReply::json(res, 202, {{"job", *job}});
}

void WorkbookRoutes::job(const httplib::Request &req, httplib::Response &res) {
    const auto session = m_access.signedIn(req, res);
    if (!session)
        return;
    const auto progress = m_jobs.progress(req.matches[1], session->account.id);
    if (!progress) {
        HttpReply::notice(res, 404, "unknown-job", "There is no such import job.");
        return;
    }
    HttpReply::json(res, 200, *progress);
}

void WorkbookRoutes::exportWorkbook(const httplib::Request &req, httplib::Response &res) {
    const auto granted = m_access.sheet(req, res, SheetAccess::Need::Read);
    if (!granted)
        return;
    WorkbookWriter::Content content;
    content.tabName = granted->sheet.tabName;
    {
        auto reading = m_db.read();
        content.cells = m_grid.allCells(granted->sheet.tabId);
        std::set<std::int64_t> ids;
        for (const auto &cell : content.cells) {
            if (cell.styleId)
                ids.insert(*cell.styleId);
        }
        content.styles = m_grid.styles(ids);
        content.sizes = m_grid.sizes(granted->sheet.tabId);
    }
    std::string bytes;
    try {
        bytes = WorkbookWriter::write(content, m_folder);
    } catch (const std::exception &failure) {
        std::cerr << "tabrel-server: export failed: " << failure.what() << std::endl;
        HttpReply::notice(res, 500, "export-failed", "The workbook could not be written. Try again.");
        return;
    }
    res.status = 200;
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Disposition", disposition(granted->sheet.title));
    res.set_content(std::move(bytes), WorkbookWriter::contentType);
}
