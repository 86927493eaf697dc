#include "async/CancellationError.h"
#include "async/CancellationSource.h"
#include "connection/NativeHTTP.h"

#include "LoopbackHttpServer.h"
#include "TaskRunner.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>

using namespace std::chrono_literals;

namespace {
// Runs a task to its end and returns what it threw (null when it succeeded).
template <typename T> std::exception_ptr failureOf(QCoro::Task<T> task) {
    try {
        runTask(std::move(task));
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

QString messageOf(std::exception_ptr error) {
    const auto failure = NativeClientError::from(error);
    return failure ? failure->errorDescription() : QString();
}

bool isCancellation(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const CancellationError &) {
        return true;
    } catch (...) {
    }
    return false;
}

// Records what a client tells its observer.
struct RecordingObserver {
    std::shared_ptr<QList<NativeTransportOutcome>> seen = std::make_shared<QList<NativeTransportOutcome>>();
    NativeTransportObserver callback() const {
        return [seen = seen](const NativeTransportOutcome &outcome) { seen->append(outcome); };
    }
};

const QString refusedMessage =
    QStringLiteral("The live connection was refused. Reconnect to refresh your session.");
const LoopbackHeaders eventStream = {{"Content-Type", "text/event-stream"}};

// What one stream call saw, kept outside the task so the test can look while it runs.
struct StreamLog {
    int opened = 0;
    QStringList lines;
    QStringList order; // "open" and the lines, as they came
    bool ended = false;
    std::exception_ptr error;
};

QCoro::Task<> runStream(std::shared_ptr<NativeHTTP> client, QString path, std::shared_ptr<StreamLog> log,
                        CancellationToken token) {
    // The handlers are named locals, not temporaries of the co_await expression: GCC 12 destroys
    // such temporaries twice.
    NativeTransport::OpenHandler onOpen = [log]() -> QCoro::Task<> {
        ++log->opened;
        log->order.append("open");
        co_return;
    };
    NativeTransport::LineHandler onLine = [log](QByteArray line) -> QCoro::Task<> {
        log->lines.append(QString::fromUtf8(line));
        log->order.append(QString::fromUtf8(line));
        co_return;
    };
    try {
        auto streaming = client->stream(path, std::move(onOpen), std::move(onLine), token);
        co_await std::move(streaming);
    } catch (...) {
        log->error = std::current_exception();
    }
    log->ended = true;
}

std::shared_ptr<StreamLog> streamOnce(const std::shared_ptr<NativeHTTP> &client, const QString &path) {
    auto log = std::make_shared<StreamLog>();
    runTask(runStream(client, path, log, {}));
    return log;
}

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
        QByteArrayList seen; // method, target, body, then the headers below ("-" when absent)
        for (const auto &request : server.requests()) {
            QByteArrayList fields{request.method, request.target, request.body};
            for (const char *name : {"Origin", "Accept", "Cookie", "Content-Type"})
                fields.append(request.header(name).value_or("-"));
            seen.append(fields.join(' '));
        }
        const QByteArray common = ' ' + server.origin().toString().toUtf8() + " application/json ";
        QCOMPARE(seen,
                 (QByteArrayList{"GET /sheets?first=1 " + common + "- -", "POST /sheets " + common + "- -",
                                 "POST /sheets a=1" + common +
                                     "larkspan_session=abc=123 application/x-www-form-urlencoded"}));
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
        QCOMPARE(messageOf(failureOf(getting(*client, "/x", 10))),
                 accepted ? QString() : QString("The server response is too large."));
        if (accepted)
            QCOMPARE(get(*client, "/x", 10).data(), body);
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
        const auto error = NativeClientError::from(failureOf(getting(*client, "/x", 1000)));
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
        // Already cancelled: nothing is sent.
        QVERIFY(isCancellation(failureOf(getting(*client, "/x", 10, source.token()))));
        QTest::qWait(20);
        QCOMPARE(server.requests().size(), 1);
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
        QCOMPARE(entriesOf(directory.path()), message.isEmpty() ? QStringList{"Budget.xlsx"} : QStringList());
        if (message.isEmpty()) {
            QFile saved(destination);
            QVERIFY(!error && saved.open(QIODevice::ReadOnly));
            QCOMPARE(saved.readAll(), workbook);
            QCOMPARE(std::filesystem::status(destination.toStdString()).permissions(),
                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        }
    }

    // Only a local path or file URL is a destination, and a file already there is never replaced.
    void downloadRefusesOtherDestinations() {
        LoopbackHttpServer server;
        server.respondAlways(200, "new");
        auto client = clientFor(server);
        for (const QString destination :
             {"Budget.xlsx", "", "https://example.com/Budget.xlsx", "file://server/share/Budget.xlsx"})
            QCOMPARE(messageOf(failureOf(client->download("/export", destination, {}))),
                     QString("Invalid export destination."));
        QCOMPARE(server.connectionCount(), 0);
        QTemporaryDir directory;
        QFile existing(directory.filePath("Budget.xlsx"));
        QVERIFY(existing.open(QIODevice::WriteOnly) && existing.write("old") == 3);
        existing.close();
        QVERIFY_THROWS_EXCEPTION(std::filesystem::filesystem_error,
                                 runTask(client->download("/export", existing.fileName(), {})));
        QCOMPARE(entriesOf(directory.path()), QStringList{"Budget.xlsx"});
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("old"));
    }

    void acceptedStreams_data() {
        QTest::addColumn<QByteArray>("contentType");
        QTest::newRow("with charset") << QByteArray("text/event-stream; charset=utf-8");
        QTest::newRow("mixed case") << QByteArray("Text/Event-Stream");
        QTest::newRow("spaces and empty pieces") << QByteArray(";  text/event-stream\t;;");
    }
    void acceptedStreams() {
        QFETCH(QByteArray, contentType);
        LoopbackHttpServer server;
        server.setHandler([&](LoopbackExchange &exchange) {
            exchange.sendHead(200, {{"Content-Type", contentType}});
            exchange.write("event: cells\r\ndata: {\"r\":");
            exchange.write("1}\r\n\r\n: keep-alive\n");
            exchange.writeSlowly({"data: last", "\r", "\n\ndata: never ended"}, 10ms, true);
        });
        RecordingObserver observer;
        auto client = NativeHTTP::create(server.origin(), std::nullopt, observer.callback());
        const auto log = streamOnce(client, "/api/sheets/1/tabs/2/stream");
        QVERIFY(!log->error);
        QCOMPARE(log->order, (QStringList{"open", "event: cells", "data: {\"r\":1}", "", ": keep-alive",
                                          "data: last", ""}));
        QCOMPARE(*observer.seen, QList<NativeTransportOutcome>{NativeTransportOutcome::responded(200)});
        QCOMPARE(server.requests().value(0).header("Accept"), std::optional<QByteArray>("text/event-stream"));
    }

    void refusedStreams_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<LoopbackHeaders>("headers");
        QTest::addColumn<NativeClientError>("error");
        const auto refused = NativeClientError::message(refusedMessage);
        QTest::newRow("json") << 200 << LoopbackHeaders{{"Content-Type", "application/json"}} << refused;
        QTest::newRow("no content type") << 200 << LoopbackHeaders() << refused;
        QTest::newRow("media type only as a parameter")
            << 200 << LoopbackHeaders{{"Content-Type", "text/plain; x=text/event-stream"}} << refused;
        QTest::newRow("204") << 204 << eventStream << refused;
        // The status rule itself is the error table's; one row shows a stream applies it, and a
        // conflict carries no body.
        QTest::newRow("303") << 303 << LoopbackHeaders{{"Location", "/signin"}}
                             << NativeClientError::unauthorized();
        QTest::newRow("409") << 409 << LoopbackHeaders() << NativeClientError::conflict(QByteArray());
    }
    void refusedStreams() {
        QFETCH(int, status);
        QFETCH(LoopbackHeaders, headers);
        QFETCH(NativeClientError, error);
        LoopbackHttpServer server;
        server.setHandler([&](LoopbackExchange &exchange) {
            exchange.sendHead(status, headers);
            if (status != 204)
                exchange.write("data: x\n\n");
            // A 2xx stays open: refusing it must not wait for the body. Qt reads a 401 whole before
            // showing its head, so errors end their body.
            if (status >= 300)
                exchange.finish();
        });
        RecordingObserver observer;
        auto client = NativeHTTP::create(server.origin(), std::nullopt, observer.callback());
        const auto log = streamOnce(client, "/stream");
        QVERIFY2(NativeClientError::from(log->error) == error, qPrintable(messageOf(log->error)));
        QCOMPARE(log->opened, 0);
        QVERIFY(log->lines.isEmpty());
        QCOMPARE(*observer.seen, QList<NativeTransportOutcome>{NativeTransportOutcome::responded(status)});
        QTRY_VERIFY_WITH_TIMEOUT(server.exchanges().isEmpty() || !server.exchanges().first()->isConnected(),
                                 10000);
    }

    void failuresWhileOpen_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("linesBefore");
        QTest::newRow("line too long") << QByteArray("data: a\n") + QByteArray(262'145, 'x') + '\n'
                                       << "The live update is too large. Reconnect to refresh it." << 1;
        QTest::newRow("line at the limit, then invalid text")
            << QByteArray(262'144, 'x') + "\n\xFF\n"
            << "The live connection returned invalid text." << 1;
        QTest::newRow("event too large") << (QByteArray(262'144, 'x') + '\n').repeated(4) + 'y'
                                         << "The live update is too large. Reconnect to refresh it." << 4;
    }
    void failuresWhileOpen() {
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        QFETCH(int, linesBefore);
        LoopbackHttpServer server;
        server.setHandler([&](LoopbackExchange &exchange) {
            exchange.sendHead(200, eventStream);
            exchange.write(body); // and then held open
        });
        const auto log = streamOnce(NativeHTTP::create(server.origin(), std::nullopt), "/stream");
        QCOMPARE(messageOf(log->error), message);
        QCOMPARE(log->opened, 1);
        QCOMPARE(log->lines.size(), linesBefore);
        QTRY_VERIFY_WITH_TIMEOUT(!server.exchanges().value(0) || !server.exchanges().value(0)->isConnected(),
                                 10000);
    }

    void callbackFailuresEndTheStream() {
        LoopbackHttpServer server;
        server.setHandler([](LoopbackExchange &exchange) {
            exchange.sendHead(200, eventStream);
            exchange.write("a\nb\nc\n");
        });
        auto client = NativeHTTP::create(server.origin(), std::nullopt);
        QStringList seen;
        const auto lineError = failureOf(client->stream("/stream",
                                                        [&](QString line) -> QCoro::Task<> {
                                                            seen.append(line);
                                                            if (line == "b")
                                                                throw NativeClientError::invalidResponse();
                                                            co_return;
                                                        },
                                                        {}));
        QVERIFY(NativeClientError::from(lineError) == NativeClientError::invalidResponse());
        QCOMPARE(seen, (QStringList{"a", "b"}));
        bool lineAfterFailedOpen = false;
        const auto openError = failureOf(client->stream(
            "/stream", []() -> QCoro::Task<> { throw std::runtime_error("not ready"); },
            [&](QString) -> QCoro::Task<> {
                lineAfterFailedOpen = true;
                co_return;
            },
            {}));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, std::rethrow_exception(openError));
        QVERIFY(!lineAfterFailedOpen);
        QTRY_VERIFY_WITH_TIMEOUT(server.exchanges().isEmpty(), 10000);
    }

    // More streams than Qt opens connections per host and manager; ordinary requests still pass,
    // and cancelling closes every stream.
    void streamsDoNotStarveRequests() {
        LoopbackHttpServer server;
        server.setHandler([](LoopbackExchange &exchange) {
            if (exchange.request().target.endsWith("/stream")) {
                exchange.sendHead(200, eventStream);
                exchange.write(": hello\n");
            } else {
                exchange.respond(200, "{\"ok\":true}");
            }
        });
        auto client = NativeHTTP::create(server.origin(), std::nullopt);
        CancellationSource source;
        std::vector<std::shared_ptr<StreamLog>> logs;
        std::vector<QCoro::Task<>> tasks;
        for (int i = 0; i < 10; ++i) {
            logs.push_back(std::make_shared<StreamLog>());
            tasks.push_back(runStream(client, QString("/api/sheets/%1/tabs/1/stream").arg(i), logs.back(),
                                      source.token()));
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            std::ranges::all_of(logs, [](const auto &log) { return log->lines.size() == 1; }), 20000);
        for (int i = 0; i < 8; ++i) {
            const auto response =
                runTask(client->responseDetails("/sheets", "GET", std::nullopt, "application/json", 100, {}));
            QCOMPARE(response.data(), QByteArray("{\"ok\":true}"));
        }
        QVERIFY(std::ranges::none_of(logs, [](const auto &log) { return log->ended; }));
        source.cancel();
        for (auto &task : tasks)
            runTask(std::move(task));
        for (const auto &log : logs)
            QVERIFY(isCancellation(log->error));
        const auto isStream = [](LoopbackExchange *exchange) {
            return exchange->request().target.endsWith("/stream");
        };
        QTRY_VERIFY_WITH_TIMEOUT(std::ranges::none_of(server.exchanges(), isStream), 10000);
    }

    // The request timer ends a stream whose head never comes, and stops once it is open: then
    // keep-alive comments a little more often than the idle timeout hold it open until the server
    // goes quiet.
    void timeouts_data() {
        QTest::addColumn<int>("comments"); // -1: no head at all
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<int>("requestMs");
        QTest::newRow("head never comes") << -1 << 10000 << 300;
        QTest::newRow("kept alive past the request timer") << 12 << 400 << 200;
    }
    void timeouts() {
        QFETCH(int, comments);
        QFETCH(int, idleMs);
        QFETCH(int, requestMs);
        LoopbackHttpServer server;
        server.setHandler([&](LoopbackExchange &exchange) {
            if (comments < 0)
                return;
            exchange.sendHead(200, eventStream);
            exchange.writeSlowly(QList<QByteArray>(comments, ": keep-alive\n"), 100ms, false);
        });
        RecordingObserver observer;
        const NativeHTTPTimeouts timeouts{std::chrono::milliseconds(idleMs),
                                          std::chrono::milliseconds(requestMs)};
        const auto log = streamOnce(
            NativeHTTP::create(server.origin(), std::nullopt, observer.callback(), timeouts), "/s");
        QCOMPARE(log->opened, comments < 0 ? 0 : 1);
        QCOMPARE(log->lines.size(), std::max(comments, 0));
        QVERIFY(NativeClientError::from(log->error) == NativeClientError::offline(UrlErrorCode::timedOut));
        QList<NativeTransportOutcome> seen{NativeTransportOutcome::offline(UrlErrorCode::timedOut)};
        if (comments >= 0)
            seen.prepend(NativeTransportOutcome::responded(200));
        QCOMPARE(*observer.seen, seen);
    }
};

QTEST_GUILESS_MAIN(TestNativeHTTP)
#include "tst_NativeHTTP.moc"
