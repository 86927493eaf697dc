#include "PanelServer.h"

#include "async/CancellationSource.h"

#include <QTest>

using namespace fixtures;
using Request = FakeTransport::Request;
using Gate = PanelServer::Gate;
using VersionCase = std::tuple<quint64, int, bool, QString, quint64>;
using CommandCase = std::tuple<int, QByteArray, QString>;

namespace {
// A sheet list holding one sheet.
QByteArray listJson(int id, const char *title) {
    return body({{"Sheets", {{{"ID", id}, {"Title", title}, {"TabID", 1}, {"TabName", "T"}}}}});
}
} // namespace

class TestSheetModel : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeTransport> transport;
    std::shared_ptr<SheetModel> model;

    // Opens a sheet of the given size whose tiles hold one cell at their corner.
    void openSheet(quint64 id, quint64 tab, qint64 rows, qint64 cols, quint64 version) {
        transport->setReplies([=](const Request &request) {
            if (request.path == QStringLiteral("/sheets/%1").arg(id))
                return answer(200, pageJson(id, tab, rows, cols));
            const QUrlQuery query(QUrl(request.path).query());
            const qint64 r = query.queryItemValue("firstRow").toLongLong();
            const qint64 c = query.queryItemValue("firstCol").toLongLong();
            return answer(200, gridJson(version, json::array({cellJson(r, c, "tile")})));
        });
        runTask(model->open(summary(id, tab)));
    }

private Q_SLOTS:
    void init() {
        transport = std::make_shared<FakeTransport>();
        model = SheetModel::make(transport);
    }

    void refreshLoadsTilesRowByRow() {
        openSheet(12, 3, 60, 120, 5);
        QStringList expected{"GET /sheets/12"};
        for (const auto &[row, rows] : {std::pair(0, 25), {25, 25}, {50, 10}})
            for (const auto &[col, cols] : {std::pair(0, 50), {50, 50}, {100, 20}})
                expected.append(QString::asprintf(
                    "GET /api/sheets/12/tabs/3/cells?firstRow=%d&firstCol=%d&rows=%d&cols=%d", row, col, rows,
                    cols));
        QCOMPARE(transport->paths(), expected);
        QCOMPARE(transport->requests().at(1).maxBytes, qint64(67'108'864));
        QCOMPARE(model->cells().size(), 9);
        QCOMPARE(model->version(), quint64(5));
        QCOMPARE(model->rangeText(), "A1");
        QCOMPARE(model->draft(), "tile"); // the draft follows A1
        QVERIFY(!model->busy());
    }

    void laterTileWinsWhicheverDecodesFirst() {
        openSheet(1, 1, 30, 10, 1);
        // The first tile is large and the second tiny, so the second is decoded first; both hold A1.
        transport->setReplies([](const Request &request) {
            const bool second = request.path.contains("firstRow=25");
            json cells = json::array();
            for (int r = 1; !second && r <= 20'000; ++r)
                cells.push_back(cellJson(r, 0, "bulk"));
            cells.push_back(cellJson(0, 0, second ? "second" : "first"));
            return answer(200, gridJson(3, std::move(cells)));
        });
        runTask(model->refresh());
        QCOMPARE(model->cells().value({0, 0}).raw, "second");
        QCOMPARE(model->cells().size(), 20'001);
    }

    void tileNot200KeepsGrid() {
        openSheet(1, 1, 30, 10, 4);
        const auto before = model->cells();
        transport->setReplies([](const Request &request) {
            const int status = request.path.contains("firstRow=25") ? 204 : 200;
            return answer(status, gridJson(9, json::array({cellJson(0, 0, "new")})));
        });
        runTask(model->refresh());
        QCOMPARE(model->error(), "The sheet could not be refreshed.");
        QCOMPARE(model->cells(), before);
        QCOMPARE(model->version(), quint64(4));
    }

    void snapshotTakesOldestTileAndYieldsToNewerState() {
        openSheet(1, 1, 50, 10, 1);
        // Tiles at versions 7 and 6 give a snapshot of version 6.
        transport->setReplies([](const Request &request) {
            return answer(200, gridJson(request.path.contains("firstRow=25") ? 6 : 7,
                                        json::array({cellJson(0, 0, "snap")})));
        });
        runTask(model->refresh());
        QCOMPARE(model->version(), quint64(6));
        QCOMPARE(model->cells().value({0, 0}).raw, "snap");
        // A write merged while the reload is in flight raises the version to 8: the snapshot is dropped.
        transport->setHandler([this](const Request &request) -> QCoro::Task<NativeResponse> {
            if (request.path.contains("firstRow=25")) {
                // Built outside the co_await: GCC 12 miscompiles string literals inside one.
                GridResponse live =
                    grid(8, json::array({cellJson(1, 1, "live")}), json::object({{"stamps", 2}}));
                co_await model->accept(std::move(live));
            }
            co_return answer(200, gridJson(7, json::array({cellJson(0, 0, "stale")})));
        });
        runTask(model->refresh());
        QCOMPARE(model->version(), quint64(8));
        QCOMPARE(model->cells().value({0, 0}).raw, "snap");
        QCOMPARE(model->cells().value({1, 1}).raw, "live");
    }

    void acceptFollowsVersions_data() {
        QTest::addColumn<VersionCase>("row");
        const auto row = [](const char *name, quint64 version, int stamps, bool resync, const char *outcome,
                            quint64 base = 9) {
            QTest::newRow(name) << VersionCase{version, stamps, resync, QString(outcome), base};
        };
        row("next version merges", 10, 0, false, "merged");
        row("stamps cover the gap", 12, 3, false, "merged");
        row("a gap without stamps reloads", 12, 0, false, "reloaded");
        row("stamps of 1 do not widen", 11, 1, false, "reloaded");
        row("the same version re-applies", 9, 0, false, "merged");
        row("older is ignored", 8, 0, false, "ignored");
        row("resync at the same version reloads", 9, 0, true, "reloaded");
        // Adding the stamps must not wrap around to a small number and refuse everything after.
        constexpr quint64 top = std::numeric_limits<quint64>::max();
        row("stamps at the top of the range", top, 5, false, "merged", top - 1);
    }
    void acceptFollowsVersions() {
        QFETCH(VersionCase, row);
        const auto &[version, stamps, resync, outcome, base] = row;
        openSheet(1, 1, 10, 10, base);
        transport->clearRequests();
        json extra = json::object();
        if (stamps)
            extra["stamps"] = stamps;
        if (resync)
            extra["resync"] = true;
        runTask(model->accept(grid(version, json::array({cellJson(5, 2, "pushed")}), extra)));
        QCOMPARE(model->cells().value({5, 2}).raw == "pushed", outcome == "merged");
        QCOMPARE(!transport->requests().isEmpty(), outcome == "reloaded");
        QCOMPARE(model->version(), outcome == "merged" ? version : base);
    }

    void acceptKeepsAnUnsavedDraft() {
        openSheet(1, 1, 10, 10, 1);
        runTask(model->accept(grid(2, json::array({cellJson(0, 0, "theirs")}))));
        QCOMPARE(model->draft(), "theirs");
        model->setDraft("mine");
        runTask(model->accept(grid(3, json::array({cellJson(0, 0, "theirs again")}))));
        QCOMPARE(model->draft(), "mine");
        QCOMPARE(model->originalDraft(), "theirs");
    }

    // A page without rows asks for no tiles, and the previous sheet's version does not carry over.
    void pageWithoutRows() {
        for (const qint64 rows : {0, -3}) {
            init();
            openSheet(1, 1, 10, 10, 41);
            transport->clearRequests();
            openSheet(2, 2, rows, 26, 99);
            QCOMPARE(transport->paths(), QStringList{"GET /sheets/2"});
            QVERIFY(model->cells().isEmpty());
            QCOMPARE(model->version(), quint64(0));
            QCOMPARE(model->error(), QString());
            // The next change is still accepted.
            runTask(model->accept(grid(1, json::array({cellJson(0, 0, "first")}))));
            QCOMPARE(model->version(), quint64(1));
        }
    }

    // An answer to a superseded load changes nothing, whether it brings a list or a failure.
    void staleListAnswerIsDropped() {
        for (const int staleStatus : {200, 500}) {
            init();
            Gate firstAnswer;
            int calls = 0;
            transport->setHandler([&](const Request &) -> QCoro::Task<NativeResponse> {
                if (++calls == 1) {
                    co_await firstAnswer.pass();
                    co_return answer(staleStatus, listJson(1, "old"));
                }
                co_return answer(200, listJson(2, "new"));
            });
            auto first = model->loadList();
            runTask(model->loadList());
            firstAnswer.release();
            runTask(std::move(first));
            QCOMPARE(model->sheets().size(), 1);
            QCOMPARE(model->sheets().first().Title, "new");
            QCOMPARE(model->listState(), SheetModel::ListState::loaded);
            QCOMPARE(model->error(), QString());
        }
    }

    void listFailureShowsMessage() {
        transport->setReplies([](const Request &) { return answer(200, R"({"Sheets":[{"ID":"x"}]})"); });
        runTask(model->loadList());
        QCOMPARE(model->listState(), SheetModel::ListState::failed);
        QCOMPARE(model->error(), "The server returned an unsupported response.");
    }

    // Whether answered or failed: its failure is not the new sheet's either.
    void tileForATabNoLongerOpenIsDropped() {
        for (const int oldTabStatus : {200, 500}) {
            init();
            openSheet(1, 1, 10, 10, 3);
            Gate tile;
            transport->setHandler([&](const Request &request) -> QCoro::Task<NativeResponse> {
                if (request.path == "/sheets/2")
                    co_return answer(200, pageJson(2, 7, 10, 10));
                if (request.path.startsWith("/api/sheets/1/")) {
                    co_await tile.pass();
                    co_return answer(oldTabStatus, gridJson(50, json::array({cellJson(0, 0, "old tab")})));
                }
                co_return answer(200, gridJson(2, json::array({cellJson(0, 0, "new tab")})));
            });
            auto staleReload = model->refresh();
            runTask(model->open(summary(2, 7)));
            tile.release();
            runTask(std::move(staleReload));
            QCOMPARE(model->cells().value({0, 0}).raw, "new tab");
            QCOMPARE(model->version(), quint64(2));
            QCOMPARE(model->error(), QString());
        }
    }

    // A cancelled load leaves the list as it was, or failed when it never loaded; never loading.
    void cancelledListLoadDoesNotStayLoading() {
        for (const bool loadedBefore : {false, true}) {
            init();
            CancellationSource stop;
            Gate answer;
            bool holdAnswer = false;
            transport->setHandler([&](const Request &) -> QCoro::Task<NativeResponse> {
                if (holdAnswer)
                    co_await answer.pass();
                co_return fixtures::answer(200, listJson(1, "a"));
            });
            if (loadedBefore)
                runTask(model->loadList());
            holdAnswer = true;
            auto loading = model->loadList(stop.token());
            QCOMPARE(model->listState(), SheetModel::ListState::loading);
            stop.cancel();
            answer.release();
            runTask(std::move(loading));
            QCOMPARE(model->listState(),
                     loadedBefore ? SheetModel::ListState::loaded : SheetModel::ListState::failed);
            QCOMPARE(model->sheets().size(), loadedBefore ? 1 : 0);
        }
    }

    void guardsRefuseWhileBusyOrEditing() {
        Gate page;
        transport->setHandler([&](const Request &request) -> QCoro::Task<NativeResponse> {
            if (request.path == "/sheets/1")
                co_await page.pass();
            co_return answer(200, request.path.startsWith("/api") ? gridJson(1) : pageJson(1, 1, 10, 10));
        });
        auto opening = model->open(summary(1, 1));
        QVERIFY(model->busy());
        runTask(model->open(summary(2, 2)));
        QCOMPARE(model->error(), "Save or discard your cell edit before changing sheets.");
        QVERIFY(!runTask(model->command("/undo", {})));
        QCOMPARE(model->error(), "Save or discard the current edit first.");
        QCOMPARE(transport->requests().size(), 1);
        page.release();
        runTask(std::move(opening));
        QVERIFY(!model->busy());
        model->setDraft("typing");
        QCOMPARE(runTask(model->create(false)), std::nullopt);
        QCOMPARE(model->error(), "Save or discard the current edit first.");
    }

    // A confirmed command shows its notice and reloads the grid; a refused one shows why and does not.
    void commandAnswers_data() {
        QTest::addColumn<CommandCase>("row"); // status, body, error shown
        const QString unconfirmed = "The request was not confirmed. Check your access and try again.";
        QTest::newRow("confirmed") << CommandCase{200, R"({"notice":"renamed","message":"Renamed"})", ""};
        QTest::newRow("notice body") << CommandCase{
            403, R"({"notice":"denied","message":"Only owners can rename."})", "Only owners can rename."};
        QTest::newRow("plain body") << CommandCase{403, "forbidden", unconfirmed};
        QTest::newRow("2xx that does not decode")
            << CommandCase{200, "{}", "The server returned an unsupported response."};
    }
    void commandAnswers() {
        QFETCH(CommandCase, row);
        const auto &[status, body, error] = row;
        openSheet(4, 1, 10, 10, 1);
        transport->clearRequests();
        transport->setReplies([=](const Request &request) {
            return request.method == "POST" ? answer(status, body) : answer(200, gridJson(2));
        });
        QCOMPARE(runTask(model->command("/rename", {{"title", "x"}})), error.isEmpty());
        QCOMPARE(model->error(), error);
        QCOMPARE(model->lastNotice(), error.isEmpty() ? "renamed" : "");
        QCOMPARE(model->notice(), error.isEmpty() ? "Renamed" : "");
        QVERIFY(!model->busy());
        QCOMPARE(transport->paths().first(), "POST /sheets/4/rename");
        QCOMPARE(transport->requests().first().contentType, "application/x-www-form-urlencoded");
        QCOMPARE(transport->requests().size(), error.isEmpty() ? 2 : 1); // the POST, then one tile
        QCOMPARE(model->version(), error.isEmpty() ? 2 : 1);
    }

    void formBodyRoundTrips() {
        const FormFields fields{{"b", "1 + 1 = 2 & #3 % 100"}, {"a", "naïve ☃ 😀"}, {"a&b=c", QString()}};
        const QByteArray body = SheetModel::formBody(fields);
        // '+' would read back as a space, so the encoder must use %2B and %20 instead.
        QVERIFY(!body.contains('+'));
        const auto decoded = QUrlQuery(QString::fromLatin1(body)).queryItems(QUrl::FullyDecoded);
        using Item = std::pair<QString, QString>;
        QCOMPARE(decoded, (QList<Item>{{"a", "naïve ☃ 😀"}, {"a&b=c", ""}, {"b", "1 + 1 = 2 & #3 % 100"}}));
        QCOMPARE(SheetModel::formBody({}), QByteArray());
    }

    void modelOutlivesItsOwnerWhileALoadIsInFlight() {
        Gate answer;
        transport->setHandler([&](const Request &) -> QCoro::Task<NativeResponse> {
            co_await answer.pass();
            co_return fixtures::answer(200, R"({"Sheets":[]})");
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
