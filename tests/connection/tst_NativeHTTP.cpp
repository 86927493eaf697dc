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
                                          NativeTransportObserver observer = {}) {
        return NativeHTTP::create(server.origin(), std::move(credential), std::move(observer));
    }

    static QCoro::Task<NativeResponse> getting(NativeHTTP &client, const QString &path, qint64 maxBytes,
                                               CancellationToken token = {}) {
        return client.responseDetails(path, "GET", std::nullopt, "application/json", maxBytes,
                                      std::move(token));
    }
    NativeResponse get(NativeHTTP &client, const QString &path, qint64 maxBytes = nativeDefaultMaxBytes) {
        return runTask(getting(client, path, maxBytes));
    }

private Q_SLOTS:
    void origin_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected"); // empty: refused
        const auto row = [](const char *name, const char *typed, const char *expected = "") {
            QTest::newRow(name) << QString(typed) << QString(expected);
        };
        row("https", "https://sheets.example.com", "https://sheets.example.com");
        row("surrounding space, slash", " \thttps://sheets.example.com/\n", "https://sheets.example.com");
        row("https with port", "https://sheets.example.com:8443", "https://sheets.example.com:8443");
        row("http localhost port", "http://localhost:8080", "http://localhost:8080");
        row("http 127.0.0.1", "http://127.0.0.1:9000/", "http://127.0.0.1:9000");
        row("http ::1", "http://[::1]:9000", "http://[::1]:9000");
        for (const char *typed :
             {"sheets.example.com", "https://sheets.example.com/sheets", "https://sheets.example.com//",
              "https://me@sheets.example.com", "https://@sheets.example.com", "https://sheets.example.com?",
              "https://sheets.example.com#", "http://sheets.example.com", "http://127.1:8080",
              "http://LOCALHOST:8080", "ftp://sheets.example.com", "https://"})
            row(typed, typed);
    }

    void origin() {
        QFETCH(QString, typed);
        QFETCH(QString, expected);
        QString result;
        try {
            result = NativeHTTP::origin(typed).toString();
        } catch (const NativeClientError &error) {
            result = error.errorDescription();
        }
        QCOMPARE(result, expected.isEmpty() ? originMessage : expected);
    }

    void statusesKeepTheirBodies_data() {
        QTest::addColumn<int>("status");
        for (int status : {200, 302, 400, 401, 404, 409, 500, 503})
            QTest::addRow("%d", status) << status;
    }

    // Error answers and redirects come back whole and are shown to the observer; a redirect is
    // never followed.
    void statusesKeepTheirBodies() {
        QFETCH(int, status);
        LoopbackHttpServer server;
        server.respondAlways(status, "{\"error\":\"no\"}",
                             {{"Content-Type", "application/json"}, {"Location", "/elsewhere"}});
        RecordingObserver observer;
        auto client = clientFor(server, std::nullopt, observer.callback());
        const NativeResponse response = get(*client, "/x");
        QCOMPARE(response.status(), status);
        QCOMPARE(response.data(), QByteArray("{\"error\":\"no\"}"));
        QCOMPARE(response.header("content-type"), std::optional<QString>("application/json"));
        QCOMPARE(response.header("Location"), std::optional<QString>("/elsewhere"));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(*observer.seen, QList<NativeTransportOutcome>{NativeTransportOutcome::responded(status)});
    }

    void requestHeaders() {
        LoopbackHttpServer server;
        // A cookie the server sets must not ride along on the next request.
        server.respondAlways(200, "{}", {{"Set-Cookie", "tracker=1; Path=/"}});
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

    void bodySizeLimit_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("chunked");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("exactly the limit") << QByteArray("0123456789") << false << true;
        QTest::newRow("one byte more") << QByteArray("0123456789A") << false << false;
        QTest::newRow("exactly the limit, chunked") << QByteArray("0123456789") << true << true;
        QTest::newRow("one byte more, chunked") << QByteArray("0123456789A") << true << false;
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
        const auto error = failureOf(getting(*client, "/x", 10));
        if (accepted) {
            QVERIFY(!error);
            QCOMPARE(get(*client, "/x", 10).data(), body);
        } else {
            QCOMPARE(messageOf(error), QString("The server response is too large."));
        }
    }

    // The size limit's bounds; a bad limit or a path off the origin is refused before connecting.
    void limitsAndPaths_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const char *path, qint64 maxBytes, const char *message) {
            QTest::newRow(name) << QString(path) << maxBytes << QString(message);
        };
        const char *badPath = "Invalid server path.";
        const char *badLimit = "Invalid response size limit.";
        row("limit 1 accepted", "/x", 1, "");
        row("limit 2^28 accepted", "/x", 268'435'456, "");
        row("limit 0", "/x", 0, badLimit);
        row("limit 2^28 + 1", "/x", 268'435'457, badLimit);
        row("two slashes", "//evil.example/x", 100, badPath);
        row("no leading slash", "sheets", 100, badPath);
        row("absolute URL", "http://evil.example/x", 100, badPath);
    }

    void limitsAndPaths() {
        QFETCH(QString, path);
        QFETCH(qint64, maxBytes);
        QFETCH(QString, message);
        LoopbackHttpServer server;
        server.respondAlways(200, "k");
        RecordingObserver observer;
        auto client = clientFor(server, std::nullopt, observer.callback());
        if (message.isEmpty()) {
            QCOMPARE(get(*client, path, maxBytes).data(), QByteArray("k"));
            return;
        }
        const auto error = failureOf(getting(*client, path, maxBytes));
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

    // Each way the network can fail ends as an offline error with its own code, reported to the observer.
    void networkFailures_data() {
        QTest::addColumn<int>("scenario");
        QTest::addColumn<int>("code");
        QTest::newRow("nobody listening") << 0 << int(UrlErrorCode::cannotConnectToHost);
        QTest::newRow("closed mid body") << 1 << int(UrlErrorCode::networkConnectionLost);
        QTest::newRow("silent server, request timer") << 2 << int(UrlErrorCode::timedOut);
        QTest::newRow("stalled body, idle timer") << 3 << int(UrlErrorCode::timedOut);
    }

    void networkFailures() {
        QFETCH(int, scenario);
        QFETCH(int, code);
        LoopbackHttpServer server;
        server.setHandler([&](LoopbackExchange &exchange) {
            if (scenario == 2)
                return; // never answers
            exchange.sendHead(200, {}, 100);
            exchange.write("only ten b");
            if (scenario == 1)
                exchange.close();
        });
        QUrl origin = server.origin();
        if (scenario == 0)
            origin = QUrl(QString("http://127.0.0.1:%1").arg(LoopbackHttpServer::closedPort()));
        RecordingObserver observer;
        const NativeHTTPTimeouts timeouts = scenario == 2   ? NativeHTTPTimeouts{10s, 300ms}
                                            : scenario == 3 ? NativeHTTPTimeouts{300ms, 60s}
                                                            : NativeHTTPTimeouts{};
        auto client = NativeHTTP::create(origin, std::nullopt, observer.callback(), timeouts);
        const auto error = clientError(failureOf(getting(*client, "/x", 1000)));
        QVERIFY(error);
        const auto expected = UrlErrorCode(code);
        QVERIFY2(*error == NativeClientError::offline(expected), error->what());
        QCOMPARE(observer.seen->last(), NativeTransportOutcome::offline(expected));
    }

    // Cancelling mid-body drops the connection, and a cancelled export leaves no file behind.
    void cancellingStopsTheTransfer_data() {
        QTest::addColumn<bool>("download");
        QTest::newRow("request") << false;
        QTest::newRow("download") << true;
    }

    void cancellingStopsTheTransfer() {
        QFETCH(bool, download);
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
        std::optional<QCoro::Task<NativeResponse>> request;
        std::optional<QCoro::Task<>> saving;
        if (download)
            saving.emplace(client->download("/export", directory.filePath("Budget.xlsx"), source.token()));
        else
            request.emplace(getting(*client, "/slow", 1'000'000, source.token()));
        QTRY_VERIFY_WITH_TIMEOUT(exchange && exchange->bodyBytesWritten() >= 3000, 10000);
        source.cancel();
        QVERIFY(isCancellation(download ? failureOf(std::move(*saving)) : failureOf(std::move(*request))));
        QTRY_VERIFY_WITH_TIMEOUT(!exchange || !exchange->isConnected(), 10000);
        QVERIFY(!exchange || exchange->bodyBytesWritten() < 100'000);
        QCOMPARE(entriesOf(directory.path()), QStringList());
    }

    void alreadyCancelledSendsNothing() {
        LoopbackHttpServer server;
        auto client = clientFor(server);
        CancellationSource source;
        source.cancel();
        QVERIFY(isCancellation(failureOf(getting(*client, "/x", 10, source.token()))));
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
        auto task = getting(*client, "/x", 100);
        client.reset();
        QVERIFY(!weak.expired());
        QCOMPARE(runTask(std::move(task)).data(), QByteArray("abc"));
        QVERIFY(weak.expired());
    }

    void download_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // empty: saved
        QTest::addColumn<bool>("asFileUrl");
        QTest::newRow("200") << 200 << "" << false;
        QTest::newRow("200 to a file URL") << 200 << "" << true;
        QTest::newRow("204") << 204 << exportMessage << false;
        QTest::newRow("401") << 401 << "Your session has ended. Sign out and sign in again." << false;
    }

    void download() {
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(bool, asFileUrl);
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
        const QString target = asFileUrl ? QUrl::fromLocalFile(destination).toString() : destination;
        const auto error = failureOf(client->download("/sheets/1/export", target, {}));
        QCOMPARE(messageOf(error), message);
        QCOMPARE(*observer.seen, QList<NativeTransportOutcome>{NativeTransportOutcome::responded(status)});
        if (message.isEmpty()) {
            QVERIFY(!error);
            QCOMPARE(entriesOf(directory.path()), QStringList{"Budget.xlsx"});
            QFile saved(destination);
            QVERIFY(saved.open(QIODevice::ReadOnly));
            QCOMPARE(saved.readAll(), workbook);
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

    void downloadRefusesOtherDestinations() {
        LoopbackHttpServer server;
        auto client = clientFor(server);
        for (const QString destination :
             {"Budget.xlsx", "", "https://example.com/Budget.xlsx", "file://server/share/Budget.xlsx"})
            QCOMPARE(messageOf(failureOf(client->download("/export", destination, {}))),
                     QString("Invalid export destination."));
        QCOMPARE(server.connectionCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestNativeHTTP)
#include "tst_NativeHTTP.moc"
