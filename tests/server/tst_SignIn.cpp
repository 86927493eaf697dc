// The browser sign-in against the real server: request, approval page, exchange, sign-out, and the
// refusals around them.

#include "ServerProcess.h"

#include <QCryptographicHash>
#include <QTest>

#include <thread>

namespace {
const std::string email = "ann@example.com";
const std::string password = "correct horse battery";

std::string exchangeBody(const ServerProcess::SignInRequest &request, const std::string &verifier) {
    return nlohmann::json{{"id", request.id}, {"verifier", verifier}}.dump();
}
} // namespace

class TestSignIn : public QObject {
    Q_OBJECT

    std::unique_ptr<ServerProcess> m_server;

private Q_SLOTS:
    void initTestCase() {
        // Sign-in requests expire after 3 seconds here, so that expiry can be seen.
        m_server = std::make_unique<ServerProcess>(ServerProcess::Options{{}, {"--signin-expiry", "3"}, {}});
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
        QVERIFY(m_server->addUser(QString::fromStdString(email), "Ann", QString::fromStdString(password)));
    }

    void cleanupTestCase() { QVERIFY2(m_server->stop(), qPrintable(m_server->errorString())); }

    void wholeSignInGivesAWorkingSession() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        QCOMPARE(request->id.size(), std::size_t(43));

        auto http = m_server->client();
        // Before approval the exchange is pending.
        auto pending = http.post("/native/exchange", exchangeBody(*request, request->verifier));
        QVERIFY(pending);
        QCOMPARE(pending->status, 202);

        // The page shows the code the application computes from the id.
        const auto page = http.get("/native/start?id=" + request->id);
        QVERIFY(page);
        QCOMPARE(page->status, 200);
        const QByteArray digest =
            QCryptographicHash::hash(QByteArray::fromStdString(request->id), QCryptographicHash::Sha256)
                .left(4)
                .toHex()
                .toUpper();
        const std::string code = digest.left(4).toStdString() + "-" + digest.mid(4).toStdString();
        QVERIFY2(page->body.find(code) != std::string::npos, code.c_str());

        std::string location;
        QCOMPARE(m_server->approve(request->id, email, password, &location), 303);
        QCOMPARE(location, std::string(ServerProcess::callback) + "?state=" + request->id);

        const auto granted = http.post("/native/exchange", exchangeBody(*request, request->verifier));
        QVERIFY(granted);
        QCOMPARE(granted->status, 200);
        const auto session = TestClient::json(granted);
        QCOMPARE(session["name"].get<std::string>(), std::string("larkspan_session"));
        const std::string value = session["value"].get<std::string>();
        QCOMPARE(value.size(), std::size_t(43));
        QVERIFY(value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
                std::string::npos);

        // Exactly once: the same request never grants a second session.
        const auto again = http.post("/native/exchange", exchangeBody(*request, request->verifier));
        QVERIFY(again);
        QVERIFY(again->status != 200 && again->status != 202);

        auto signedIn = m_server->client(ServerSession{"larkspan_session", value});
        const auto list = signedIn.get("/sheets");
        QVERIFY(list);
        QCOMPARE(list->status, 200);

        // Signing out ends the session for every later request.
        const auto out = signedIn.post("/signout", "");
        QVERIFY(out);
        QCOMPARE(out->status, 200);
        const auto after = signedIn.get("/sheets");
        QVERIFY(after);
        QCOMPARE(after->status, 401);
    }

    void wrongVerifierNeverGrantsASession() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        QCOMPARE(m_server->approve(request->id, email, password), 303);
        auto http = m_server->client();
        const auto other = ServerProcess::base64url(QByteArray(32, 'x'));
        const auto wrong = http.post("/native/exchange", exchangeBody(*request, other));
        QVERIFY(wrong);
        QCOMPARE(wrong->status, 403);
        QCOMPARE(TestClient::json(wrong)["notice"].get<std::string>(), std::string("refused"));
        // The request is spent: even the right verifier gets nothing now.
        const auto right = http.post("/native/exchange", exchangeBody(*request, request->verifier));
        QVERIFY(right);
        QVERIFY(right->status != 200);
    }

    void wrongPasswordKeepsTheRequestPendingThenLocksIt() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        auto http = m_server->client();
        // Waiting out the pauses the server puts between wrong passwords, as a person would.
        auto attempt = [&](const std::string &pass) {
            while (true) {
                auto answer = http.postForm(
                    "/native/start",
                    {{"id", request->id}, {"email", email}, {"password", pass}, {"action", "approve"}});
                if (!answer || answer->status != 429)
                    return answer;
                std::this_thread::sleep_for(
                    std::chrono::seconds(std::stoi(answer->get_header_value("Retry-After"))));
            }
        };
        const auto refused = attempt("not the password");
        QVERIFY(refused);
        QCOMPARE(refused->status, 403);
        QVERIFY(refused->body.find("not correct") != std::string::npos);
        QVERIFY(refused->get_header_value("Location").empty());
        const auto unknown = http.postForm("/native/start", {{"id", request->id},
                                                             {"email", "nobody@example.com"},
                                                             {"password", password},
                                                             {"action", "approve"}});
        QVERIFY(unknown);
        QCOMPARE(unknown->status, 403);
        auto pending = http.post("/native/exchange", exchangeBody(*request, request->verifier));
        QVERIFY(pending);
        QCOMPARE(pending->status, 202);

        // Five wrong passwords in all end the request, even for the right one afterwards.
        for (int i = 0; i < 3; ++i)
            QVERIFY(attempt("guess" + std::to_string(i)));
        const auto late = attempt(password);
        QVERIFY(late);
        QCOMPARE(late->status, 410);
        const auto exchange = http.post("/native/exchange", exchangeBody(*request, request->verifier));
        QVERIFY(exchange);
        QVERIFY(exchange->status != 200 && exchange->status != 202);
    }

    void refusedRequestReturnsToTheApplicationAndNeverGrants() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        auto http = m_server->client();
        const auto refuse = http.postForm("/native/start", {{"id", request->id}, {"action", "refuse"}});
        QVERIFY(refuse);
        QCOMPARE(refuse->status, 303);
        const auto exchange = http.post("/native/exchange", exchangeBody(*request, request->verifier));
        QVERIFY(exchange);
        QCOMPARE(exchange->status, 410);
    }

    void expiredRequestCannotBeApprovedOrExchanged() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        auto http = m_server->client();
        // Wait past the 3-second expiry of this server.
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        const auto page = http.get("/native/start?id=" + request->id);
        QVERIFY(page);
        QCOMPARE(page->status, 410);
        QCOMPARE(m_server->approve(request->id, email, password), 410);
        const auto exchange = http.post("/native/exchange", exchangeBody(*request, request->verifier));
        QVERIFY(exchange);
        QCOMPARE(exchange->status, 410);
        QCOMPARE(TestClient::json(exchange)["message"].get<std::string>(),
                 std::string("Sign-in expired or was refused. Please try again."));
    }

    void malformedSignInRequestsAreRefused_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("body");
        QTest::newRow("not json") << "/native/request"
                                  << "{challenge";
        QTest::newRow("json array") << "/native/request"
                                    << "[]";
        QTest::newRow("short challenge") << "/native/request"
                                         << R"({"challenge":"abc","callback":"x-app://signin"})";
        QTest::newRow("web callback")
            << "/native/request"
            << R"({"challenge":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA","callback":"https://evil.example/signin"})";
        QTest::newRow("script callback")
            << "/native/request"
            << R"({"challenge":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA","callback":"javascript://signin"})";
        QTest::newRow("callback with path")
            << "/native/request"
            << R"({"challenge":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA","callback":"x-app://signin/more"})";
        QTest::newRow("exchange without verifier")
            << "/native/exchange"
            << R"({"id":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"})";
        QTest::newRow("exchange with number id") << "/native/exchange"
                                                 << R"({"id":5,"verifier":"x"})";
    }

    void malformedSignInRequestsAreRefused() {
        QFETCH(QString, path);
        QFETCH(QString, body);
        auto http = m_server->client();
        const auto answer = http.post(path.toStdString(), body.toStdString());
        QVERIFY(answer);
        QCOMPARE(answer->status, 400);
        const auto notice = TestClient::json(answer);
        QVERIFY(notice.contains("notice") && notice.contains("message"));
    }

    void unknownExchangeIsNeverPending() {
        auto http = m_server->client();
        const auto answer =
            http.postJson("/native/exchange", {{"id", ServerProcess::base64url(QByteArray(32, 'q'))},
                                               {"verifier", ServerProcess::base64url(QByteArray(32, 'v'))}});
        QVERIFY(answer);
        QCOMPARE(answer->status, 410);
    }

    void everyOtherRequestNeedsASession_data() {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::newRow("list") << "GET"
                              << "/sheets";
        QTest::newRow("create") << "POST"
                                << "/sheets";
        QTest::newRow("page") << "GET"
                              << "/sheets/1";
        QTest::newRow("tile") << "GET"
                              << "/api/sheets/1/tabs/1/cells?firstRow=0&firstCol=0&rows=1&cols=1";
        QTest::newRow("batch") << "POST"
                               << "/api/sheets/1/tabs/1/cells/batch";
        QTest::newRow("stream") << "GET"
                                << "/api/sheets/1/tabs/1/stream";
        QTest::newRow("signout") << "POST"
                                 << "/signout";
        QTest::newRow("unknown path") << "GET"
                                      << "/no/such/thing";
    }

    void everyOtherRequestNeedsASession() {
        QFETCH(QString, method);
        QFETCH(QString, path);
        for (const auto &session : {std::optional<ServerSession>(),
                                    std::optional(ServerSession{"larkspan_session", std::string(43, 'A')}),
                                    std::optional(ServerSession{"larkspan_session", "short"})}) {
            auto http = m_server->client(session);
            const auto answer =
                method == "GET" ? http.get(path.toStdString()) : http.post(path.toStdString(), "{}");
            QVERIFY(answer);
            QCOMPARE(answer->status, 401);
            QVERIFY(TestClient::json(answer).contains("notice"));
        }
    }

    void stateChangingRequestsFromAnotherOriginAreRefused_data() {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<int>("status");
        const QString port = QString::number(m_server->port());
        QTest::newRow("own origin") << QString::fromStdString(m_server->origin()) << 200;
        QTest::newRow("localhost alias") << "http://localhost:" + port << 200;
        QTest::newRow("missing") << QString() << 403;
        QTest::newRow("other site") << "https://evil.example" << 403;
        QTest::newRow("other port") << "http://127.0.0.1:1" << 403;
        QTest::newRow("https scheme") << "https://127.0.0.1:" + port << 403;
        QTest::newRow("null") << "null" << 403;
    }

    void stateChangingRequestsFromAnotherOriginAreRefused() {
        QFETCH(QString, origin);
        QFETCH(int, status);
        auto http = m_server->client();
        http.setOrigin(origin.toStdString());
        const auto answer = http.postJson(
            "/native/request", {{"challenge", std::string(43, 'A')}, {"callback", ServerProcess::callback}});
        QVERIFY(answer);
        QCOMPARE(answer->status, status);
        if (status == 403)
            QCOMPARE(TestClient::json(answer)["notice"].get<std::string>(), std::string("origin-refused"));
    }
};

QTEST_GUILESS_MAIN(TestSignIn)
#include "tst_SignIn.moc"
