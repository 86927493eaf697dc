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
using EndingCase = std::tuple<QString, bool, QString, QString>;

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
                                 [](const auto &r) { return r.path.contains("/cells?"); }));
    }

    static QCoro::Task<> feed(NativeTransport::LineHandler &onLine, QStringList lines) {
        for (const QString &line : lines)
            co_await onLine(line.toUtf8());
    }
    // A "cells" event's data line: one cell at `version`.
    static QString cellsData(quint64 version, qint64 r, qint64 c, const char *raw,
                             json extra = json::object()) {
        return "data: " + QString::fromUtf8(gridJson(version, json::array({cellJson(r, c, raw)}), extra));
    }
    // Plays attempt n from `attempts[n - 1]`: "<open>" opens the stream, "<fail>" fails it with a 502,
    // other lines are fed; the attempt ends after its last line.
    void play(QList<QStringList> attempts) {
        transport->setStreamHandler([attempts](int attempt, NativeTransport::OpenHandler &onOpen,
                                               NativeTransport::LineHandler &onLine,
                                               CancellationToken) -> QCoro::Task<> {
            for (const QString &line : attempts.value(attempt - 1)) {
                if (line == u"<open>")
                    co_await onOpen();
                else if (line == u"<fail>")
                    throw NativeClientError::server(502);
                else
                    co_await onLine(line.toUtf8());
            }
        });
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

    // A named event of two data lines, data without a name, two empty lines, comments and other
    // fields ignored, an empty data line that still adds a line break, no empty line and no event.
    void parser() {
        for (const auto &[lines, events] :
             {std::pair(Lines{"event: cells", "data: {", "data:   }\t", ""}, Events{{"cells", "{\n}"}}),
              {{"data:x", ""}, {{"", "x"}}},
              {{"event:bye", "data: idle", "", ""}, {{"bye", "idle"}, {"", ""}}},
              {{": keep-alive", "id: 7", "retry: 10", "event:resync", ""}, {{"resync", ""}}},
              {{"data: a", "data:", "data: b", ""}, {{"", "a\n\nb"}}},
              {{"event: cells", "data: {}"}, {}}}) {
            SheetEventParser parser;
            Events received;
            for (const QString &line : lines)
                if (auto event = parser.receive(line.toUtf8()))
                    received.append(*event);
            QCOMPARE(received, events);
        }
    }

    void otherEndsReconnectAfterAPause() {
        play({{"<open>", "event: bye", "data: signed-out", "", "event: hello", ""},
              {"<open>", "event: bye", "data: idle", ""}});
        auto watching = model->watch();
        runOutSleeps();
        runTask(std::move(watching));
        QCOMPARE(transport->streamPaths().size(), 2);
        QCOMPARE(model->live(), "Paused");
    }

    void failuresShowOfflineOrReconnecting_data() {
        QTest::addColumn<EndingCase>("row");
        const auto row = [](const char *name, const char *ending, bool path, const char *live,
                            const char *origin = "https://sheets.example") {
            QTest::newRow(name) << EndingCase{QString(ending), path, QString(origin), QString(live)};
        };
        row("timed out", "timeout", true, "Offline");
        row("server error", "502", true, "Reconnecting");
        row("server error without a path", "502", false, "Offline");
        row("ended normally without a path", "ended", false, "Offline");
        // This machine needs no network path: no "Offline", and the pause ends on time.
        row("loopback without a path", "502", false, "Reconnecting", "http://127.0.0.1:8080");
    }
    void failuresShowOfflineOrReconnecting() {
        QFETCH(EndingCase, row);
        const auto &[ending, pathSatisfied, origin, live] = row;
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
            if (ending == "ended") {
                co_await onOpen(); // "Live" first, so that only the end can make it "Offline"
                co_return;
            }
            if (ending == "timeout")
                throw NativeClientError::offline(UrlErrorCode::timedOut);
            throw NativeClientError::server(502);
        });
        auto watching = model->watch(stop.token());
        QTRY_COMPARE_WITH_TIMEOUT(model->live(), live, 5000);
        // The next attempt waits for the pause.
        QCOMPARE(transport->streamPaths().size(), 1);
        if (!pathSatisfied && !NativeConnectivity::isLoopback(QUrl(origin)))
            reportPath(NativePath::Status::satisfied); // the path coming back ends the wait for it
        if (ending == "ended") {
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
        play({{"<open>", "event: cells", cellsData(2, 1, 2, "half"), "<fail>"},
              {"<open>", "", "event: bye", "data: idle", ""}});
        auto watching = model->watch();
        runOutSleeps();
        runTask(std::move(watching));
        QCOMPARE(model->live(), "Paused");
        QVERIFY(!model->cells().contains({1, 2}));
        QCOMPARE(model->version(), quint64(1));
    }

    void unreadableCellsEventReloads() {
        const int readsBefore = tileReads();
        play({{"<open>", "event: cells", R"(data: {"cells":[]})", "", "event: resync", "", "event: bye",
               "data: idle", ""}});
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
        QCOMPARE(model->live(), "Live");
        QCOMPARE(transport->streamPaths().size(), 1);
    }

    // The other tab opened before the event, or while it decodes.
    void eventsForAnotherTabAreDropped() {
        for (const bool whileDecoding : {false, true}) {
            init();
            transport->setStreamHandler([&](int, NativeTransport::OpenHandler &onOpen,
                                            NativeTransport::LineHandler &onLine,
                                            CancellationToken) -> QCoro::Task<> {
                co_await onOpen();
                // Far ahead but within its stamps, so that it would be merged, not reloaded.
                QStringList lines{"event: cells", cellsData(5, 0, 0, "stale", {{"stamps", 10}})};
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
            transport->setReplies([](const FakeTransport::Request &request) {
                return answer(200, request.path.startsWith("/sheets/") ? pageJson(1, 2, 10, 5) : gridJson(1));
            });
            runTask(model->watch());
            QVERIFY(model->cells().isEmpty());
            QCOMPARE(model->version(), quint64(1));
        }
    }
};

QTEST_GUILESS_MAIN(TestSheetLive)
#include "tst_SheetLive.moc"
