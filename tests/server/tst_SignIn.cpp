// The browser sign-in against the real server: request, approval page, exchange, sign-out, and the
// refusals around them.

#include "ServerTest.h"

namespace {
const std::string email = "ann@example.com";
} // namespace

class TestSignIn : public QObject, ServerTestBase {
    Q_OBJECT

    httplib::Result exchange(const ServerProcess::SignInRequest &request, const std::string &verifier = "") {
        return m_server->client().postJson(
            "/native/exchange",
            {{"id", request.id}, {"verifier", verifier.empty() ? request.verifier : verifier}});
    }

private Q_SLOTS:
    // Sign-in requests expire after 3 seconds here, so that expiry can be seen.
    void initTestCase() { QVERIFY(startServer(1, {"--signin-expiry", "3"})); }
    void cleanupTestCase() { QVERIFY(stopServer()); }

    void wholeSignInGivesAWorkingSession() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        QCOMPARE(request->id.size(), std::size_t(43));
        // Before approval the exchange is pending.
        QCOMPARE(status(exchange(*request)), 202);
        // The page shows the code the application computes from the id.
        const auto page = m_server->client().get("/native/start?id=" + request->id);
        QCOMPARE(status(page), 200);
        QVERIFY(page->body.find(comparisonCode(request->id)) != std::string::npos);
        std::string location;
        QCOMPARE(m_server->approve(request->id, email, password, &location), 303);
        QCOMPARE(location, std::string(ServerProcess::callback) + "?state=" + request->id);
        const auto granted = exchange(*request);
        QCOMPARE(status(granted), 200);
        QCOMPARE(field(granted, "name"), std::string("larkspan_session"));
        const std::string value = field(granted, "value");
        QCOMPARE(value.size(), std::size_t(43));
        QVERIFY(value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
                std::string::npos);
        // Exactly once: the same request never grants a second session.
        const int again = status(exchange(*request));
        QVERIFY(again != 200 && again != 202);
        // Signing out ends the session for every later request.
        auto signedIn = m_server->client(ServerSession{"larkspan_session", value});
        QCOMPARE(status(signedIn.get("/sheets")), 200);
        QCOMPARE(status(signedIn.post("/signout", "")), 200);
        QCOMPARE(status(signedIn.get("/sheets")), 401);
    }

    void wrongVerifierNeverGrantsASession() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        QCOMPARE(m_server->approve(request->id, email, password), 303);
        QCOMPARE(answered(exchange(*request, ServerProcess::base64url(QByteArray(32, 'x')))),
                 std::string("403 refused"));
        // The request is spent: even the right verifier gets nothing now.
        QVERIFY(status(exchange(*request)) != 200);
    }

    void wrongPasswordKeepsTheRequestPendingThenLocksIt() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        // Wrong passwords and unknown addresses are refused alike, staying on the page.
        std::string location;
        QCOMPARE(m_server->approve(request->id, email, "not the password", &location), 403);
        QCOMPARE(location, std::string());
        QCOMPARE(m_server->approve(request->id, "nobody@example.com", password), 403);
        QCOMPARE(status(exchange(*request)), 202);
        // Five wrong passwords in all end the request, even for the right one afterwards.
        for (int i = 0; i < 3; ++i)
            QVERIFY(m_server->approve(request->id, email, "guess" + std::to_string(i)) > 0);
        QCOMPARE(m_server->approve(request->id, email, password), 410);
        const int exchanged = status(exchange(*request));
        QVERIFY(exchanged != 200 && exchanged != 202);
    }

    void refusedRequestReturnsToTheApplicationAndNeverGrants() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        QCOMPARE(
            status(m_server->client().postForm("/native/start", {{"id", request->id}, {"action", "refuse"}})),
            303);
        QCOMPARE(status(exchange(*request)), 410);
    }

    void expiredRequestCannotBeApprovedOrExchanged() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        // Wait past the 3-second expiry of this server.
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        QCOMPARE(status(m_server->client().get("/native/start?id=" + request->id)), 410);
        QCOMPARE(m_server->approve(request->id, email, password), 410);
        const auto exchanged = exchange(*request);
        QCOMPARE(status(exchanged), 410);
        QCOMPARE(field(exchanged, "message"),
                 std::string("Sign-in expired or was refused. Please try again."));
        // An id that never existed is not pending either.
        const ServerProcess::SignInRequest unknown{ServerProcess::base64url(QByteArray(32, 'q')),
                                                   ServerProcess::base64url(QByteArray(32, 'v')), ""};
        QCOMPARE(status(exchange(unknown)), 410);
    }

    // Not JSON, a JSON array, a short challenge, a web callback; an exchange without a verifier or
    // with a number for the id.
    void malformedSignInRequestsAreRefused() {
        const auto request = [](const std::string &challenge, const std::string &callback) {
            return nlohmann::json{{"challenge", challenge}, {"callback", callback}}.dump();
        };
        const std::pair<std::string, std::string> cases[] = {
            {"/native/request", "{challenge"},
            {"/native/request", "[]"},
            {"/native/request", request("abc", "x-app://signin")},
            {"/native/request", request(std::string(43, 'A'), "https://evil.example/signin")},
            {"/native/exchange", nlohmann::json{{"id", std::string(43, 'A')}}.dump()},
            {"/native/exchange", R"({"id":5,"verifier":"x"})"}};
        for (const auto &[path, body] : cases) {
            const auto answer = m_server->client().post(path, body);
            QVERIFY2(status(answer) == 400, body.c_str());
            QVERIFY(notice(answer) != "<none>" && field(answer, "message") != "<none>");
        }
    }

    // A batch, signing out and an unknown path, with no session, an unknown one and a malformed one.
    void everyOtherRequestNeedsASession() {
        for (const auto &session : {std::optional<ServerSession>(),
                                    std::optional(ServerSession{"larkspan_session", std::string(43, 'A')}),
                                    std::optional(ServerSession{"larkspan_session", "short"})}) {
            auto http = m_server->client(session);
            for (const auto &answer : {http.post("/api/sheets/1/tabs/1/cells/batch", "{}"),
                                       http.post("/signout", "{}"), http.get("/no/such/thing")}) {
                QCOMPARE(status(answer), 401);
                QVERIFY(notice(answer) != "<none>");
            }
        }
    }

    void stateChangingRequestsFromAnotherOriginAreRefused() {
        const std::pair<std::string, int> cases[] = {
            {m_server->origin(), 200},
            {"", 403},
            {"https://evil.example", 403},
            {"https://127.0.0.1:" + std::to_string(m_server->port()), 403}};
        for (const auto &[origin, code] : cases) {
            auto http = m_server->client();
            http.setOrigin(origin);
            const auto answer = http.postJson("/native/request", {{"challenge", std::string(43, 'A')},
                                                                  {"callback", ServerProcess::callback}});
            QVERIFY2(status(answer) == code, origin.c_str());
            if (code == 403)
                QCOMPARE(notice(answer), std::string("origin-refused"));
        }
    }
};

QTEST_GUILESS_MAIN(TestSignIn)
#include "tst_SignIn.moc"
