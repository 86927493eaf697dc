#include "sheets/SheetAccess.h"

#include "base/TextRules.h"
#include "http/HttpReply.h"

std::optional<SessionGate::Session> SheetAccess::signedIn(const httplib::Request &req,
                                                          httplib::Response &res) {
    auto session = m_gate.session(req);
    if (!session)
        HttpReply::notice(res, 401, "signed-out", "Your session has ended. Sign in again.");
    return session;
}

std::optional<SheetAccess::Granted> SheetAccess::sheet(const httplib::Request &req, httplib::Response &res,
                                                       Need need) {
    auto session = signedIn(req, res);
    if (!session)
        return std::nullopt;
    const std::string text = req.matches.size() > 1 ? std::string(req.matches[1]) : std::string();
    const auto sheetId = TextRules::wholeNumber(text, 1);
    const auto role = sheetId ? m_sheets.role(*sheetId, session->account.id) : std::nullopt;
    const auto sheet = role ? m_sheets.sheet(*sheetId) : std::nullopt;
    // A sheet the account may not see is answered exactly like one that does not exist.
    if (!sheet) {
        HttpReply::notice(res, 404, "not-found", "This sheet does not exist or is not shared with you.");
        return std::nullopt;
    }
    switch (need) {
    case Need::Read:
        break;
    case Need::Comment:
        if (!SheetStore::mayComment(*role)) {
            HttpReply::notice(res, 403, "may-not-comment", "You can view this sheet but not comment on it.");
            return std::nullopt;
        }
        break;
    case Need::Write:
        if (!SheetStore::mayWrite(*role)) {
            HttpReply::notice(res, 403, "read-only", "You can view this sheet but not change it.");
            return std::nullopt;
        }
        break;
    case Need::Share:
        if (!SheetStore::mayShare(*role)) {
            HttpReply::notice(res, 403, "may-not-share", "Only the sheet's owners can manage sharing.");
            return std::nullopt;
        }
        break;
    }
    return Granted{*session, *sheet, *role};
}
