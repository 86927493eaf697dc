#include "async/CancellationSource.h"
#include "connection/NativeHTTP.h"

#include "LoopbackHttpServer.h"
#include "TransportTestSupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <filesystem>

using namespace std::chrono_literals;

namespace {
const QString originMessage = QStringLiteral("Enter your server’s HTTPS address, without a page path.");
const QString exportMessage =
    QStringLiteral("The export could not be completed. Refresh your session and try again.");

QStringList entriesOf(const QString &directory) {
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}
} // namespace

class TestNativeHTTP : public QObject {
    Q_OBJECT

    std::shared_ptr<NativeHTTP> clientFor(const LoopbackHttpServer &server,
                                          std::optional<NativeSession> credential = std::nullopt,
                                          NativeTransportObserver observer = {},
                                          NativeHTTPTimeouts timeouts = {}) {
        return NativeHTTP::create(server.origin(), std::move(credential), std::move(observer), timeouts);
    }

    NativeResponse get(NativeHTTP &client, const QString &path, qint64 maxBytes = nativeDefaultMaxBytes) {
        return runTask(client.responseDetails(path, "GET", std::nullopt, "application/json", maxBytes, {}));
    }

private Q_SLOTS:
    void origin_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected"); // empty: refused
        QTest::newRow("https") << "https://sheets.example.com"
                               << "https://sheets.example.com";
        QTest::newRow("https with slash") << "https://sheets.example.com/"
                                          << "https://sheets.example.com";
        QTest::newRow("surrounding space") << " \thttps://sheets.example.com/\n"
                                           << "https://sheets.example.com";
        QTest::newRow("https with port") << "https://sheets.example.com:8443"
                                         << "https://sheets.example.com:8443";
        QTest::newRow("http localhost port") << "http://localhost:8080"
                                             << "http://localhost:8080";
        QTest::newRow("http 127.0.0.1") << "http://127.0.0.1:9000/"
                                        << "http://127.0.0.1:9000";
        QTest::newRow("http ::1") << "http://[::1]:9000"
                                  << "http://[::1]:9000";
        QTest::newRow("no scheme") << "sheets.example.com"
                                   << "";
        QTest::newRow("host and port, no scheme") << "localhost:8080"
                                                  << "";
        QTest::newRow("page path") << "https://sheets.example.com/sheets"
                                   << "";
        QTest::newRow("double slash path") << "https://sheets.example.com//"
                                           << "";
        QTest::newRow("user") << "https://me@sheets.example.com"
                              << "";
        QTest::newRow("empty user") << "https://@sheets.example.com"
                                    << "";
        QTest::newRow("user and password") << "https://me:pw@sheets.example.com"
                                           << "";
        QTest::newRow("query") << "https://sheets.example.com/?a=1"
                               << "";
        QTest::newRow("empty query") << "https://sheets.example.com?"
                                     << "";
        QTest::newRow("fragment") << "https://sheets.example.com/#top"
                                  << "";
        QTest::newRow("empty fragment") << "https://sheets.example.com#"
                                        << "";
        QTest::newRow("http elsewhere") << "http://sheets.example.com"
                                        << "";
        QTest::newRow("http other loopback spelling") << "http://127.1:8080"
                                                      << "";
        QTest::newRow("http localhost in capitals") << "http://LOCALHOST:8080"
                                                    << "";
        QTest::newRow("ftp") << "ftp://sheets.example.com"
                             << "";
        QTest::newRow("no host") << "https://"
                                 << "";
        QTest::newRow("empty") << "   "
                               << "";
        QTest::newRow("space in host") << "https://sheets example.com"
                                       << "";
    }

    void origin() {
        QFETCH(QString, typed);
        QFETCH(QString, expected);
        if (expected.isEmpty()) {
            try {
                NativeHTTP::origin(typed);
                QFAIL("the address was accepted");
            } catch (const NativeClientError &error) {
                QCOMPARE(error.errorDescription(), originMessage);
            }
        } else {
            const QUrl origin = NativeHTTP::origin(typed);
            QCOMPARE(origin.toString(), expected);
            QCOMPARE(origin.path(), QString());
        }
    }

    void redirectIsReturnedNotFollowed() {
        LoopbackHttpServer server;
        server.respondAlways(302, "moved", {{"Location", "/elsewhere"}});
        auto client = clientFor(server);
        const NativeResponse response = get(*client, "/sheets");
        QCOMPARE(response.status(), 302);
        QCOMPARE(response.data(), QByteArray("moved"));
        QCOMPARE(response.header("Location"), std::optional<QString>("/elsewhere"));
        QVERIFY(response.failure() == NativeClientError::rejected(302, "moved"));
        QCOMPARE(server.requests().size(), 1);
    }

    void errorStatusesKeepTheirBodies_data() {
        QTest::addColumn<int>("status");
        for (int status : {400, 401, 403, 404, 409, 422, 500, 503})
            QTest::addRow("%d", status) << status;
    }

    void errorStatusesKeepTheirBodies() {
        QFETCH(int, status);
        LoopbackHttpServer server;
        server.respondAlways(status, "{\"error\":\"no\"}", {{"Content-Type", "application/json"}});
        auto client = clientFor(server);
        const NativeResponse response = get(*client, "/x");
        QCOMPARE(response.status(), status);
        QCOMPARE(response.data(), QByteArray("{\"error\":\"no\"}"));
        QCOMPARE(response.header("content-type"), std::optional<QString>("application/json"));
    }

    void requestHeaders() {
        LoopbackHttpServer server;
        server.respondAlways(200, "{}");
        auto anonymous = clientFor(server);
        get(*anonymous, "/sheets?first=1");
        runTask(anonymous->responseDetails("/sheets", "POST", std::nullopt, "application/json", 100, {}));

        auto signedIn = clientFor(server, NativeSession{"larkspan_session", "abc=123"});
        runTask(signedIn->responseDetails("/sheets", "POST", QByteArray("a=1"),
                                          "application/x-www-form-urlencoded", 100, {}));

        const auto requests = server.requests();
        QCOMPARE(requests.size(), 3);
        const QByteArray origin = server.origin().toString().toUtf8();
        QCOMPARE(requests[0].method, QByteArray("GET"));
        QCOMPARE(requests[0].target, QByteArray("/sheets?first=1"));
        QCOMPARE(requests[1].method, QByteArray("POST"));
        for (const auto &request : requests) {
            QCOMPARE(request.header("Origin"), std::optional(origin));
            QCOMPARE(request.header("Accept"), std::optional<QByteArray>("application/json"));
        }
        for (int i : {0, 1}) {
            QVERIFY2(!requests[i].header("Cookie"), requests[i].raw.constData());
            QVERIFY2(!requests[i].header("Content-Type"), requests[i].raw.constData());
        }
        QCOMPARE(requests[2].header("Cookie"), std::optional<QByteArray>("larkspan_session=abc=123"));
        QCOMPARE(requests[2].header("Content-Type"),
                 std::optional<QByteArray>("application/x-www-form-urlencoded"));
        QCOMPARE(requests[2].body, QByteArray("a=1"));
    }

    void cookiesFromTheServerAreNotKept() {
        LoopbackHttpServer server;
        server.respondAlways(200, "{}", {{"Set-Cookie", "tracker=1; Path=/"}});
        auto client = clientFor(server);
        get(*client, "/a");
        get(*client, "/b");
        QCOMPARE(server.requests().size(), 2);
        QVERIFY(!server.requests()[1].header("Cookie"));
    }

    void bodySizeLimit_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("chunked");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("exactly the limit") << QByteArray("0123456789") << false << true;
        QTest::newRow("one byte more") << QByteArray("0123456789A") << false << false;
        QTest::newRow("exactly the limit, chunked") << QByteArray("0123456789") << true << true;
        QTest::newRow("one byte more, chunked") << QByteArray("0123456789A") << true << false;
        QTest::newRow("empty") << QByteArray() << false << true;
    }

    void bodySizeLimit() {
        QFETCH(QByteArray, body);
        QFETCH(bool, chunked);
        QFETCH(bool, accepted);
        LoopbackHttpServer server;
        server.setHandler([&](LoopbackExchange &exchange) {
            if (!chunked)
                return exchange.respond(200, body);
            exchange.sendHead(200, {});
            for (const char byte : body)
                exchange.write(QByteArray(1, byte));
            exchange.finish();
        });
        auto client = clientFor(server);
        const auto error =
            failureOf(client->responseDetails("/x", "GET", std::nullopt, "application/json", 10, {}));
        if (accepted) {
            QVERIFY(!error);
            QCOMPARE(get(*client, "/x", 10).data(), body);
        } else {
            QCOMPARE(messageOf(error), QString("The server response is too large."));
        }
    }

    void refusedBeforeAnyConnection_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QString>("message");
        const QString badPath = "Invalid server path.";
        const QString badLimit = "Invalid response size limit.";
        QTest::newRow("limit 0") << "/x" << qint64(0) << badLimit;
        QTest::newRow("limit negative") << "/x" << qint64(-1) << badLimit;
        QTest::newRow("limit 2^28 + 1") << "/x" << qint64(268'435'457) << badLimit;
        QTest::newRow("two slashes") << "//evil.example/x" << qint64(100) << badPath;
        QTest::newRow("no leading slash") << "sheets" << qint64(100) << badPath;
        QTest::newRow("empty") << "" << qint64(100) << badPath;
        QTest::newRow("absolute URL") << "http://evil.example/x" << qint64(100) << badPath;
    }

    void refusedBeforeAnyConnection() {
        QFETCH(QString, path);
        QFETCH(qint64, maxBytes);
        QFETCH(QString, message);
        LoopbackHttpServer server;
        server.respondAlways(200, "{}");
        RecordingObserver observer;
        auto client = clientFor(server, std::nullopt, observer.callback());
        const auto error =
            failureOf(client->responseDetails(path, "GET", std::nullopt, "application/json", maxBytes, {}));
        QCOMPARE(messageOf(error), message);
        if (message == u"Invalid server path.") {
            QCOMPARE(
                messageOf(failureOf(client->stream(path, [](QString) -> QCoro::Task<> { co_return; }, {}))),
                message);
            QCOMPARE(messageOf(failureOf(client->download(path, QDir::temp().filePath("never.xlsx"), {}))),
                     message);
        }
        QTest::qWait(20);
        QCOMPARE(server.connectionCount(), 0);
        QVERIFY(observer.seen->isEmpty());
    }

    void largestLimitIsAccepted() {
        LoopbackHttpServer server;
        server.respondAlways(200, "k");
        auto client = clientFor(server);
        QCOMPARE(get(*client, "/x", 268'435'456).data(), QByteArray("k"));
        QCOMPARE(get(*client, "/x", 1).status(), 200);
    }

    void observerSeesEveryStatusAndOffline() {
        LoopbackHttpServer server;
        server.setHandler([](LoopbackExchange &exchange) {
            exchange.respond(exchange.request().target.mid(1).toInt(), "body");
        });
        RecordingObserver observer;
        auto client = clientFor(server, std::nullopt, observer.callback());
        for (int status : {200, 404, 500})
            QCOMPARE(get(*client, QString("/%1").arg(status)).status(), status);
        QCOMPARE(*observer.seen, (QList<NativeTransportOutcome>{NativeTransportOutcome::responded(200),
                                                                NativeTransportOutcome::responded(404),
                                                                NativeTransportOutcome::responded(500)}));

        RecordingObserver closedObserver;
        auto unreachable =
            NativeHTTP::create(QUrl(QString("http://127.0.0.1:%1").arg(LoopbackHttpServer::closedPort())),
                               std::nullopt, closedObserver.callback());
        const auto error = clientError(
            failureOf(unreachable->responseDetails("/x", "GET", std::nullopt, "application/json", 100, {})));
        QVERIFY(error);
        QVERIFY(*error == NativeClientError::offline(UrlErrorCode::cannotConnectToHost));
        QCOMPARE(*closedObserver.seen, QList<NativeTransportOutcome>{NativeTransportOutcome::offline(
                                           UrlErrorCode::cannotConnectToHost)});
    }

    void connectionLostMidBody() {
        LoopbackHttpServer server;
        server.setHandler([](LoopbackExchange &exchange) {
            exchange.sendHead(200, {}, 100);
            exchange.write("only ten b");
            exchange.close();
        });
        RecordingObserver observer;
        auto client = clientFor(server, std::nullopt, observer.callback());
        const auto error = clientError(
            failureOf(client->responseDetails("/x", "GET", std::nullopt, "application/json", 1000, {})));
        QVERIFY(error);
        QVERIFY(*error == NativeClientError::offline(UrlErrorCode::networkConnectionLost));
        QCOMPARE(observer.seen->last(), NativeTransportOutcome::offline(UrlErrorCode::networkConnectionLost));
    }

    void answerThatIsNotHttp() {
        LoopbackHttpServer server;
        server.setHandler([](LoopbackExchange &exchange) {
            exchange.writeRaw("hello there\r\n\r\n");
            exchange.close();
        });
        RecordingObserver observer;
        auto client = clientFor(server, std::nullopt, observer.callback());
        const auto error = clientError(
            failureOf(client->responseDetails("/x", "GET", std::nullopt, "application/json", 1000, {})));
        QVERIFY(error);
        QVERIFY2(error->kind() == NativeClientError::Case::transport ||
                     error->kind() == NativeClientError::Case::offline,
                 error->what());
        for (const auto &outcome : *observer.seen)
            QCOMPARE(outcome.kind, NativeTransportOutcome::Kind::offline);
    }

    void requestTimerEndsASilentServer() {
        LoopbackHttpServer server;
        server.setHandler([](LoopbackExchange &) {}); // never answers
        RecordingObserver observer;
        auto client = clientFor(server, std::nullopt, observer.callback(), {10s, 300ms});
        const auto error = clientError(
            failureOf(client->responseDetails("/x", "GET", std::nullopt, "application/json", 1000, {})));
        QVERIFY(error);
        QVERIFY(*error == NativeClientError::offline(UrlErrorCode::timedOut));
        QCOMPARE(*observer.seen,
                 QList<NativeTransportOutcome>{NativeTransportOutcome::offline(UrlErrorCode::timedOut)});
    }

    void idleTimeoutEndsAStalledBody() {
        LoopbackHttpServer server;
        server.setHandler([](LoopbackExchange &exchange) {
            exchange.sendHead(200, {}, 100);
            exchange.write("some");
        });
        auto client = clientFor(server, std::nullopt, {}, {300ms, 60s});
        const auto error = clientError(
            failureOf(client->responseDetails("/x", "GET", std::nullopt, "application/json", 1000, {})));
        QVERIFY(error);
        QVERIFY2(*error == NativeClientError::offline(UrlErrorCode::timedOut), error->what());
    }

    void cancellingStopsTheTransfer() {
        LoopbackHttpServer server;
        QPointer<LoopbackExchange> exchange;
        server.setHandler([&](LoopbackExchange &current) {
            exchange = &current;
            current.sendHead(200, {});
            current.writeSlowly(QList<QByteArray>(1000, QByteArray(100, 'x')), 20ms, true);
        });
        auto client = clientFor(server);
        CancellationSource source;
        auto task = client->responseDetails("/slow", "GET", std::nullopt, "application/json", 1'000'000,
                                            source.token());
        QTRY_VERIFY_WITH_TIMEOUT(exchange && exchange->bodyBytesWritten() >= 300, 10000);
        source.cancel();
        QVERIFY(isCancellation(failureOf(std::move(task))));
        QTRY_VERIFY_WITH_TIMEOUT(!exchange || !exchange->isConnected(), 10000);
        QVERIFY(!exchange || exchange->bodyBytesWritten() < 100'000);
    }

    void alreadyCancelledSendsNothing() {
        LoopbackHttpServer server;
        auto client = clientFor(server);
        CancellationSource source;
        source.cancel();
        QVERIFY(isCancellation(failureOf(
            client->responseDetails("/x", "GET", std::nullopt, "application/json", 10, source.token()))));
        QTest::qWait(20);
        QCOMPARE(server.connectionCount(), 0);
    }

    void droppingTheClientKeepsRequestsInFlight() {
        LoopbackHttpServer server;
        server.setHandler([](LoopbackExchange &exchange) {
            exchange.sendHead(200, {});
            exchange.writeSlowly({"a", "b", "c"}, 30ms, true);
        });
        auto client = clientFor(server);
        std::weak_ptr<NativeHTTP> weak = client;
        auto task = client->responseDetails("/x", "GET", std::nullopt, "application/json", 100, {});
        client.reset();
        QVERIFY(!weak.expired());
        QCOMPARE(runTask(std::move(task)).data(), QByteArray("abc"));
        QVERIFY(weak.expired());
    }

    void download_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // empty: saved
        QTest::newRow("200") << 200 << "";
        QTest::newRow("204") << 204 << exportMessage;
        QTest::newRow("401") << 401 << "Your session has ended. Sign out and sign in again.";
    }

    void download() {
        QFETCH(int, status);
        QFETCH(QString, message);
        const QByteArray workbook = QByteArray("PK\x03\x04", 4) + QByteArray(300'000, 'w');
        LoopbackHttpServer server;
        server.setHandler([&](LoopbackExchange &exchange) {
            exchange.sendHead(status, {{"Content-Type", "application/octet-stream"}}, workbook.size());
            exchange.write(workbook.first(1000));
            exchange.writeSlowly({workbook.sliced(1000)}, 10ms, true);
        });
        RecordingObserver observer;
        auto client = clientFor(server, std::nullopt, observer.callback());
        QTemporaryDir directory;
        const QString destination = directory.filePath("Budget.xlsx");
        const auto error = failureOf(client->download("/sheets/1/export", destination, {}));
        QCOMPARE(messageOf(error), message);
        QCOMPARE(*observer.seen, QList<NativeTransportOutcome>{NativeTransportOutcome::responded(status)});
        if (message.isEmpty()) {
            QVERIFY(!error);
            QCOMPARE(entriesOf(directory.path()), QStringList{"Budget.xlsx"});
            QFile saved(destination);
            QVERIFY(saved.open(QIODevice::ReadOnly));
            QCOMPARE(saved.readAll(), workbook);
            QCOMPARE(saved.permissions() & 0x7777, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                       QFileDevice::ReadUser | QFileDevice::WriteUser);
            QCOMPARE(std::filesystem::status(destination.toStdString()).permissions(),
                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        } else {
            QCOMPARE(entriesOf(directory.path()), QStringList());
        }
    }

    void downloadNeverReplacesAFile() {
        LoopbackHttpServer server;
        server.respondAlways(200, "new");
        auto client = clientFor(server);
        QTemporaryDir directory;
        const QString destination = directory.filePath("Budget.xlsx");
        QFile existing(destination);
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("old");
        existing.close();
        QVERIFY_THROWS_EXCEPTION(std::filesystem::filesystem_error,
                                 runTask(client->download("/export", destination, {})));
        QCOMPARE(entriesOf(directory.path()), QStringList{"Budget.xlsx"});
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("old"));
    }

    void downloadToAFileUrl() {
        LoopbackHttpServer server;
        server.respondAlways(200, "data");
        auto client = clientFor(server);
        QTemporaryDir directory;
        const QString destination = directory.filePath("Sheet 1.xlsx");
        runTask(client->download("/export", QUrl::fromLocalFile(destination).toString(), {}));
        QFile saved(destination);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("data"));
    }

    void downloadRefusesOtherDestinations_data() {
        QTest::addColumn<QString>("destination");
        QTest::newRow("relative") << "Budget.xlsx";
        QTest::newRow("empty") << "";
        QTest::newRow("web URL") << "https://example.com/Budget.xlsx";
        QTest::newRow("remote file URL") << "file://server/share/Budget.xlsx";
    }

    void downloadRefusesOtherDestinations() {
        QFETCH(QString, destination);
        LoopbackHttpServer server;
        auto client = clientFor(server);
        QCOMPARE(messageOf(failureOf(client->download("/export", destination, {}))),
                 QString("Invalid export destination."));
        QCOMPARE(server.connectionCount(), 0);
    }

    void cancellingADownloadLeavesNoFile() {
        LoopbackHttpServer server;
        QPointer<LoopbackExchange> exchange;
        server.setHandler([&](LoopbackExchange &current) {
            exchange = &current;
            current.sendHead(200, {}, 1'000'000);
            current.writeSlowly(QList<QByteArray>(1000, QByteArray(1000, 'x')), 10ms, false);
        });
        auto client = clientFor(server);
        QTemporaryDir directory;
        CancellationSource source;
        auto task = client->download("/export", directory.filePath("Budget.xlsx"), source.token());
        QTRY_VERIFY_WITH_TIMEOUT(exchange && exchange->bodyBytesWritten() >= 3000, 10000);
        source.cancel();
        QVERIFY(isCancellation(failureOf(std::move(task))));
        QCOMPARE(entriesOf(directory.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestNativeHTTP)
#include "tst_NativeHTTP.moc"
