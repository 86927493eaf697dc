// Attacks on sign-in, and the approval page in a real browser: approving and refusing from
// Chromium, wrong passwords throttled alike for addresses with and without an account, the lockout
// and its unlock command, and bounds on waiting sign-in requests.

#include "BrowserDriver.h"
#include "RawConnection.h"
#include "ServerTest.h"
#include "storage/Database.h"

#include <QUrl>

namespace {
const std::string email = "ann@example.com";
const std::string notAnAccount = "nobody@example.com";
const std::string wrongPassword = "Wrong password, but a long one";
const std::string notCorrect = "The e-mail address or the password is not correct.";
const std::string locked = "Sign-in with this e-mail address is locked after too many wrong passwords.";

std::string formEncoded(const std::string &text) {
    return QUrl::toPercentEncoding(QString::fromStdString(text)).toStdString();
}
} // namespace

class TestSignInDefence : public QObject, ServerTestBase {
    Q_OBJECT

    RawConnection::Answer post(const std::string &from, const std::string &path, const std::string &type,
                               const std::string &body) {
        RawConnection connection(m_server->port(), from);
        connection.send("POST " + path + " HTTP/1.1\r\nHost: x\r\nOrigin: " + m_server->origin() +
                        "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body);
        return connection.answer().value_or(RawConnection::Answer{});
    }

    // Posts the approval form from a client address of the test's choice.
    RawConnection::Answer approve(const std::string &from, const std::string &id, const std::string &address,
                                  const std::string &secret) {
        return post(from, "/native/start", "application/x-www-form-urlencoded",
                    "id=" + id + "&email=" + formEncoded(address) + "&password=" + formEncoded(secret) +
                        "&action=approve");
    }

    // The same, waiting out any delay the server asks for, as a patient person would.
    RawConnection::Answer approveAfterWaiting(const std::string &from, const std::string &id,
                                              const std::string &address, const std::string &secret) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            auto answer = approve(from, id, address, secret);
            if (answer.status != 429 || answer.body.find(locked) != std::string::npos)
                return answer;
            std::this_thread::sleep_for(std::chrono::seconds(std::stoi(answer.header("retry-after"))));
        }
        return {};
    }

    int exchange(const ServerProcess::SignInRequest &request) {
        return status(m_server->client().postJson("/native/exchange",
                                                  {{"id", request.id}, {"verifier", request.verifier}}));
    }

    int requestFrom(const std::string &from) {
        const nlohmann::json body = {{"challenge", std::string(43, 'A')},
                                     {"callback", ServerProcess::callback}};
        return post(from, "/native/request", "application/json", body.dump()).status;
    }

private Q_SLOTS:
    // Waits start at 400 ms and the fifth wrong password locks, so that both are quick to reach.
    void initTestCase() { QVERIFY(startServer(3, {"--signin-delay-ms", "400", "--signin-lockout", "5"})); }
    void cleanupTestCase() { QVERIFY(stopServer()); }
    void aRealBrowserApprovesAndRefuses_data() {
        QTest::addColumn<bool>("approving");
        QTest::newRow("approve") << true;
        QTest::newRow("refuse") << false;
    }

    void aRealBrowserApprovesAndRefuses() {
        QFETCH(bool, approving);
        const int exchanged = approving ? 200 : 410;
        BrowserDriver browser;
        QVERIFY2(browser.start(), browser.error().c_str());
        QVERIFY(browser.open(m_server->origin() + "/native/start?id=" + std::string(43, 'Q')));
        QVERIFY2(browser.text().find("Sign-in request ended") != std::string::npos, browser.text().c_str());
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        QVERIFY(browser.open(m_server->origin() + "/native/start?id=" + request->id));
        QVERIFY2(browser.text().find(comparisonCode(request->id)) != std::string::npos,
                 browser.text().c_str());
        if (approving) {
            QVERIFY(browser.type("#email", email));
            QVERIFY(browser.type("#password", password));
            QVERIFY(browser.click("button[value=approve]"));
        } else {
            QVERIFY(browser.click("button[value=refuse]"));
        }
        // The browser's form post decides the request: the application's exchange ends waiting.
        int answer = exchange(*request);
        for (int poll = 0; poll < 300 && answer == 202; ++poll, answer = exchange(*request))
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QVERIFY2(answer == exchanged, qPrintable(QString::fromStdString(browser.text())));
    }

    // From an address with an account and from one with none.
    void wrongPasswordsWaitLongerAlikeForEveryAddress() {
        for (const auto &[from, address] :
             {std::pair("127.0.0.21", email), std::pair("127.0.0.22", notAnAccount)}) {
            const auto request = m_server->requestSignIn();
            QVERIFY(request);
            // A few wrong passwords are answered plainly...
            for (int attempt = 0; attempt < 4; ++attempt) {
                const auto answer = approve(from, request->id, address, wrongPassword);
                QCOMPARE(answer.status, 403);
                QVERIFY(answer.body.find(notCorrect) != std::string::npos);
            }
            // ...then the next attempt must wait, even with the right password, and the page says so.
            const auto waiting = approve(from, request->id, address, password);
            QCOMPARE(waiting.status, 429);
            QCOMPARE(waiting.headers.count("retry-after"), std::size_t(1));
            QVERIFY2(waiting.body.find("Too many wrong passwords. Wait 1 second before trying again.") !=
                         std::string::npos,
                     waiting.body.c_str());
        }
    }

    void theClientAddressWaitsWhateverAccountItTries() {
        const auto request = m_server->requestSignIn();
        QVERIFY(request);
        for (int attempt = 0; attempt < 4; ++attempt) {
            const std::string address = "person" + std::to_string(attempt) + "@example.com";
            QCOMPARE(approve("127.0.0.31", request->id, address, wrongPassword).status, 403);
        }
        QCOMPARE(approve("127.0.0.31", request->id, "carl@example.com", password).status, 429);
        // Another address is not held up by it.
        QCOMPARE(approve("127.0.0.32", request->id, "carl@example.com", password).status, 303);
    }

    void aLockoutLastsUntilUnlocked() {
        auto request = m_server->requestSignIn();
        QVERIFY(request);
        RawConnection::Answer answer;
        for (int attempt = 0; attempt < 5; ++attempt) {
            // A sign-in request takes a few wrong passwords only; the account's count goes on.
            if (attempt == 3)
                request = m_server->requestSignIn();
            answer = approveAfterWaiting("127.0.0.41", request->id, "carl@example.com", wrongPassword);
            QVERIFY(answer.status == 403 || answer.status == 429);
        }
        request = m_server->requestSignIn();
        answer = approveAfterWaiting("127.0.0.42", request->id, "carl@example.com", password);
        QCOMPARE(answer.status, 429);
        QVERIFY2(answer.body.find(locked) != std::string::npos, answer.body.c_str());
        QString output;
        QCOMPARE(m_server->run({"unlock", "carl@example.com", "--data", m_server->dataDir()}, &output), 0);
        QVERIFY2(output.contains("unlocked carl@example.com"), qPrintable(output));
        QCOMPARE(approveAfterWaiting("127.0.0.42", request->id, "carl@example.com", password).status, 303);
    }

    void waitingSignInRequestsAreBoundedPerAddress() {
        for (int i = 0; i < 20; ++i)
            QCOMPARE(requestFrom("127.0.0.51"), 200);
        QCOMPARE(requestFrom("127.0.0.51"), 429);
        QCOMPARE(requestFrom("127.0.0.52"), 200);
    }

    void expiredSignInRequestsAreDeleted() {
        ServerProcess server(ServerProcess::Options{{}, {"--signin-expiry", "1"}, {}});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QVERIFY(server.requestSignIn());
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        QVERIFY(server.requestSignIn());
        QVERIFY(server.stop());
        Database db((server.dataDir() + "/tabrel.db").toStdString());
        auto reading = db.read();
        auto count = db.prepare("SELECT COUNT(*) FROM signin_requests");
        QVERIFY(count.step());
        QCOMPARE(count.integer(0), std::int64_t(1));
    }
};

QTEST_GUILESS_MAIN(TestSignInDefence)
#include "tst_SignInDefence.moc"
