#include "FakeSheetServer.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "async/CancellationSource.h"
#include "connection/NativeFakeClock.h"
#include "connection/NativeFakePathSource.h"
#include "sheet/SheetModel.h"

#include <QTest>

using namespace fixtures;
using Lines = QStringList;
using Events = QList<SheetEvent>;

class TestSheetLive : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeTransport> transport;
    std::unique_ptr<FakeSheetServer> server;
    std::shared_ptr<NativeFakePathSource> path;
    std::shared_ptr<NativeFakeClock> clock;
    std::shared_ptr<NativeConnectivity> connectivity;
    std::shared_ptr<SheetModel> model;

    int tileReads() const {
        return int(std::count_if(transport->requests().cbegin(), transport->requests().cend(),
                                 [](const auto &r) { return r.path.contains(QStringLiteral("/cells?")); }));
    }

    static QCoro::Task<> feed(NativeTransport::LineHandler &onLine, QStringList lines) {
        for (const QString &line : lines)
            co_await onLine(line.toUtf8());
    }

    void reportPath(NativePath::Status status) {
        path->report(NativePath{status, false, false});
        QTRY_COMPARE_WITH_TIMEOUT(connectivity->isPathSatisfied(), status == NativePath::Status::satisfied,
                                  5000);
    }

    // Lets the fake clock run out every pending sleep, for the reconnect pauses.
    void runOutSleeps() {
        QTRY_VERIFY_WITH_TIMEOUT(clock->sleeperCount() > 0, 5000);
        clock->advance(clock->nextDeadline() - clock->now());
    }

private Q_SLOTS:
    void init() {
        transport = std::make_shared<FakeTransport>();
        server = std::make_unique<FakeSheetServer>(transport, 10, 5);
        path = std::make_shared<NativeFakePathSource>();
        clock = std::make_shared<NativeFakeClock>(1000.0);
        connectivity = NativeConnectivity::create(path, clock);
        reportPath(NativePath::Status::satisfied);
        model = SheetModel::make(transport, {.connectivity = connectivity, .reconnectClock = clock});
        runTask(model->open(summary(1, 1)));
    }

    void parser_data() {
        QTest::addColumn<Lines>("lines");
        QTest::addColumn<Events>("events");
        QTest::newRow("named event with two data lines")
            << Lines{"event: cells", "data: {", "data:   }\t", ""} << Events{{"cells", "{\n}"}};
        QTest::newRow("data without a name") << Lines{"data:x", ""} << Events{{"", "x"}};
        QTest::newRow("two empty lines")
            << Lines{"event:bye", "data: idle", "", ""} << Events{{"bye", "idle"}, {"", ""}};
        QTest::newRow("comments and other fields ignored")
            << Lines{": keep-alive", "id: 7", "retry: 10", "event:resync", ""} << Events{{"resync", ""}};
        QTest::newRow("empty data line still adds a line break")
            << Lines{"data: a", "data:", "data: b", ""} << Events{{"", "a\n\nb"}};
        QTest::newRow("no empty line, no event") << Lines{"event: cells", "data: {}"} << Events{};
    }
    void parser() {
        QFETCH(Lines, lines);
        QFETCH(Events, events);
        SheetEventParser parser;
        Events received;
        for (const QString &line : lines)
            if (auto event = parser.receive(line.toUtf8()))
                received.append(*event);
        QCOMPARE(received, events);
    }

    void openReloadsThenMergesUntilPaused() {
        const int readsBefore = tileReads();
        QStringList seen; // live, then tile reads and live once the stream opened
        transport->setStreamHandler([&](int, NativeTransport::OpenHandler &onOpen,
                                        NativeTransport::LineHandler &onLine,
                                        CancellationToken) -> QCoro::Task<> {
            seen.append(model->live());
            co_await onOpen();
            seen.append(QString::number(tileReads() - readsBefore));
            seen.append(model->live());
            const QString cells =
                QString::fromUtf8(gridJson(2, nlohmann::json::array({cellJson(3, 1, "theirs")})));
            QStringList lines{"event: cells", "data: " + cells, "", "event: bye", "data: idle", ""};
            co_await feed(onLine, std::move(lines));
        });
        runTask(model->watch());
        // The grid is reloaded before any event is handled.
        QCOMPARE(seen, (QStringList{"Connecting", "1", "Live"}));
        QCOMPARE(model->cells().value({3, 1}).raw, QStringLiteral("theirs"));
        QCOMPARE(model->version(), quint64(2));
        QCOMPARE(model->live(), QStringLiteral("Paused"));
        QCOMPARE(transport->streamPaths(), QStringList{"/api/sheets/1/tabs/1/stream"});
    }

    void accessChangedEmptiesTheGridAndStops() {
        server->setCell(0, 0, "secret");
        transport->setStreamHandler([](int, NativeTransport::OpenHandler &onOpen,
                                       NativeTransport::LineHandler &onLine,
                                       CancellationToken) -> QCoro::Task<> {
            co_await onOpen();
            QStringList lines{"event: bye", "data: access-changed", ""};
            co_await feed(onLine, std::move(lines));
        });
        runTask(model->watch());
        QCOMPARE(model->live(), QStringLiteral("Access changed"));
        QVERIFY(model->cells().isEmpty());
        QCOMPARE(model->error(), QStringLiteral("Your access changed. Reopen the sheet to continue."));
        QCOMPARE(transport->streamPaths().size(), 1);
    }

    void otherEndsReconnectAfterAPause() {
        transport->setStreamHandler([](int attempt, NativeTransport::OpenHandler &onOpen,
                                       NativeTransport::LineHandler &onLine,
                                       CancellationToken) -> QCoro::Task<> {
            co_await onOpen();
            QStringList lines = attempt == 1
                                    ? QStringList{"event: bye", "data: signed-out", "", "event: hello", ""}
                                    : QStringList{"event: bye", "data: idle", ""};
            co_await feed(onLine, std::move(lines));
        });
        auto watching = model->watch();
        runOutSleeps();
        runTask(std::move(watching));
        QCOMPARE(transport->streamPaths().size(), 2);
        QCOMPARE(model->live(), QStringLiteral("Paused"));
    }

    void failuresShowOfflineOrReconnecting_data() {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<bool>("pathSatisfied");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("live");
        const QString remote = QStringLiteral("https://sheets.example");
        QTest::newRow("timed out") << "timeout" << true << remote << "Offline";
        QTest::newRow("server error") << "502" << true << remote << "Reconnecting";
        QTest::newRow("server error without a path") << "502" << false << remote << "Offline";
        QTest::newRow("ended normally without a path") << "ended" << false << remote << "Offline";
        // This machine needs no network path: no "Offline", and the pause ends on time.
        QTest::newRow("loopback without a path") << "502" << false << "http://127.0.0.1:8080"
                                                 << "Reconnecting";
        QTest::newRow("localhost without a path") << "502" << false << "http://localhost:8080"
                                                  << "Reconnecting";
    }
    void failuresShowOfflineOrReconnecting() {
        QFETCH(QString, ending);
        QFETCH(bool, pathSatisfied);
        QFETCH(QString, origin);
        QFETCH(QString, live);
        transport->setOrigin(QUrl(origin));
        if (!pathSatisfied)
            reportPath(NativePath::Status::unsatisfied);
        CancellationSource stop;
        transport->setStreamHandler([&](int attempt, NativeTransport::OpenHandler &onOpen,
                                        NativeTransport::LineHandler &, CancellationToken) -> QCoro::Task<> {
            if (attempt > 1) {
                stop.cancel();
                co_return;
            }
            if (ending == QStringLiteral("ended")) {
                co_await onOpen(); // "Live" first, so that only the end can make it "Offline"
                co_return;
            }
            if (ending == QStringLiteral("timeout"))
                throw NativeClientError::offline(UrlErrorCode::timedOut);
            throw NativeClientError::server(502);
        });
        auto watching = model->watch(stop.token());
        QTRY_COMPARE_WITH_TIMEOUT(model->live(), live, 5000);
        // The next attempt waits for the pause.
        QCOMPARE(transport->streamPaths().size(), 1);
        if (!pathSatisfied && !NativeConnectivity::isLoopback(QUrl(origin)))
            reportPath(NativePath::Status::satisfied); // the path coming back ends the wait for it
        if (ending == QStringLiteral("ended")) {
            // A stream that was open may still owe part of its backoff delay once the path is back.
            QTRY_VERIFY_WITH_TIMEOUT(transport->streamPaths().size() == 2 || clock->sleeperCount() > 0, 5000);
            if (transport->streamPaths().size() < 2)
                clock->advance(clock->nextDeadline() - clock->now());
        } else if (pathSatisfied || NativeConnectivity::isLoopback(QUrl(origin))) {
            runOutSleeps();
        }
        runTask(std::move(watching));
        QCOMPARE(transport->streamPaths().size(), 2);
        QCOMPARE(model->error(), QString()); // stream failures never reach the error text
    }

    // Each attempt starts with an empty event: half an event from a failed attempt never joins
    // the lines of the next.
    void aNewAttemptStartsAFreshEvent() {
        transport->setStreamHandler([](int attempt, NativeTransport::OpenHandler &onOpen,
                                       NativeTransport::LineHandler &onLine,
                                       CancellationToken) -> QCoro::Task<> {
            co_await onOpen();
            if (attempt == 1) {
                const QString cells =
                    QString::fromUtf8(gridJson(2, nlohmann::json::array({cellJson(1, 2, "half")})));
                QStringList lines{"event: cells", "data: " + cells};
                co_await feed(onLine, std::move(lines));
                throw NativeClientError::server(502);
            }
            QStringList lines{"", "event: bye", "data: idle", ""};
            co_await feed(onLine, std::move(lines));
        });
        auto watching = model->watch();
        runOutSleeps();
        runTask(std::move(watching));
        QCOMPARE(model->live(), QStringLiteral("Paused"));
        QVERIFY(!model->cells().contains({1, 2}));
        QCOMPARE(model->version(), quint64(1));
    }

    void unreadableCellsEventReloads() {
        const int readsBefore = tileReads();
        transport->setStreamHandler([](int, NativeTransport::OpenHandler &onOpen,
                                       NativeTransport::LineHandler &onLine,
                                       CancellationToken) -> QCoro::Task<> {
            co_await onOpen();
            QStringList lines{"event: cells", "data: {\"cells\":[]}", "", "event: resync", "",
                              "event: bye",   "data: idle",           ""};
            co_await feed(onLine, std::move(lines));
        });
        runTask(model->watch());
        QCOMPARE(tileReads(), readsBefore + 3); // on open, for the unreadable event, for resync
        QCOMPARE(model->error(), QString());
    }

    void cancellingEndsWatchingQuietly() {
        CancellationSource stop;
        transport->setStreamHandler([&](int, NativeTransport::OpenHandler &onOpen,
                                        NativeTransport::LineHandler &,
                                        CancellationToken token) -> QCoro::Task<> {
            co_await onOpen();
            stop.cancel();
            token.throwIfCancelled();
        });
        runTask(model->watch(stop.token()));
        QCOMPARE(model->live(), QStringLiteral("Live"));
        QCOMPARE(transport->streamPaths().size(), 1);
    }

    void eventsForAnotherTabAreDropped_data() {
        QTest::addColumn<bool>("whileDecoding");
        QTest::newRow("opened before the event") << false;
        QTest::newRow("opened while the event decodes") << true;
    }
    void eventsForAnotherTabAreDropped() {
        QFETCH(bool, whileDecoding);
        transport->setStreamHandler([&](int, NativeTransport::OpenHandler &onOpen,
                                        NativeTransport::LineHandler &onLine,
                                        CancellationToken) -> QCoro::Task<> {
            co_await onOpen();
            // Far ahead but within its stamps, so that it would be merged, not reloaded.
            const QString cells = QString::fromUtf8(
                gridJson(5, nlohmann::json::array({cellJson(0, 0, "stale")}), {{"stamps", 10}}));
            QStringList lines{"event: cells", "data: " + cells};
            co_await feed(onLine, std::move(lines));
            if (whileDecoding) {
                // The empty line hands the event to the decoder; the user opens another tab
                // before the decoded event comes back.
                auto event = onLine(QByteArray());
                co_await model->open(summary(1, 2));
                co_await std::move(event);
            } else {
                co_await model->open(summary(1, 2));
                co_await onLine(QByteArray());
            }
        });
        transport->setHandler([](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            if (request.path.startsWith(QStringLiteral("/sheets/")))
                co_return answer(200, pageJson(1, 2, 10, 5));
            co_return answer(200, gridJson(1));
        });
        runTask(model->watch());
        QVERIFY(model->cells().isEmpty());
        QCOMPARE(model->version(), quint64(1));
    }

    // Qt's HTTP/1 code may send a stream's GET again when a server closes the connection: the
    // same opening and the same events arrive twice, and change nothing the first did not.
    void aDuplicatedStreamChangesNothingTwice() {
        transport->setStreamHandler([](int, NativeTransport::OpenHandler &onOpen,
                                       NativeTransport::LineHandler &onLine,
                                       CancellationToken) -> QCoro::Task<> {
            const QString cells =
                QString::fromUtf8(gridJson(2, nlohmann::json::array({cellJson(3, 1, "theirs")})));
            for (int copy = 0; copy < 2; ++copy) {
                co_await onOpen();
                QStringList lines{"event: cells", "data: " + cells, ""};
                co_await feed(onLine, std::move(lines));
            }
            QStringList bye{"event: bye", "data: idle", ""};
            co_await feed(onLine, std::move(bye));
        });
        runTask(model->watch());
        QCOMPARE(model->cells().value({3, 1}).raw, QStringLiteral("theirs"));
        QCOMPARE(model->version(), quint64(2));
        QCOMPARE(model->live(), QStringLiteral("Paused"));
        QCOMPARE(model->error(), QString());
    }
};

QTEST_GUILESS_MAIN(TestSheetLive)
#include "tst_SheetLive.moc"
