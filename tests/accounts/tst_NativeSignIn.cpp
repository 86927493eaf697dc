#include "ConnectionFixture.h"
#include "KeyringHelpers.h"
#include "TaskRunner.h"

#include "async/DetachedTask.h"
#include "async/Wakeup.h"
#include "connection/NativeCredentials.h"
#include "connection/NativeSignInProof.h"

#include <QCoroSignal>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <variant>

namespace {

constexpr int patience = 20000;

// Holds an answer back until the test releases it.
struct Gate {
    Wakeup wakeup;
    bool open = false;
    bool reached = false;
    bool passed = false;
    QCoro::Task<> pass() {
        reached = true;
        if (!open)
            co_await qCoro(&wakeup, &Wakeup::woken);
        passed = true;
    }
    void release() {
        open = true;
        wakeup.wake();
    }
};

QByteArray beginBody(const QString &id) {
    return QByteArrayLiteral("{\"id\":\"") + id.toUtf8() + "\"}";
}

// An answer, or the failure the transport throws instead.
using Answer = std::variant<NativeResponse, NativeClientError>;

QCoro::Task<NativeResponse> give(Answer answer) {
    if (const auto *error = std::get_if<NativeClientError>(&answer))
        throw *error;
    co_return std::get<NativeResponse>(answer);
}

// Answers the sign-in request with `begin` and every exchange with `exchange`.
ScriptedHandler serving(Answer begin, Answer exchange = answer(500)) {
    return [=](ScriptedRequest request) {
        return give(request.path == QLatin1String("/native/request") ? begin : exchange);
    };
}
ScriptedHandler onExchange(Answer exchange) {
    return serving(answer(200, beginBody(token('i'))), std::move(exchange));
}

QCoro::Task<bool> openAfter(Gate *gate, QUrl) {
    co_await gate->pass();
    co_return true;
}

QCoro::Task<NativeResponse> gatedAnswer(Gate *gate, NativeResponse response) {
    co_await gate->pass();
    co_return response;
}

} // namespace

Q_DECLARE_METATYPE(ScriptedHandler)

// The browser sign-in against a scripted server: every way it can fail, cancelling it at each step,
// the callback URL, and the account it creates.
class TestNativeSignIn : public QObject {
    Q_OBJECT

    std::unique_ptr<ConnectionFixture> fixture;

    std::shared_ptr<NativeConnection> started(NativeConnection::Services services) {
        auto connection = NativeConnection::create(
            QLatin1String(ConnectionFixture::server), QString::fromLatin1(ConnectionFixture::scheme),
            fixture->settings, fixture->connectivity, std::move(services));
        runTask(connection->start());
        return connection;
    }
    std::shared_ptr<NativeConnection> started() { return started(fixture->services()); }

    static void awaitEnd(const std::shared_ptr<NativeConnection> &connection) {
        QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), patience);
    }

    // Nothing of a sign-in that did not finish is left behind.
    static void verifyIdle(const std::shared_ptr<NativeConnection> &connection) {
        QVERIFY(!connection->signingIn());
        QVERIFY(!connection->browserURL());
        QVERIFY(!connection->pendingID());
        QVERIFY(!connection->browser().isActive());
        QVERIFY(connection->accounts().isEmpty());
        QVERIFY(!connection->activeAccountID());
        QVERIFY(!connection->client());
    }

private Q_SLOTS:
    void init() {
        fixture = std::make_unique<ConnectionFixture>();
        setEscapedErrorHandler([](std::exception_ptr) { QFAIL("an exception escaped a background task"); });
    }
    void cleanup() {
        fixture.reset();
        KeyringHelpers::removeAll();
        setEscapedErrorHandler({});
    }

    // Each failure ends the sign-in with its message before (false) or after (true) the browser opened,
    // and leaves nothing behind.
    void failures_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<ScriptedHandler>("server");
        QTest::addColumn<bool>("browserOpened");
        QTest::addColumn<QString>("error");

        const QString https = QString::fromLatin1(ConnectionFixture::server);
        const QString good = token('i');
        const QString refused = QStringLiteral("Sign-in expired or was refused. Please try again.");
        const QString invalid = QStringLiteral("Invalid sign-in response.");
        const auto session = [](const char *name, const QString &value) {
            return onExchange(answer(200, NativeSession{QString::fromLatin1(name), value}.toJson()));
        };

        QTest::newRow("address with a page path")
            << QStringLiteral("https://sheets.example/home") << serving(answer(200, beginBody(good))) << false
            << QStringLiteral("Enter your server’s HTTPS address, without a page path.");
        QTest::newRow("random generator fails") << QString() << serving(answer(200, beginBody(good))) << false
                                                << QStringLiteral("Could not start secure sign-in.");
        QTest::newRow("request answered 404")
            << https << serving(answer(404)) << false
            << QStringLiteral("This server does not support this native feature yet.");
        QTest::newRow("request offline")
            << https << serving(NativeClientError::offline(UrlErrorCode::cannotConnectToHost)) << false
            << urlErrorDescription(UrlErrorCode::cannotConnectToHost);
        QTest::newRow("request answer not JSON")
            << https << serving(answer(200, "<html>")) << false
            << QStringLiteral("The server returned an unsupported response.");
        QTest::newRow("id of 42 characters")
            << https << serving(answer(200, beginBody(good.left(42)))) << false << invalid;
        QTest::newRow("exchange refused") << https << onExchange(answer(403)) << true << refused;
        QTest::newRow("exchange answers 204") << https << onExchange(answer(204)) << true << refused;
        QTest::newRow("exchange offline")
            << https << onExchange(NativeClientError::offline(UrlErrorCode::timedOut)) << true
            << urlErrorDescription(UrlErrorCode::timedOut);
        QTest::newRow("loopback cookie name on https")
            << https << session("larkspan_session", token('s')) << true << refused;
        QTest::newRow("https cookie name on loopback")
            << QStringLiteral("http://localhost:8080") << session("__Host-larkspan_session", token('s'))
            << true << refused;
        QTest::newRow("session value malformed")
            << https << session("__Host-larkspan_session", token('s').left(42)) << true << refused;
        QTest::newRow("approval never given") << https << onExchange(answer(202)) << true
                                              << QStringLiteral("Sign-in expired. Please try again.");
    }

    void failures() {
        QFETCH(QString, address);
        QFETCH(ScriptedHandler, server);
        QFETCH(bool, browserOpened);
        QFETCH(QString, error);

        fixture->scripted.handler = server;
        NativeConnection::Services services = fixture->services();
        if (address.isEmpty())
            services.randomBytes = [](int) { return std::nullopt; };
        const auto connection = started(std::move(services));
        if (!address.isEmpty())
            connection->setServerAddress(address);
        connection->signIn();
        awaitEnd(connection);

        QCOMPARE(connection->error(), error);
        QCOMPARE(fixture->browser.opened.size(), browserOpened ? 1 : 0);
        verifyIdle(connection);
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList());
        QVERIFY(!fixture->settings->contains(QStringLiteral("native.server")));
    }

    // The exchange is first sent one poll after the browser opened, and the wait ends after five
    // minutes of clock time.
    void approvalWaitsFiveMinutes() {
        QList<double> exchangedAt;
        double openedAt = 0;
        fixture->scripted.handler = [&](ScriptedRequest request) {
            if (request.path == QLatin1String("/native/exchange"))
                exchangedAt.append(fixture->clock->current);
            return onExchange(answer(202))(std::move(request));
        };
        const auto connection = started();
        connection->signIn([&](QUrl url) {
            openedAt = fixture->clock->current;
            return fixture->browser.opener()(url);
        });
        awaitEnd(connection);

        QCOMPARE(connection->error(), QStringLiteral("Sign-in expired. Please try again."));
        QCOMPARE(exchangedAt.size(), 150);
        QCOMPARE(exchangedAt.first(), openedAt + NativeConnection::pollSeconds);
        QVERIFY(exchangedAt.last() <= openedAt + NativeConnection::approvalSeconds);
        QVERIFY(fixture->clock->current >= openedAt + NativeConnection::approvalSeconds);
    }

    // What the server is asked, and what a successful sign-in leaves behind.
    void signInCreatesTheAccount() {
        const QString id = token('i');
        const NativeSession session{QStringLiteral("__Host-larkspan_session"), token('s')};
        fixture->scripted.handler = approvingServer(id, session, 3);
        const auto connection = started();
        connection->setAccountName(QStringLiteral("  Finance team "));
        QSignalSpy clientChanges(connection.get(), &NativeConnection::clientChanged);
        connection->signIn();
        QCOMPARE(connection->code(), NativeSignInProof::comparisonCode(id));
        QTRY_COMPARE_WITH_TIMEOUT(connection->accounts().size(), 1, patience);
        awaitEnd(connection);

        // The sign-in request: the S256 challenge of the verifier that the exchange proves.
        const auto requests = fixture->scripted.requestsTo(QStringLiteral("/native/request"));
        QCOMPARE(requests.size(), 1);
        const QJsonObject begin = QJsonDocument::fromJson(*requests[0].body).object();
        QCOMPARE(begin.value(QStringLiteral("callback")).toString(),
                 QStringLiteral("net.brevane.tabrel.test://signin"));
        const auto exchanges = fixture->scripted.requestsTo(QStringLiteral("/native/exchange"));
        QCOMPARE(exchanges.size(), 4);
        const QJsonObject proof = QJsonDocument::fromJson(*exchanges.last().body).object();
        QCOMPARE(proof.value(QStringLiteral("id")).toString(), id);
        const QString verifier = proof.value(QStringLiteral("verifier")).toString();
        QVERIFY(NativeSignInProof::valid(verifier));
        QCOMPARE(begin.value(QStringLiteral("challenge")).toString(), NativeSignInProof::challenge(verifier));

        // The approval page.
        QCOMPARE(fixture->browser.opened,
                 QList<QUrl>{QUrl(QStringLiteral("https://sheets.example/native/start?id=") + id)});

        // The account, its stored session and the new client.
        const NativeAccount account = connection->accounts().first();
        QCOMPARE(account.name, QStringLiteral("Finance team"));
        QCOMPARE(account.origin, QUrl(QStringLiteral("https://sheets.example")));
        QCOMPARE(connection->activeAccountID(), account.id);
        QCOMPARE(connection->error(), QString());
        QCOMPARE(connection->notice(), QString());
        QVERIFY(!connection->browserURL());
        QVERIFY(!connection->pendingID());
        QCOMPARE(clientChanges.size(), 1);
        QCOMPARE(fixture->scripted.clients.last().second, session);
        QCOMPARE(runTask(NativeCredentials::read(account.key())).session, session);
        QCOMPARE(fixture->settings->value(QStringLiteral("native.activeAccount")).toString(), account.id);
        QCOMPARE(fixture->settings->value(QStringLiteral("native.server")).toString(),
                 QStringLiteral("https://sheets.example"));
    }

    // A failed sign-in leaves the signed-in account and its client alone.
    void failureKeepsTheActiveAccount() {
        fixture->scripted.handler = approvingServer(token('i'), {"__Host-larkspan_session", token('s')});
        const auto connection = started();
        connection->signIn();
        QTRY_VERIFY_WITH_TIMEOUT(connection->client(), patience);
        const auto client = connection->client();
        const auto accounts = connection->accounts();

        fixture->scripted.handler = onExchange(answer(403));
        connection->signIn();
        awaitEnd(connection);
        QCOMPARE(connection->error(), QStringLiteral("Sign-in expired or was refused. Please try again."));
        QCOMPARE(connection->client(), client);
        QCOMPARE(connection->accounts(), accounts);
        QCOMPARE(connection->activeAccountID(), accounts.first().id);

        // A retry starts clean: nothing of the failed attempt shows while it asks the server.
        Gate gate;
        fixture->scripted.handler = [&gate](ScriptedRequest) { return gatedAnswer(&gate, answer(404)); };
        connection->signIn();
        QTRY_VERIFY_WITH_TIMEOUT(gate.reached, patience);
        QCOMPARE(connection->error(), QString());
        QCOMPARE(connection->code(), QString());
        QVERIFY(!connection->browserURL());
        QVERIFY(!connection->pendingID());
        gate.release();
        awaitEnd(connection);
        QCOMPARE(connection->error(),
                 QStringLiteral("This server does not support this native feature yet."));
    }

    // A browser that does not open leaves the page to copy or to open again while the sign-in waits.
    void browserThatDoesNotOpen() {
        fixture->scripted.handler = approvingServer(token('i'), {"__Host-larkspan_session", token('s')}, 3);
        fixture->browser.accepts = false;
        const auto connection = started();
        connection->signIn();
        QTRY_COMPARE_WITH_TIMEOUT(connection->error(), QStringLiteral("Could not open your browser."),
                                  patience);
        QVERIFY(connection->signingIn());
        QCOMPARE(connection->browserURL(), fixture->browser.opened.first());
        fixture->browser.accepts = true;
        connection->openBrowserAgain();
        QTRY_COMPARE_WITH_TIMEOUT(fixture->browser.opened.size(), 2, patience);
        QCOMPARE(fixture->browser.opened.last(), fixture->browser.opened.first());
        awaitEnd(connection);
        QCOMPARE(connection->error(), QString());
        QCOMPARE(connection->accounts().size(), 1);
        connection->openBrowserAgain(); // nothing waits any more
        QCOMPARE(fixture->browser.opened.size(), 2);
    }

    void cancelLeavesNoTrace_data() {
        QTest::addColumn<QString>("step");
        QTest::newRow("while requesting") << "request";
        QTest::newRow("while the browser opens") << "open";
        QTest::newRow("while exchanging") << "exchange";
        QTest::newRow("between polls") << "poll";
        QTest::newRow("while storing the session") << "store";
        QTest::newRow("by a new sign-in") << "restart";
        QTest::newRow("by showing the accounts") << "showAccounts";
    }

    void cancelLeavesNoTrace() {
        QFETCH(QString, step);
        Gate gate;
        const QString id = token('i');
        const NativeSession session{QStringLiteral("__Host-larkspan_session"), token('s')};
        std::weak_ptr<NativeConnection> weak;
        int exchanges = 0;
        fixture->scripted.handler = [&](ScriptedRequest request) -> QCoro::Task<NativeResponse> {
            if (request.path == QLatin1String("/native/request")) {
                if (step == QLatin1String("request"))
                    return gatedAnswer(&gate, answer(200, beginBody(id)));
                return give(answer(200, beginBody(id)));
            }
            ++exchanges;
            if (step == QLatin1String("exchange"))
                return gatedAnswer(&gate, answer(200, session.toJson()));
            if (step == QLatin1String("store")) {
                // Cancelled once the session is on its way into the store.
                QTimer::singleShot(0, [weak] {
                    if (const auto connection = weak.lock())
                        connection->cancel();
                });
                return gatedAnswer(&gate, answer(200, session.toJson()));
            }
            return gatedAnswer(&gate, answer(202));
        };
        const auto connection = started();
        weak = connection;
        if (step == QLatin1String("open"))
            connection->signIn([&gate](QUrl url) { return openAfter(&gate, url); });
        else
            connection->signIn();
        if (step == QLatin1String("store"))
            gate.release();
        else
            QTRY_VERIFY_WITH_TIMEOUT(gate.reached, patience);
        if (step == QLatin1String("poll")) {
            // Cancelled as the third pause between polls begins.
            fixture->clock->onSleep = [&] {
                if (fixture->clock->sleeps.size() == 3)
                    connection->cancel();
            };
            gate.release();
            QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), patience);
            QCOMPARE(exchanges, 2);
        }

        if (step == QLatin1String("restart")) {
            fixture->scripted.handler = serving(answer(404));
            connection->signIn();
            awaitEnd(connection);
            QCOMPARE(connection->error(),
                     QStringLiteral("This server does not support this native feature yet."));
        } else if (step == QLatin1String("showAccounts")) {
            connection->showAccounts();
        } else if (step != QLatin1String("store")) {
            connection->cancel();
        }
        if (step != QLatin1String("store")) {
            QVERIFY(!connection->signingIn());
            QCOMPARE(connection->code(), QString());
        }
        gate.release();
        QTRY_VERIFY_WITH_TIMEOUT(gate.passed, patience);
        const int exchangesAfterCancel = exchanges;
        // The cancelled task may still be unwinding: let it finish, then check it changed nothing.
        QTRY_VERIFY_WITH_TIMEOUT(weak.use_count() == 1, patience);
        if (step != QLatin1String("restart"))
            QCOMPARE(connection->error(), QString());
        verifyIdle(connection);
        QCOMPARE(exchanges, exchangesAfterCancel);
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList());
    }

    // Only the exact callback of the running sign-in closes the approval page; polling goes on.
    void callbackURL() {
        const QString id = token('i');
        // The server approves on the second exchange after the browser came back.
        bool returned = false;
        int exchangesAfterReturn = 0;
        fixture->scripted.handler = [&](ScriptedRequest request) -> QCoro::Task<NativeResponse> {
            if (request.path == QLatin1String("/native/request"))
                return give(answer(200, beginBody(id)));
            if (!returned || ++exchangesAfterReturn < 2)
                return give(answer(202));
            return give(answer(200, NativeSession{"__Host-larkspan_session", token('s')}.toJson()));
        };
        const auto connection = started();
        const QString base = QStringLiteral("net.brevane.tabrel.test://signin?state=");

        connection->handleOpenURL(QUrl(base + id)); // nothing pending yet
        connection->signIn();
        QVERIFY(connection->browser().isActive());
        const QUuid generation = connection->browser().generation();

        const QStringList stale{
            base + token('x'),
            base + id + QStringLiteral("&extra=1"),
            QStringLiteral("net.brevane.tabrel.test://signin:443?state=") + id,
            QStringLiteral("net.brevane.tabrel.test://signin/path?state=") + id,
            QStringLiteral("net.brevane.tabrel.test://@signin?state=") + id,
            QStringLiteral("net.brevane.tabrel.other://signin?state=") + id,
        };
        for (const QString &url : stale) {
            connection->handleOpenURL(QUrl(url));
            QVERIFY2(connection->browser().isActive(), qPrintable(url));
            QCOMPARE(connection->browser().generation(), generation);
        }

        connection->handleOpenURL(QUrl(base + id));
        QVERIFY(!connection->browser().isActive());
        QVERIFY(connection->signingIn());
        QCOMPARE(connection->pendingID(), id);
        returned = true;
        QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), patience);
        QCOMPARE(connection->error(), QString());
        QCOMPARE(connection->accounts().size(), 1);
        QCOMPARE(exchangesAfterReturn, 2);
    }
};

QTEST_GUILESS_MAIN(TestNativeSignIn)
#include "tst_NativeSignIn.moc"
