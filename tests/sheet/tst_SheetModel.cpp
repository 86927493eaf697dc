#include "FakeTransport.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "async/CancellationSource.h"
#include "async/Wakeup.h"
#include "sheet/SheetModel.h"

#include <QCoroSignal>
#include <QTest>
#include <QUrlQuery>

using namespace fixtures;

namespace {
// Decodes an application/x-www-form-urlencoded body the way browsers and servers do.
QList<std::pair<QString, QString>> decodeForm(const QByteArray &body) {
    QList<std::pair<QString, QString>> fields;
    for (const QByteArray &pair : body.split('&')) {
        QByteArray name = pair.left(pair.indexOf('=')), value = pair.mid(pair.indexOf('=') + 1);
        name.replace('+', ' ');
        value.replace('+', ' ');
        fields.append({QString::fromUtf8(QByteArray::fromPercentEncoding(name)),
                       QString::fromUtf8(QByteArray::fromPercentEncoding(value))});
    }
    return fields;
}

// A gate a handler can wait on, released by the test.
struct Gate {
    Wakeup wakeup;
    bool open = false;
    QCoro::Task<> pass() {
        if (!open)
            co_await qCoro(&wakeup, &Wakeup::woken);
    }
    void release() {
        open = true;
        wakeup.wake();
    }
};
} // namespace

class TestSheetModel : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeTransport> transport;
    std::shared_ptr<SheetModel> model;

    // Serves a page of the given size and tiles whose cells echo their position.
    void serveSheet(quint64 id, quint64 tab, qint64 rows, qint64 cols, quint64 version) {
        transport->setHandler([=](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            if (request.path == QStringLiteral("/sheets/%1").arg(id))
                co_return FakeTransport::json(200, pageJson(id, tab, rows, cols));
            const QUrlQuery query(QUrl(request.path).query());
            const qint64 r = query.queryItemValue(QStringLiteral("firstRow")).toLongLong();
            const qint64 c = query.queryItemValue(QStringLiteral("firstCol")).toLongLong();
            co_return FakeTransport::json(200, gridJson(version, json::array({cellJson(r, c, "tile")})));
        });
    }

private Q_SLOTS:
    void init() {
        transport = std::make_shared<FakeTransport>();
        model = SheetModel::make(transport);
    }

    void refreshLoadsTilesRowByRow() {
        serveSheet(12, 3, 60, 120, 5);
        runTask(model->open(summary(12, 3)));
        const QString g = QStringLiteral("GET /api/sheets/12/tabs/3/cells?");
        const QStringList expected{
            QStringLiteral("GET /sheets/12"),
            g + "firstRow=0&firstCol=0&rows=25&cols=50",
            g + "firstRow=0&firstCol=50&rows=25&cols=50",
            g + "firstRow=0&firstCol=100&rows=25&cols=20",
            g + "firstRow=25&firstCol=0&rows=25&cols=50",
            g + "firstRow=25&firstCol=50&rows=25&cols=50",
            g + "firstRow=25&firstCol=100&rows=25&cols=20",
            g + "firstRow=50&firstCol=0&rows=10&cols=50",
            g + "firstRow=50&firstCol=50&rows=10&cols=50",
            g + "firstRow=50&firstCol=100&rows=10&cols=20",
        };
        QCOMPARE(transport->paths(), expected);
        QCOMPARE(transport->requests().at(1).maxBytes, qint64(67'108'864));
        QCOMPARE(model->cells().size(), 9);
        QCOMPARE(model->version(), quint64(5));
        QCOMPARE(model->rangeText(), QStringLiteral("A1"));
        QCOMPARE(model->draft(), QStringLiteral("tile")); // the draft follows A1
        QVERIFY(!model->busy());
    }

    void laterTileWinsWhicheverDecodesFirst() {
        serveSheet(1, 1, 30, 10, 1);
        runTask(model->open(summary(1, 1)));
        // The first tile is large and the second tiny, so the second is decoded first; both hold A1.
        transport->setHandler([](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            const bool second = request.path.contains(QStringLiteral("firstRow=25"));
            json cells = json::array();
            for (int r = 1; !second && r <= 20'000; ++r)
                cells.push_back(cellJson(r, 0, "bulk"));
            cells.push_back(cellJson(0, 0, second ? "second" : "first"));
            co_return FakeTransport::json(200, gridJson(3, std::move(cells)));
        });
        runTask(model->refresh());
        QCOMPARE(model->cells().value({0, 0}).raw, QStringLiteral("second"));
        QCOMPARE(model->cells().size(), 20'001);
    }

    void tileNot200KeepsGrid() {
        serveSheet(1, 1, 30, 10, 4);
        runTask(model->open(summary(1, 1)));
        const auto before = model->cells();
        transport->setHandler([](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            co_return FakeTransport::json(request.path.contains(QStringLiteral("firstRow=25")) ? 204 : 200,
                                          gridJson(9, json::array({cellJson(0, 0, "new")})));
        });
        runTask(model->refresh());
        QCOMPARE(model->error(), QStringLiteral("The sheet could not be refreshed."));
        QCOMPARE(model->cells(), before);
        QCOMPARE(model->version(), quint64(4));
    }

    void snapshotTakesOldestTileAndYieldsToNewerState() {
        serveSheet(1, 1, 50, 10, 1);
        runTask(model->open(summary(1, 1)));
        // Tiles at versions 7 and 6 give a snapshot of version 6.
        transport->setHandler([](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            const bool second = request.path.contains(QStringLiteral("firstRow=25"));
            co_return FakeTransport::json(200,
                                          gridJson(second ? 6 : 7, json::array({cellJson(0, 0, "snap")})));
        });
        runTask(model->refresh());
        QCOMPARE(model->version(), quint64(6));
        QCOMPARE(model->cells().value({0, 0}).raw, QStringLiteral("snap"));

        // A write merged while the reload is in flight raises the version to 8: the snapshot is dropped.
        transport->setHandler([this](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            if (request.path.contains(QStringLiteral("firstRow=25"))) {
                // Built outside the co_await: GCC 12 miscompiles string literals inside one.
                GridResponse live =
                    grid(8, json::array({cellJson(1, 1, "live")}), json::object({{"stamps", 2}}));
                co_await model->accept(std::move(live));
            }
            co_return FakeTransport::json(200, gridJson(7, json::array({cellJson(0, 0, "stale")})));
        });
        runTask(model->refresh());
        QCOMPARE(model->version(), quint64(8));
        QCOMPARE(model->cells().value({0, 0}).raw, QStringLiteral("snap"));
        QCOMPARE(model->cells().value({1, 1}).raw, QStringLiteral("live"));
    }

    void acceptFollowsVersions_data() {
        QTest::addColumn<quint64>("version");
        QTest::addColumn<int>("stamps");
        QTest::addColumn<bool>("resync");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("next version merges") << quint64(10) << 0 << false << "merged";
        QTest::newRow("stamps cover the gap") << quint64(12) << 3 << false << "merged";
        QTest::newRow("a gap without stamps reloads") << quint64(12) << 0 << false << "reloaded";
        QTest::newRow("stamps of 1 do not widen") << quint64(11) << 1 << false << "reloaded";
        QTest::newRow("the same version re-applies") << quint64(9) << 0 << false << "merged";
        QTest::newRow("older is ignored") << quint64(8) << 0 << false << "ignored";
        QTest::newRow("resync at the same version reloads") << quint64(9) << 0 << true << "reloaded";
        QTest::newRow("resync far ahead reloads") << quint64(1000) << 0 << true << "reloaded";
        QTest::newRow("resync that is older is ignored") << quint64(8) << 0 << true << "ignored";
    }
    void acceptFollowsVersions() {
        QFETCH(quint64, version);
        QFETCH(int, stamps);
        QFETCH(bool, resync);
        QFETCH(QString, outcome);
        serveSheet(1, 1, 10, 10, 9);
        runTask(model->open(summary(1, 1)));
        transport->clearRequests();
        json extra = json::object();
        if (stamps)
            extra["stamps"] = stamps;
        if (resync)
            extra["resync"] = true;
        runTask(model->accept(grid(version, json::array({cellJson(5, 2, "pushed")}), extra)));
        const bool merged = model->cells().value({5, 2}).raw == QStringLiteral("pushed");
        const bool reloaded = !transport->requests().isEmpty();
        QCOMPARE(merged, outcome == QStringLiteral("merged"));
        QCOMPARE(reloaded, outcome == QStringLiteral("reloaded"));
        QCOMPARE(model->version(), outcome == QStringLiteral("merged") ? version : quint64(9));
    }

    void acceptNearTheTopOfTheVersionRange() {
        serveSheet(1, 1, 10, 10, std::numeric_limits<quint64>::max() - 1);
        runTask(model->open(summary(1, 1)));
        transport->clearRequests();
        // Adding the stamps must not wrap around to a small number and refuse everything after.
        runTask(model->accept(grid(std::numeric_limits<quint64>::max(), json::array({cellJson(0, 0, "top")}),
                                   {{"stamps", 5}})));
        QCOMPARE(model->version(), std::numeric_limits<quint64>::max());
        QCOMPARE(model->cells().value({0, 0}).raw, QStringLiteral("top"));
        QVERIFY(transport->requests().isEmpty());
    }

    void acceptKeepsAnUnsavedDraft() {
        serveSheet(1, 1, 10, 10, 1);
        runTask(model->open(summary(1, 1)));
        runTask(model->accept(grid(2, json::array({cellJson(0, 0, "theirs")}))));
        QCOMPARE(model->draft(), QStringLiteral("theirs"));
        model->setDraft(QStringLiteral("mine"));
        QVERIFY(model->hasUnconfirmedChanges());
        runTask(model->accept(grid(3, json::array({cellJson(0, 0, "theirs again")}))));
        QCOMPARE(model->draft(), QStringLiteral("mine"));
        QCOMPARE(model->originalDraft(), QStringLiteral("theirs"));
    }

    void emptyPageKeepsVersion() {
        serveSheet(1, 1, 10, 10, 41);
        runTask(model->open(summary(1, 1)));
        serveSheet(2, 2, 0, 26, 99);
        runTask(model->open(summary(2, 2)));
        QCOMPARE(transport->paths().last(), QStringLiteral("GET /sheets/2"));
        QVERIFY(model->cells().isEmpty());
        QCOMPARE(model->version(), quint64(0));
        // The next change is still accepted.
        runTask(model->accept(grid(1, json::array({cellJson(0, 0, "first")}))));
        QCOMPARE(model->version(), quint64(1));
    }

    void negativePageSizeRequestsNothing() {
        serveSheet(3, 3, -3, 26, 5);
        runTask(model->open(summary(3, 3)));
        QCOMPARE(transport->paths(), QStringList{QStringLiteral("GET /sheets/3")});
        QVERIFY(model->cells().isEmpty());
        QCOMPARE(model->error(), QString());
    }

    // An answer to a superseded load changes nothing, whether it brings a list or a failure.
    void staleListAnswerIsDropped_data() {
        QTest::addColumn<int>("staleStatus");
        QTest::newRow("stale list") << 200;
        QTest::newRow("stale failure") << 500;
    }
    void staleListAnswerIsDropped() {
        QFETCH(int, staleStatus);
        Gate firstAnswer;
        int calls = 0;
        transport->setHandler([&](const FakeTransport::Request &) -> QCoro::Task<NativeResponse> {
            const int call = ++calls;
            if (call == 1) {
                co_await firstAnswer.pass();
                co_return FakeTransport::json(
                    staleStatus, R"({"Sheets":[{"ID":1,"Title":"old","TabID":1,"TabName":"T"}]})");
            }
            co_return FakeTransport::json(200,
                                          R"({"Sheets":[{"ID":2,"Title":"new","TabID":1,"TabName":"T"}]})");
        });
        auto first = model->loadList();
        runTask(model->loadList());
        firstAnswer.release();
        runTask(std::move(first));
        QCOMPARE(model->sheets().size(), 1);
        QCOMPARE(model->sheets().first().Title, QStringLiteral("new"));
        QCOMPARE(model->listState(), SheetModel::ListState::loaded);
        QCOMPARE(model->error(), QString());
    }

    void listFailureShowsMessage() {
        transport->setHandler([](const FakeTransport::Request &) -> QCoro::Task<NativeResponse> {
            co_return FakeTransport::json(200, R"({"Sheets":[{"ID":"x"}]})");
        });
        runTask(model->loadList());
        QCOMPARE(model->listState(), SheetModel::ListState::failed);
        QCOMPARE(model->error(), QStringLiteral("The server returned an unsupported response."));
    }

    void tileForATabNoLongerOpenIsDropped_data() {
        QTest::addColumn<int>("oldTabStatus");
        QTest::newRow("answered") << 200;
        QTest::newRow("failed") << 500; // its failure is not the new sheet's either
    }
    void tileForATabNoLongerOpenIsDropped() {
        QFETCH(int, oldTabStatus);
        serveSheet(1, 1, 10, 10, 3);
        runTask(model->open(summary(1, 1)));
        Gate tile;
        transport->setHandler([&](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            if (request.path == QStringLiteral("/sheets/2"))
                co_return FakeTransport::json(200, pageJson(2, 7, 10, 10));
            if (request.path.startsWith(QStringLiteral("/api/sheets/1/"))) {
                co_await tile.pass();
                co_return FakeTransport::json(oldTabStatus,
                                              gridJson(50, json::array({cellJson(0, 0, "old tab")})));
            }
            co_return FakeTransport::json(200, gridJson(2, json::array({cellJson(0, 0, "new tab")})));
        });
        auto staleReload = model->refresh();
        runTask(model->open(summary(2, 7)));
        tile.release();
        runTask(std::move(staleReload));
        QCOMPARE(model->cells().value({0, 0}).raw, QStringLiteral("new tab"));
        QCOMPARE(model->version(), quint64(2));
        QCOMPARE(model->error(), QString());
    }

    // A cancelled load leaves the list as it was, or failed when it never loaded; never loading.
    void cancelledListLoadDoesNotStayLoading_data() {
        QTest::addColumn<bool>("loadedBefore");
        QTest::addColumn<SheetModel::ListState>("after");
        QTest::newRow("first load") << false << SheetModel::ListState::failed;
        QTest::newRow("reload") << true << SheetModel::ListState::loaded;
    }
    void cancelledListLoadDoesNotStayLoading() {
        QFETCH(bool, loadedBefore);
        QFETCH(SheetModel::ListState, after);
        CancellationSource stop;
        Gate answer;
        bool holdAnswer = false;
        transport->setHandler([&](const FakeTransport::Request &) -> QCoro::Task<NativeResponse> {
            if (holdAnswer)
                co_await answer.pass();
            co_return FakeTransport::json(200,
                                          R"({"Sheets":[{"ID":1,"Title":"a","TabID":1,"TabName":"T"}]})");
        });
        if (loadedBefore)
            runTask(model->loadList());
        holdAnswer = true;
        auto loading = model->loadList(stop.token());
        QCOMPARE(model->listState(), SheetModel::ListState::loading);
        stop.cancel();
        answer.release();
        runTask(std::move(loading));
        QCOMPARE(model->listState(), after);
        QCOMPARE(model->sheets().size(), loadedBefore ? 1 : 0);
    }

    void guardsRefuseWhileBusyOrEditing() {
        Gate page;
        transport->setHandler([&](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            if (request.path == QStringLiteral("/sheets/1"))
                co_await page.pass();
            co_return FakeTransport::json(
                200, request.path.startsWith(QStringLiteral("/api")) ? gridJson(1) : pageJson(1, 1, 10, 10));
        });
        auto opening = model->open(summary(1, 1));
        QVERIFY(model->busy());
        runTask(model->open(summary(2, 2)));
        QCOMPARE(model->error(), QStringLiteral("Save or discard your cell edit before changing sheets."));
        QVERIFY(!runTask(model->command(QStringLiteral("/undo"), {})));
        QCOMPARE(model->error(), QStringLiteral("Save or discard the current edit first."));
        QCOMPARE(transport->requests().size(), 1);
        page.release();
        runTask(std::move(opening));
        QVERIFY(!model->busy());

        model->setDraft(QStringLiteral("typing"));
        QCOMPARE(runTask(model->create(false)), std::nullopt);
        QCOMPARE(model->error(), QStringLiteral("Save or discard the current edit first."));
    }

    void commandRefusals_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("notice body") << 403
                                     << QByteArray(
                                            R"({"notice":"denied","message":"Only owners can rename."})")
                                     << "Only owners can rename.";
        QTest::newRow("plain body") << 403 << QByteArray("forbidden")
                                    << "The request was not confirmed. Check your access and try again.";
        QTest::newRow("empty 500") << 500 << QByteArray()
                                   << "The request was not confirmed. Check your access and try again.";
        QTest::newRow("2xx that does not decode")
            << 200 << QByteArray("{}") << "The server returned an unsupported response.";
    }
    void commandRefusals() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        serveSheet(4, 1, 10, 10, 1);
        runTask(model->open(summary(4, 1)));
        transport->setHandler([=](const FakeTransport::Request &) -> QCoro::Task<NativeResponse> {
            co_return FakeTransport::json(status, body);
        });
        QVERIFY(!runTask(
            model->command(QStringLiteral("/rename"), {{QStringLiteral("title"), QStringLiteral("x")}})));
        QCOMPARE(model->error(), error);
        QVERIFY(!model->busy());
        QCOMPARE(transport->requests().last().path, QStringLiteral("/sheets/4/rename"));
    }

    void commandSuccessReloads() {
        serveSheet(4, 1, 10, 10, 1);
        runTask(model->open(summary(4, 1)));
        transport->clearRequests();
        transport->setHandler([](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            if (request.method == QStringLiteral("POST"))
                co_return FakeTransport::json(200, R"({"notice":"renamed","message":"Renamed"})");
            co_return FakeTransport::json(200, gridJson(2));
        });
        QVERIFY(runTask(
            model->command(QStringLiteral("/rename"), {{QStringLiteral("title"), QStringLiteral("x")}})));
        QCOMPARE(model->lastNotice(), QStringLiteral("renamed"));
        QCOMPARE(model->notice(), QStringLiteral("Renamed"));
        QCOMPARE(transport->requests().first().contentType,
                 QStringLiteral("application/x-www-form-urlencoded"));
        QCOMPARE(transport->requests().size(), 2); // the POST, then one tile
        QCOMPARE(model->version(), quint64(2));
    }

    void formBodyRoundTrips() {
        const FormFields fields{{QStringLiteral("b"), QStringLiteral("1 + 1 = 2 & #3 % 100")},
                                {QStringLiteral("a"), QStringLiteral("naïve ☃ 😀")},
                                {QStringLiteral("a&b=c"), QString()}};
        const QByteArray body = SheetModel::formBody(fields);
        QVERIFY(!body.contains('+'));
        QVERIFY(body.contains("%2B"));
        QVERIFY(body.contains("%20"));
        const auto decoded = decodeForm(body);
        QCOMPARE(decoded.size(), 3);
        QCOMPARE(decoded.at(0), std::pair(QStringLiteral("a"), QStringLiteral("naïve ☃ 😀")));
        QCOMPARE(decoded.at(1), std::pair(QStringLiteral("a&b=c"), QString()));
        QCOMPARE(decoded.at(2), std::pair(QStringLiteral("b"), QStringLiteral("1 + 1 = 2 & #3 % 100")));
        QCOMPARE(SheetModel::formBody({}), QByteArray());
    }

    void createOpensTheNewSheet() {
        transport->setHandler([](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            if (request.method == QStringLiteral("POST"))
                co_return FakeTransport::json(201,
                                              R"({"ID":9,"Title":"Untitled","TabID":4,"TabName":"Sheet1"})");
            if (request.path == QStringLiteral("/sheets"))
                co_return FakeTransport::json(
                    200, R"({"Sheets":[{"ID":9,"Title":"Untitled","TabID":4,"TabName":"Sheet1"}]})");
            if (request.path == QStringLiteral("/sheets/9"))
                co_return FakeTransport::json(200, pageJson(9, 4, 10, 10));
            co_return FakeTransport::json(200, gridJson(1));
        });
        const auto created = runTask(model->create(true));
        QCOMPARE(created->ID, quint64(9));
        QCOMPARE(transport->requests().first().body, std::optional<QByteArray>(QByteArray()));
        QCOMPARE(model->sheets().size(), 1);
        QCOMPARE(model->page()->Sheet.ID, quint64(9));
        QCOMPARE(model->grid(), QStringLiteral("/api/sheets/9/tabs/4"));
    }

    void modelOutlivesItsOwnerWhileALoadIsInFlight() {
        Gate answer;
        transport->setHandler([&](const FakeTransport::Request &) -> QCoro::Task<NativeResponse> {
            co_await answer.pass();
            co_return FakeTransport::json(200, R"({"Sheets":[]})");
        });
        std::weak_ptr<SheetModel> weak = model;
        auto loading = model->loadList();
        model.reset();
        QVERIFY(!weak.expired());
        answer.release();
        runTask(std::move(loading));
        QVERIFY(weak.expired());
    }
};

QTEST_GUILESS_MAIN(TestSheetModel)
#include "tst_SheetModel.moc"
