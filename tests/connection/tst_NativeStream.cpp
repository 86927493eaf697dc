#include "async/CancellationSource.h"
#include "connection/NativeHTTP.h"

#include "LoopbackHttpServer.h"
#include "TransportTestSupport.h"

#include <QTest>

using namespace std::chrono_literals;

namespace {
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
} // namespace

class TestNativeStream : public QObject {
    Q_OBJECT
private Q_SLOTS:
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
        // The other request headers are the request tests' to check.
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
        QVERIFY2(clientError(log->error) == error, qPrintable(messageOf(log->error)));
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
        QVERIFY(clientError(lineError) == NativeClientError::invalidResponse());
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
        const auto allOpen = [&] {
            return std::all_of(logs.begin(), logs.end(),
                               [](const auto &log) { return log->lines.size() == 1; });
        };
        QTRY_VERIFY_WITH_TIMEOUT(allOpen(), 20000);
        for (int i = 0; i < 8; ++i) {
            const auto response =
                runTask(client->responseDetails("/sheets", "GET", std::nullopt, "application/json", 100, {}));
            QCOMPARE(response.data(), QByteArray("{\"ok\":true}"));
        }
        QVERIFY(std::none_of(logs.begin(), logs.end(), [](const auto &log) { return log->ended; }));
        source.cancel();
        for (auto &task : tasks)
            runTask(std::move(task));
        for (const auto &log : logs)
            QVERIFY(isCancellation(log->error));
        const auto streamsOpen = [&server] {
            const auto exchanges = server.exchanges();
            return std::any_of(exchanges.begin(), exchanges.end(), [](LoopbackExchange *exchange) {
                return exchange->request().target.endsWith("/stream");
            });
        };
        QTRY_VERIFY_WITH_TIMEOUT(!streamsOpen(), 10000);
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
        QVERIFY(clientError(log->error) == NativeClientError::offline(UrlErrorCode::timedOut));
        QList<NativeTransportOutcome> seen{NativeTransportOutcome::offline(UrlErrorCode::timedOut)};
        if (comments >= 0)
            seen.prepend(NativeTransportOutcome::responded(200));
        QCOMPARE(*observer.seen, seen);
    }
};

QTEST_GUILESS_MAIN(TestNativeStream)
#include "tst_NativeStream.moc"
