// Sharing against the real server: granting and removing people (with the "bye" their open streams
// receive), links that grant a role once opened while signed in, and the owner-only rule.

#include "EventStream.h"
#include "ServerProcess.h"
#include "SheetApi.h"

#include <QTest>

namespace {
const std::string annEmail = "ann@example.com";
const std::string bobEmail = "bob@example.com";
const std::string carlEmail = "carl@example.com";
const std::string password = "correct horse battery";

std::string notice(const httplib::Result &result) {
    return TestClient::json(result)["notice"].get<std::string>();
}

// The role the page lists for an address, or "".
std::string roleOf(const nlohmann::json &page, const std::string &email) {
    for (const auto &person : page["People"]) {
        if (person["Member"]["Address"] == email)
            return person["Role"].get<std::string>();
    }
    return {};
}

std::uint64_t memberId(const nlohmann::json &page, const std::string &email) {
    for (const auto &person : page["People"]) {
        if (person["Member"]["Address"] == email)
            return person["Member"]["ID"].get<std::uint64_t>();
    }
    return 0;
}
} // namespace

class TestSharing : public QObject {
    Q_OBJECT

    std::unique_ptr<ServerProcess> m_server;
    std::optional<ServerSession> m_ann;
    std::optional<ServerSession> m_bob;
    std::optional<ServerSession> m_carl;

    TestClient ann() const { return m_server->client(m_ann); }
    TestClient bob() const { return m_server->client(m_bob); }
    TestClient carl() const { return m_server->client(m_carl); }

    SheetRef newSheet() {
        auto http = ann();
        const auto sheet = SheetApi::create(http);
        if (!sheet)
            qFatal("could not create a sheet");
        return *sheet;
    }

    nlohmann::json sharing(const SheetRef &sheet) {
        auto http = ann();
        return TestClient::json(http.get(sheet.page() + "/share"));
    }

    // The path of a link address, which starts with the server's origin.
    std::string linkPath(const std::string &address) const {
        const std::string origin = m_server->origin();
        return address.rfind(origin, 0) == 0 ? address.substr(origin.size()) : std::string();
    }

private Q_SLOTS:
    void initTestCase() {
        m_server = std::make_unique<ServerProcess>();
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
        for (const auto &[email, name] : std::vector<std::pair<std::string, QString>>{
                 {annEmail, "Ann"}, {bobEmail, "Bob"}, {carlEmail, "Carl"}})
            QVERIFY(m_server->addUser(QString::fromStdString(email), name, QString::fromStdString(password)));
        m_ann = m_server->signIn(annEmail, password);
        m_bob = m_server->signIn(bobEmail, password);
        m_carl = m_server->signIn(carlEmail, password);
        QVERIFY(m_ann && m_bob && m_carl);
    }

    void cleanupTestCase() { QVERIFY2(m_server->stop(), qPrintable(m_server->errorString())); }

    void grantGivesTheRoleAndRevokeEndsTheStream() {
        const SheetRef sheet = newSheet();
        auto owner = ann();
        auto guest = bob();
        QCOMPARE(guest.get(sheet.page())->status, 404);

        // The address is trimmed and compared without case.
        const auto granted =
            owner.postForm(sheet.page() + "/share", {{"address", "  BOB@example.com "}, {"role", "editor"}});
        QCOMPARE(granted->status, 200);
        QCOMPARE(notice(granted), std::string("shared"));
        auto page = sharing(sheet);
        QCOMPARE(roleOf(page, annEmail), std::string("owner"));
        QCOMPARE(roleOf(page, bobEmail), std::string("editor"));
        QCOMPARE(page["NewLink"].get<std::string>(), std::string());
        QVERIFY(page["Notice"].is_string());
        QVERIFY(page["Links"].is_array() && page["Links"].empty());

        const auto guestPage = TestClient::json(guest.get(sheet.page()));
        QCOMPARE(guestPage["MayWrite"].get<bool>(), true);
        QCOMPARE(guestPage["MayShare"].get<bool>(), false);
        QCOMPARE(SheetApi::batch(guest, sheet, {SheetApi::write(0, 0, "from bob")})->status, 200);

        EventStream stream(m_server->origin(), *m_bob, sheet.tab() + "/stream");
        QVERIFY(stream.waitOpen());
        const auto removed = owner.postForm(sheet.page() + "/share/revoke",
                                            {{"member", std::to_string(memberId(page, bobEmail))}});
        QCOMPARE(removed->status, 200);
        QCOMPARE(notice(removed), std::string("revoked"));
        const auto bye = stream.waitForEvent("bye");
        QVERIFY(bye);
        QCOMPARE(bye->data, std::string("access-changed"));
        QVERIFY(stream.waitEnded());
        QCOMPARE(guest.get(sheet.page())->status, 404);
        QCOMPARE(SheetApi::batch(guest, sheet, {SheetApi::write(0, 0, "again")})->status, 404);
        QCOMPARE(roleOf(sharing(sheet), bobEmail), std::string());
    }

    void loweringARoleAlsoEndsTheStream() {
        const SheetRef sheet = newSheet();
        auto owner = ann();
        QCOMPARE(owner.postForm(sheet.page() + "/share", {{"address", bobEmail}, {"role", "editor"}})->status,
                 200);
        EventStream stream(m_server->origin(), *m_bob, sheet.tab() + "/stream");
        QVERIFY(stream.waitOpen());
        QCOMPARE(owner.postForm(sheet.page() + "/share", {{"address", bobEmail}, {"role", "viewer"}})->status,
                 200);
        const auto bye = stream.waitForEvent("bye");
        QVERIFY(bye);
        QCOMPARE(bye->data, std::string("access-changed"));
        auto guest = bob();
        QCOMPARE(SheetApi::batch(guest, sheet, {SheetApi::write(0, 0, "x")})->status, 403);
    }

    void addressesWithoutAnAccountAreAnsweredAlikeAndInvited() {
        const SheetRef sheet = newSheet();
        auto owner = ann();
        // The answer does not tell whether the address has an account here.
        const auto known =
            owner.postForm(sheet.page() + "/share", {{"address", carlEmail}, {"role", "viewer"}});
        const auto unknown =
            owner.postForm(sheet.page() + "/share", {{"address", "dora@example.com"}, {"role", "editor"}});
        QCOMPARE(known->status, 200);
        QCOMPARE(unknown->status, 200);
        QCOMPARE(notice(unknown), notice(known));
        QCOMPARE(TestClient::json(unknown)["message"].get<std::string>(),
                 std::string("dora@example.com now has editor access."));
        // The owner sees the invitation waiting, and may take it back like any member.
        const std::string invited = "dora@example.com (invited, no account yet)";
        QCOMPARE(roleOf(sharing(sheet), invited), std::string("editor"));
        const auto id = memberId(sharing(sheet), invited);
        QCOMPARE(owner.postForm(sheet.page() + "/share/revoke", {{"member", std::to_string(id)}})->status,
                 200);
        QCOMPARE(roleOf(sharing(sheet), invited), std::string());
        // Invited again, the address's new account finds the sheet.
        QCOMPARE(
            owner.postForm(sheet.page() + "/share", {{"address", "Dora@Example.com"}, {"role", "commenter"}})
                ->status,
            200);
        QVERIFY(m_server->addUser("dora@example.com", "Dora", QString::fromStdString(password)));
        const auto dora = m_server->signIn("dora@example.com", password);
        QVERIFY(dora);
        auto guest = m_server->client(dora);
        QCOMPARE(guest.get(sheet.page())->status, 200);
        QCOMPARE(roleOf(sharing(sheet), "dora@example.com"), std::string("commenter"));
    }

    void refusalsLeaveAccessUnchanged_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QVariantMap>("form");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("notice");
        QTest::newRow("not an address")
            << "/share" << QVariantMap{{"address", "nobody"}, {"role", "viewer"}} << 400 << "invalid-address";
        QTest::newRow("empty address")
            << "/share" << QVariantMap{{"address", " "}, {"role", "viewer"}} << 400 << "invalid-address";
        QTest::newRow("unknown role")
            << "/share" << QVariantMap{{"address", bobEmail.c_str()}, {"role", "admin"}} << 400
            << "invalid-role";
        QTest::newRow("own access") << "/share"
                                    << QVariantMap{{"address", annEmail.c_str()}, {"role", "viewer"}} << 400
                                    << "own-access";
        QTest::newRow("revoke nobody")
            << "/share/revoke" << QVariantMap{{"member", "999999"}} << 404 << "not-a-member";
        QTest::newRow("revoke by text")
            << "/share/revoke" << QVariantMap{{"member", "bob"}} << 400 << "invalid-member";
        QTest::newRow("editor link") << "/share/link" << QVariantMap{{"role", "editor"}} << 400
                                     << "invalid-role";
        QTest::newRow("revoke unknown link")
            << "/share/link/revoke" << QVariantMap{{"link", "999999"}} << 404 << "unknown-link";
    }

    void refusalsLeaveAccessUnchanged() {
        QFETCH(QString, path);
        QFETCH(QVariantMap, form);
        QFETCH(int, status);
        QFETCH(QString, notice);
        const SheetRef sheet = newSheet();
        auto owner = ann();
        const auto before = sharing(sheet);
        std::map<std::string, std::string> fields;
        for (auto it = form.cbegin(); it != form.cend(); ++it)
            fields[it.key().toStdString()] = it.value().toString().toStdString();
        const auto refused = owner.postForm(sheet.page() + path.toStdString(), fields);
        QCOMPARE(refused->status, status);
        QCOMPARE(QString::fromStdString(::notice(refused)), notice);
        QVERIFY(sharing(sheet) == before);
    }

    void onlyOwnersManageSharing() {
        const SheetRef sheet = newSheet();
        auto owner = ann();
        QCOMPARE(owner.postForm(sheet.page() + "/share", {{"address", bobEmail}, {"role", "editor"}})->status,
                 200);
        auto editor = bob();
        QCOMPARE(editor.get(sheet.page() + "/share")->status, 403);
        const auto refused =
            editor.postForm(sheet.page() + "/share", {{"address", carlEmail}, {"role", "viewer"}});
        QCOMPARE(refused->status, 403);
        QCOMPARE(notice(refused), std::string("may-not-share"));
        QCOMPARE(editor.postForm(sheet.page() + "/share/link", {{"role", "viewer"}})->status, 403);
        QCOMPARE(roleOf(sharing(sheet), carlEmail), std::string());
        // A second owner may manage, and may remove the first one; nobody removes themselves.
        QCOMPARE(owner.postForm(sheet.page() + "/share", {{"address", bobEmail}, {"role", "owner"}})->status,
                 200);
        QCOMPARE(editor.get(sheet.page() + "/share")->status, 200);
        QCOMPARE(TestClient::json(editor.get(sheet.page()))["MayShare"].get<bool>(), true);
        const auto self = memberId(sharing(sheet), bobEmail);
        QCOMPARE(editor.postForm(sheet.page() + "/share/revoke", {{"member", std::to_string(self)}})->status,
                 400);
    }

    void linksGrantTheirRoleOnceOpenedAndStopWhenRevoked() {
        const SheetRef sheet = newSheet();
        auto owner = ann();
        const auto created = owner.postForm(sheet.page() + "/share/link", {{"role", "commenter"}});
        QCOMPARE(created->status, 200);
        const auto page = TestClient::json(created);
        const std::string address = page["NewLink"].get<std::string>();
        QVERIFY2(!linkPath(address).empty(), address.c_str());
        QCOMPARE(page["Links"].size(), std::size_t(1));
        QCOMPARE(page["Links"][0]["Role"].get<std::string>(), std::string("commenter"));
        // Shown once: later pages carry no address.
        QCOMPARE(sharing(sheet)["NewLink"].get<std::string>(), std::string());

        // Opening needs a session; then it grants the link's role.
        auto anonymous = m_server->client();
        QCOMPARE(anonymous.get(linkPath(address))->status, 401);
        auto guest = carl();
        const auto opened = guest.get(linkPath(address));
        QCOMPARE(opened->status, 200);
        QCOMPARE(notice(opened), std::string("link-opened"));
        QCOMPARE(TestClient::json(opened)["location"].get<std::string>(), sheet.page());
        const auto guestPage = TestClient::json(guest.get(sheet.page()));
        QCOMPARE(guestPage["MayComment"].get<bool>(), true);
        QCOMPARE(guestPage["MayWrite"].get<bool>(), false);
        QCOMPARE(roleOf(sharing(sheet), carlEmail), std::string("commenter"));

        // A link never lowers a role someone already has.
        QCOMPARE(owner.postForm(sheet.page() + "/share", {{"address", bobEmail}, {"role", "editor"}})->status,
                 200);
        auto editor = bob();
        QCOMPARE(editor.get(linkPath(address))->status, 200);
        QCOMPARE(roleOf(sharing(sheet), bobEmail), std::string("editor"));

        // Revoked, it opens nothing more; who joined through it stays.
        const auto linkId = page["Links"][0]["ID"].get<std::uint64_t>();
        const auto revoked =
            owner.postForm(sheet.page() + "/share/link/revoke", {{"link", std::to_string(linkId)}});
        QCOMPARE(revoked->status, 200);
        QCOMPARE(notice(revoked), std::string("link-revoked"));
        QVERIFY(sharing(sheet)["Links"].empty());
        QCOMPARE(owner
                     .postForm(sheet.page() + "/share/revoke",
                               {{"member", std::to_string(memberId(sharing(sheet), carlEmail))}})
                     ->status,
                 200);
        QCOMPARE(guest.get(linkPath(address))->status, 404);
        QCOMPARE(guest.get(sheet.page())->status, 404);
        QCOMPARE(guest.get("/links/not-a-token")->status, 404);
    }
};

QTEST_GUILESS_MAIN(TestSharing)
#include "tst_Sharing.moc"
