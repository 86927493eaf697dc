#include "ConnectionFixture.h"
#include "KeyringHelpers.h"
#include "LoopbackHttpServer.h"
#include "TaskRunner.h"

#include "async/DetachedTask.h"
#include "connection/NativeCredentials.h"
#include "connection/NativeHTTP.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// The sign-in and sign-out on the wire, through the real HTTP client against a loopback server that
// plays the sign-in endpoints (the approval stands in for the browser).
class TestNativeSignInWire : public QObject {
    Q_OBJECT

    std::unique_ptr<ConnectionFixture> fixture;
    std::unique_ptr<LoopbackHttpServer> server;

    std::shared_ptr<NativeConnection> started() {
        NativeConnection::Services services; // the real HTTP client
        services.openBrowser = fixture->browser.opener();
        services.clock = fixture->clock;
        auto connection =
            NativeConnection::create(server->origin().toString(), std::nullopt, fixture->settings,
                                     fixture->connectivity, std::move(services));
        runTask(connection->start());
        return connection;
    }

private Q_SLOTS:
    void init() {
        fixture = std::make_unique<ConnectionFixture>();
        server = std::make_unique<LoopbackHttpServer>();
        setEscapedErrorHandler([](std::exception_ptr) { QFAIL("an exception escaped a background task"); });
    }
    void cleanup() {
        server.reset();
        fixture.reset();
        for (const QString &key : KeyringHelpers::storedKeys())
            runTask(NativeCredentials::remove(key));
        setEscapedErrorHandler({});
    }

    void signInAndOutOnTheWire() {
        const QString id = token('i');
        const NativeSession session{QStringLiteral("larkspan_session"), token('s')};
        int pending = 2;
        server->setHandler([&](LoopbackExchange &exchange) {
            const QByteArray target = exchange.request().target;
            if (target == "/native/request")
                exchange.respond(200, QByteArrayLiteral("{\"id\":\"") + id.toUtf8() + "\"}",
                                 {{"Content-Type", "application/json"}});
            else if (target == "/native/exchange" && pending > 0) {
                --pending;
                exchange.respond(202);
            } else if (target == "/native/exchange")
                exchange.respond(200, session.toJson());
            else
                exchange.respond(204);
        });

        const auto connection = started();
        QCOMPARE(connection->callbackScheme(), QStringLiteral(TABREL_CALLBACK_SCHEME));
        connection->signIn();
        QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), 20000);
        QCOMPARE(connection->error(), QString());
        QCOMPARE(connection->accounts().size(), 1);
        QCOMPARE(fixture->browser.opened.first().toString(),
                 server->origin().toString() + QStringLiteral("/native/start?id=") + id);

        const QList<LoopbackRequest> requests = server->requests();
        QCOMPARE(requests.size(), 4);
        const LoopbackRequest begin = requests.first();
        QCOMPARE(begin.method, QByteArray("POST"));
        QCOMPARE(begin.target, QByteArray("/native/request"));
        QCOMPARE(begin.header("Origin"), server->origin().toString().toUtf8());
        QCOMPARE(begin.header("Content-Type"), QByteArray("application/json"));
        QVERIFY(!begin.header("Cookie"));
        QCOMPARE(QJsonDocument::fromJson(begin.body).object().value(QStringLiteral("callback")).toString(),
                 QStringLiteral(TABREL_CALLBACK_SCHEME "://signin"));
        QVERIFY(!requests.last().header("Cookie"));

        // The account's client sends the session; signing out tells the server with it.
        const auto http = std::dynamic_pointer_cast<NativeHTTP>(connection->client());
        QVERIFY(http);
        QCOMPARE(http->credential(), session);
        runTask(connection->signOut());
        QTRY_COMPARE_WITH_TIMEOUT(server->requests().size(), 5, 20000);
        const LoopbackRequest signout = server->requests().last();
        QCOMPARE(signout.method, QByteArray("POST"));
        QCOMPARE(signout.target, QByteArray("/signout"));
        QCOMPARE(signout.header("Cookie"), QByteArray("larkspan_session=") + session.value.toUtf8());
        QCOMPARE(signout.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(signout.body, QByteArray());
        QVERIFY(connection->accounts().isEmpty());
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList());
        // The server answered: the origin counts as reachable.
        QCOMPARE(fixture->connectivity->serverReachable(server->origin()), true);
    }

    void unreachableServer() {
        fixture->settings->setValue(
            QStringLiteral("native.server"),
            QStringLiteral("http://127.0.0.1:%1").arg(LoopbackHttpServer::closedPort()));
        const auto connection = started();
        connection->signIn();
        QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), 20000);
        QCOMPARE(connection->error(), urlErrorDescription(UrlErrorCode::cannotConnectToHost));
        QVERIFY(fixture->connectivity->isOffline(QUrl(connection->serverAddress())));
        QVERIFY(fixture->browser.opened.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestNativeSignInWire)
#include "tst_NativeSignInWire.moc"
