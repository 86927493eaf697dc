// Sharing against the real server: granting and removing people (with the "bye" their open streams
// receive), links that grant a role once opened while signed in, and the owner-only rule.

#include "ServerTest.h"

namespace {
const std::string bobEmail = "bob@example.com";
const std::string carlEmail = "carl@example.com";

// The person the page lists for an address, or nothing.
nlohmann::json personOf(const nlohmann::json &page, const std::string &email) {
    for (const auto &person : page["People"])
        if (person["Member"]["Address"] == email)
            return person;
    return nlohmann::json::object();
}

std::string roleOf(const nlohmann::json &page, const std::string &email) {
    return personOf(page, email).value("Role", std::string());
}

std::string memberId(const nlohmann::json &page, const std::string &email) {
    const auto person = personOf(page, email);
    return person.empty() ? "0" : std::to_string(person["Member"]["ID"].get<std::uint64_t>());
}
} // namespace

class TestSharing : public QObject, ServerTestBase {
    Q_OBJECT

    nlohmann::json sharing(const SheetRef &sheet) {
        return TestClient::json(ann().get(sheet.page() + "/share"));
    }

    static httplib::Result share(TestClient &http, const SheetRef &sheet, const std::string &address,
                                 const std::string &role) {
        return http.postForm(sheet.page() + "/share", {{"address", address}, {"role", role}});
    }

    static httplib::Result revoke(TestClient &http, const SheetRef &sheet, const std::string &member) {
        return http.postForm(sheet.page() + "/share/revoke", {{"member", member}});
    }

    // Waits for the "bye" an open stream receives when its access changes.
    static void expectBye(EventStream &stream) {
        QCOMPARE(eventData(stream, "bye"), std::string("access-changed"));
        QVERIFY(stream.waitEnded());
    }

    // The path of a link address, which starts with the server's origin.
    std::string linkPath(const std::string &address) const {
        const std::string origin = m_server->origin();
        return address.rfind(origin, 0) == 0 ? address.substr(origin.size()) : std::string();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServer(3)); }
    void cleanupTestCase() { QVERIFY(stopServer()); }

    void grantGivesTheRoleAndLoweringOrRevokingEndsTheStream() {
        const SheetRef sheet = this->sheet();
        auto owner = ann();
        auto guest = bob();
        QCOMPARE(status(guest.get(sheet.page())), 404);
        // The address is trimmed and compared without case.
        QCOMPARE(answered(share(owner, sheet, "  BOB@example.com ", "editor")), std::string("200 shared"));
        const auto page = sharing(sheet);
        QCOMPARE(roleOf(page, "ann@example.com") + " " + roleOf(page, bobEmail), std::string("owner editor"));
        QCOMPARE(page["NewLink"].get<std::string>(), std::string());
        QVERIFY(page["Notice"].is_string() && page["Links"].is_array() && page["Links"].empty());
        const auto guestPage = TestClient::json(guest.get(sheet.page()));
        QCOMPARE(guestPage["MayWrite"].dump() + " " + guestPage["MayShare"].dump(),
                 std::string("true false"));
        QCOMPARE(status(SheetApi::batch(guest, sheet, {SheetApi::write(0, 0, "from bob")})), 200);
        // Lowering the role ends an open stream too.
        EventStream editing(m_server->origin(), *m_bob, sheet.tab() + "/stream");
        QVERIFY(editing.waitOpen());
        QCOMPARE(status(share(owner, sheet, bobEmail, "viewer")), 200);
        expectBye(editing);
        QCOMPARE(status(SheetApi::batch(guest, sheet, {SheetApi::write(0, 0, "x")})), 403);
        EventStream stream(m_server->origin(), *m_bob, sheet.tab() + "/stream");
        QVERIFY(stream.waitOpen());
        QCOMPARE(answered(revoke(owner, sheet, memberId(page, bobEmail))), std::string("200 revoked"));
        expectBye(stream);
        QCOMPARE(status(guest.get(sheet.page())), 404);
        QCOMPARE(status(SheetApi::batch(guest, sheet, {SheetApi::write(0, 0, "again")})), 404);
        QCOMPARE(roleOf(sharing(sheet), bobEmail), std::string());
    }

    void addressesWithoutAnAccountAreAnsweredAlikeAndInvited() {
        const SheetRef sheet = this->sheet();
        auto owner = ann();
        // The answer does not tell whether the address has an account here.
        const auto known = share(owner, sheet, carlEmail, "viewer");
        const auto unknown = share(owner, sheet, "dora@example.com", "editor");
        QCOMPARE(answered(unknown), answered(known));
        QCOMPARE(status(known), 200);
        QCOMPARE(field(unknown, "message"), std::string("dora@example.com now has editor access."));
        // The owner sees the invitation waiting, and may take it back like any member.
        const std::string invited = "dora@example.com (invited, no account yet)";
        QCOMPARE(roleOf(sharing(sheet), invited), std::string("editor"));
        QCOMPARE(status(revoke(owner, sheet, memberId(sharing(sheet), invited))), 200);
        QCOMPARE(roleOf(sharing(sheet), invited), std::string());
        // Invited again, the address's new account finds the sheet.
        QCOMPARE(status(share(owner, sheet, "Dora@Example.com", "commenter")), 200);
        auto guest = m_server->client(person(*m_server, "dora"));
        QCOMPARE(status(guest.get(sheet.page())), 200);
        QCOMPARE(roleOf(sharing(sheet), "dora@example.com"), std::string("commenter"));
    }

    // Path, form, status and notice.
    void refusalsLeaveAccessUnchanged() {
        const std::tuple<std::string, std::map<std::string, std::string>, int, std::string> cases[] = {
            {"/share", {{"address", "ann@example.com"}, {"role", "viewer"}}, 400, "own-access"},
            {"/share/revoke", {{"member", "999999"}}, 404, "not-a-member"},
            {"/share/revoke", {{"member", "bob"}}, 400, "invalid-member"},
            {"/share/link/revoke", {{"link", "999999"}}, 404, "unknown-link"}};
        for (const auto &[path, form, code, said] : cases) {
            const SheetRef sheet = this->sheet();
            const auto before = sharing(sheet);
            QCOMPARE(answered(ann().postForm(sheet.page() + path, form)), std::to_string(code) + " " + said);
            QVERIFY(sharing(sheet) == before);
        }
    }

    void onlyOwnersManageSharing() {
        const SheetRef sheet = this->sheet();
        auto owner = ann();
        QCOMPARE(status(share(owner, sheet, bobEmail, "editor")), 200);
        auto editor = bob();
        QCOMPARE(status(editor.get(sheet.page() + "/share")), 403);
        QCOMPARE(answered(share(editor, sheet, carlEmail, "viewer")), std::string("403 may-not-share"));
        QCOMPARE(status(editor.postForm(sheet.page() + "/share/link", {{"role", "viewer"}})), 403);
        QCOMPARE(roleOf(sharing(sheet), carlEmail), std::string());
        // A second owner may manage, and may remove the first one; nobody removes themselves.
        QCOMPARE(status(share(owner, sheet, bobEmail, "owner")), 200);
        QCOMPARE(status(editor.get(sheet.page() + "/share")), 200);
        QCOMPARE(TestClient::json(editor.get(sheet.page()))["MayShare"].get<bool>(), true);
        QCOMPARE(status(revoke(editor, sheet, memberId(sharing(sheet), bobEmail))), 400);
    }

    void linksGrantTheirRoleOnceOpenedAndStopWhenRevoked() {
        const SheetRef sheet = this->sheet();
        auto owner = ann();
        const auto created = owner.postForm(sheet.page() + "/share/link", {{"role", "commenter"}});
        QCOMPARE(status(created), 200);
        const auto page = TestClient::json(created);
        const std::string link = linkPath(page["NewLink"].get<std::string>());
        QVERIFY2(!link.empty(), page.dump().c_str());
        QCOMPARE(page["Links"].size(), std::size_t(1));
        QCOMPARE(page["Links"][0]["Role"].get<std::string>(), std::string("commenter"));
        // Shown once: later pages carry no address.
        QCOMPARE(sharing(sheet)["NewLink"].get<std::string>(), std::string());
        // Opening needs a session; then it grants the link's role.
        QCOMPARE(status(m_server->client().get(link)), 401);
        auto guest = m_server->client(m_carl);
        const auto opened = guest.get(link);
        QCOMPARE(answered(opened), std::string("200 link-opened"));
        QCOMPARE(field(opened, "location"), sheet.page());
        const auto guestPage = TestClient::json(guest.get(sheet.page()));
        QCOMPARE(guestPage["MayComment"].dump() + " " + guestPage["MayWrite"].dump(),
                 std::string("true false"));
        QCOMPARE(roleOf(sharing(sheet), carlEmail), std::string("commenter"));
        // A link never lowers a role someone already has.
        QCOMPARE(status(share(owner, sheet, bobEmail, "editor")), 200);
        auto editor = bob();
        QCOMPARE(status(editor.get(link)), 200);
        QCOMPARE(roleOf(sharing(sheet), bobEmail), std::string("editor"));
        // Revoked, it opens nothing more; who joined through it stays.
        QCOMPARE(
            answered(owner.postForm(sheet.page() + "/share/link/revoke",
                                    {{"link", std::to_string(page["Links"][0]["ID"].get<std::uint64_t>())}})),
            std::string("200 link-revoked"));
        QVERIFY(sharing(sheet)["Links"].empty());
        QCOMPARE(roleOf(sharing(sheet), carlEmail), std::string("commenter"));
        QCOMPARE(status(revoke(owner, sheet, memberId(sharing(sheet), carlEmail))), 200);
        QCOMPARE(status(guest.get(link)), 404);
        QCOMPARE(status(guest.get(sheet.page())), 404);
        QCOMPARE(status(guest.get("/links/not-a-token")), 404);
    }
};

QTEST_GUILESS_MAIN(TestSharing)
#include "tst_Sharing.moc"
