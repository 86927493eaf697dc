#include "ConnectionFixture.h"
#include "KeyringHelpers.h"
#include "ServerProcess.h"
#include "TaskRunner.h"

#include "async/DetachedTask.h"
#include "connection/NativeCredentials.h"
#include "connection/NativeHTTP.h"

#include <QTest>
#include <QUrlQuery>

namespace {
const std::string email = "ann@example.com";
const std::string password = "correct horse battery";

// Stands in for the browser: shows the approval page, checks it shows the application's code,
// approves, and follows the redirect back to the application.
QCoro::Task<bool> approveInBrowser(ServerProcess *server, std::weak_ptr<NativeConnection> weak, QUrl page,
                                   QString *returned) {
    const auto connection = weak.lock();
    if (!connection)
        co_return false;
    const std::string id = QUrlQuery(page).queryItemValue(QStringLiteral("id")).toStdString();
    const auto shown = server->client().get(page.path().toStdString() + "?" + page.query().toStdString());
    if (!shown || shown->status != 200 ||
        shown->body.find(connection->code().toStdString()) == std::string::npos)
        co_return false;
    std::string location;
    if (server->approve(id, email, password, &location) != 303)
        co_return false;
    *returned = QString::fromStdString(location);
    connection->handleOpenURL(QUrl(*returned));
    co_return true;
}
} // namespace

// The whole browser sign-in against tabrel-server, with the real HTTP client and secret store.
class TestNativeSignInE2E : public QObject {
    Q_OBJECT

    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<ConnectionFixture> fixture;

private Q_SLOTS:
    void initTestCase() {
        server = std::make_unique<ServerProcess>();
        QVERIFY2(server->start(), qPrintable(server->errorString()));
        QVERIFY(server->addUser(QString::fromStdString(email), "Ann", QString::fromStdString(password)));
        setEscapedErrorHandler([](std::exception_ptr) { QFAIL("an exception escaped a background task"); });
    }
    void cleanupTestCase() {
        QVERIFY2(server->stop(), qPrintable(server->errorString()));
        setEscapedErrorHandler({});
    }

    void signInUseAndSignOut() {
        fixture = std::make_unique<ConnectionFixture>();
        NativeConnection::Services services; // the real HTTP client
        services.clock = fixture->clock;
        const QString origin = QString::fromStdString(server->origin());
        const auto connection = NativeConnection::create(origin, std::nullopt, fixture->settings,
                                                         fixture->connectivity, std::move(services));
        runTask(connection->start());
        QCOMPARE(connection->serverAddress(), origin);

        const std::weak_ptr<NativeConnection> weak = connection;
        ServerProcess *process = server.get();
        connection->setAccountName(QStringLiteral("Ann at the office"));
        QString returned;
        connection->signIn([process, weak, &returned](QUrl page) {
            return approveInBrowser(process, weak, page, &returned);
        });
        QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), 60000);
        QCOMPARE(connection->error(), QString());
        QCOMPARE(connection->accounts().size(), 1);
        const NativeAccount account = connection->accounts().first();
        QCOMPARE(account.name, QStringLiteral("Ann at the office"));
        QCOMPARE(account.origin, QUrl(origin));
        // The browser came back to the callback this application registers.
        QVERIFY2(returned.startsWith(QStringLiteral(TABREL_CALLBACK_SCHEME "://signin?state=")),
                 qPrintable(returned));

        // The stored session works for sheet requests.
        const auto session = runTask(NativeCredentials::read(account.key())).session;
        QVERIFY(session);
        QCOMPARE(session->name, QStringLiteral("larkspan_session"));
        const auto http = std::dynamic_pointer_cast<NativeHTTP>(connection->client());
        QVERIFY(http);
        QCOMPARE(http->credential(), session);
        const NativeResponse sheets = runTask(http->responseDetails(
            QStringLiteral("/sheets"), QStringLiteral("GET"), std::nullopt, nativeDefaultMaxBytes, {}));
        QCOMPARE(sheets.status(), 200);

        // Signing out ends the session on the server too.
        runTask(connection->signOut());
        QVERIFY(connection->accounts().isEmpty());
        QCOMPARE(runTask(NativeCredentials::read(account.key())).status, NativeKeyringStatus::missing);
        const auto old = NativeHTTP::create(QUrl(origin), session);
        QTRY_VERIFY_WITH_TIMEOUT(
            runTask(old->responseDetails(QStringLiteral("/sheets"), QStringLiteral("GET"), std::nullopt,
                                         nativeDefaultMaxBytes, {}))
                    .status() != 200,
            20000);
    }
};

QTEST_GUILESS_MAIN(TestNativeSignInE2E)
#include "tst_NativeSignInE2E.moc"
