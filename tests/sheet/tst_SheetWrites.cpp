#include "FakeClipboard.h"
#include "FakeSheetServer.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "sheet/SheetModel.h"

#include <QTest>

using namespace fixtures;
using MoveCase = std::tuple<Coordinate, bool, bool, Coordinate>; // from, moveRight, backwards, to
// Fail the first save, typed after that failure, typed while the save travels, the draft kept.
using TypedCase = std::tuple<bool, QString, QString, QString>;

// Cell writes, formats and sizes against the in-memory sheet server.
class TestSheetWrites : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeTransport> transport;
    std::shared_ptr<SheetModel> model;
    std::unique_ptr<FakeSheetServer> server;
    // Ten points per character, so widths are easy to reason about.
    static double measure(const QString &text, bool, bool) { return 10.0 * double(text.size()); }

    void openSheet(qint64 rows = 100, qint64 cols = 26, bool mayWrite = true) {
        server = std::make_unique<FakeSheetServer>(transport, rows, cols, mayWrite);
        runTask(model->open(summary(1, 1)));
    }

    static QList<CellWrite> manyWrites(int count) {
        QList<CellWrite> writes;
        for (int i = 0; i < count; ++i)
            writes.append({i / 26, i % 26, QString::number(i), std::nullopt, std::nullopt});
        return writes;
    }

private Q_SLOTS:
    void init() {
        transport = std::make_shared<FakeTransport>();
        model =
            SheetModel::make(transport, {.clipboard = std::make_shared<FakeClipboard>(), .measure = measure});
    }

    void largeWriteGoesInBatchesAndAFailureKeepsTheRest() {
        openSheet(500, 26);
        server->refuseBatch = 2;
        const auto writes = manyWrites(1200);
        QVERIFY(!runTask(model->write(writes, false)));
        QCOMPARE(server->batchSizes, (QList<int>{500, 500}));
        QCOMPARE(model->failedWrites(), writes.mid(500));
        QCOMPARE(model->error(),
                 "500 cells confirmed; 700 still need saving. The server did not confirm the edit.");
        QVERIFY(!model->busy());
        // The first batch was merged.
        QCOMPARE(model->cells().value({0, 1}).raw, "1");
        // Any other change is refused until the pending writes are retried.
        QVERIFY(!runTask(model->write({CellWrite{0, 0, "x", {}, {}}}, false)));
        QCOMPARE(model->error(), "Retry or discard the pending edits before making another change.");
        QCOMPARE(server->batchSizes.size(), 2);
        runTask(model->retryWrites());
        QCOMPARE(server->batchSizes, (QList<int>{500, 500, 500, 200}));
        QVERIFY(model->failedWrites().isEmpty());
        QCOMPARE(model->error(), QString());
        QCOMPARE(model->notice(), "Saved");
    }

    // A batch that comes back unreadable stays pending, counted in the message (transport failures
    // are played end to end by the ledger test).
    void unconfirmedBatchIsCounted() {
        openSheet();
        transport->setReplies([](const FakeTransport::Request &) { return answer(200, R"({"cells":[]})"); });
        QVERIFY(!runTask(model->write(manyWrites(3), false)));
        QCOMPARE(model->error(),
                 "0 cells confirmed; 3 still need saving. The server returned an unsupported response.");
        QCOMPARE(model->failedWrites().size(), 3);
    }

    // 8192 and 8193 ASCII bytes; 2730 three-byte characters and 2 bytes; 2731 of them (8193 bytes in
    // fewer characters). One oversized write stops the whole list, the small one included.
    void inputLimitCountsUtf8Bytes() {
        for (const auto &[raw, sent] : {std::pair(QString(8192, u'a'), true),
                                        {QString(8193, u'a'), false},
                                        {QString(2730, QChar(0x20AC)) + "ab", true},
                                        {QString(2731, QChar(0x20AC)), false}}) {
            openSheet();
            const QList<CellWrite> writes{{0, 0, "small", {}, {}}, {0, 1, raw, {}, {}}};
            QCOMPARE(runTask(model->write(writes, false)), sent);
            QCOMPARE(server->batchSizes.size(), sent ? 1 : 0);
            QCOMPARE(model->error(),
                     sent ? QString() : "A cell exceeds the input size limit. Nothing was changed.");
        }
    }

    void emptyListAndPermissions() {
        openSheet();
        QVERIFY(runTask(model->write({}, false)));
        init();
        openSheet(100, 26, false);
        QVERIFY(!runTask(model->write({}, false)));
        QVERIFY(!runTask(model->write(manyWrites(1), false)));
        QCOMPARE(model->error(), QString());
        QVERIFY(server->batchSizes.isEmpty());
    }

    void oversizedBatchIsHalvedUntilItFits() {
        // 500 writes of 3000 bytes each make a 1.5 MB body.
        QList<CellWrite> writes;
        for (int i = 0; i < 500; ++i)
            writes.append({i, 0, QString(3000, u'x'), {}, {}});
        const auto [body, taken] = SheetWireWorker::encodeBatch(writes, 0);
        QVERIFY(taken == 250 && body.size() <= SheetWireWorker::maxBatchBytes);
        QCOMPARE(SheetWireWorker::encodeBatch(writes, 250).second, qsizetype(250));
        // A single write larger than the limit still goes alone.
        const QList<CellWrite> lone{CellWrite{0, 0, QString(2'000'000, u'x'), {}, {}}};
        QCOMPARE(SheetWireWorker::encodeBatch(lone, 0).second, qsizetype(1));
    }

    void commitMovesAndStopsAtTheEdges_data() {
        QTest::addColumn<MoveCase>("row");
        QTest::newRow("last row stays") << MoveCase{{9, 2}, false, false, {9, 2}};
        QTest::newRow("last column stays") << MoveCase{{3, 4}, true, false, {3, 4}};
        QTest::newRow("left from column 0 stays") << MoveCase{{3, 0}, true, true, {3, 0}};
        // A cell outside the sheet shown keeps the axis it does not move along.
        QTest::newRow("down keeps a column past the sheet") << MoveCase{{2, 7}, false, false, {3, 7}};
        QTest::newRow("right keeps a row past the sheet") << MoveCase{{12, 1}, true, false, {12, 2}};
    }
    void commitMovesAndStopsAtTheEdges() {
        QFETCH(MoveCase, row);
        const auto &[from, moveRight, backwards, to] = row;
        openSheet(10, 5);
        model->select(from);
        model->setDraft("typed");
        runTask(model->commit(moveRight, backwards));
        QCOMPARE(model->selectionAnchor(), to);
        QCOMPARE(model->cells().value(from).raw, "typed");
        QCOMPARE(model->rangeText(), to.ref());
        if (to != from) {
            QCOMPARE(model->draft(), QString());
            QVERIFY(!model->hasUnconfirmedChanges());
        }
    }

    // Text typed while a write travels, or after it failed, is never taken as saved: it stays the
    // draft, the move after the save is refused, and the next commit sends it. A failed commit keeps its
    // draft, and a retry with nothing typed leaves a clean editor.
    void newerTextIsNeverMarkedSaved_data() {
        QTest::addColumn<TypedCase>("row");
        QTest::newRow("commit, typed while it travels") << TypedCase{false, "", "second", "second"};
        QTest::newRow("retry, typed after the failure") << TypedCase{true, "second", "", "second"};
        QTest::newRow("retry, typed back to the old text") << TypedCase{true, "old", "", "old"};
        QTest::newRow("retry, nothing typed") << TypedCase{true, "", "", "first"};
    }
    void newerTextIsNeverMarkedSaved() {
        QFETCH(TypedCase, row);
        const auto &[failFirst, typedAfterFailure, typedWhileSending, kept] = row;
        server = std::make_unique<FakeSheetServer>(transport, 100, 26);
        server->setCell(0, 0, "old");
        runTask(model->open(summary(1, 1)));
        model->setDraft("first");
        if (failFirst) {
            server->refuseBatch = 1;
            runTask(model->commit(false, false));
            QCOMPARE(model->failedWrites().size(), 1);
            QCOMPARE(model->draft(), "first");
            QCOMPARE(model->originalDraft(), "old"); // still an unsaved edit
            if (!typedAfterFailure.isEmpty())
                model->setDraft(typedAfterFailure);
        }
        if (!typedWhileSending.isEmpty())
            server->onBatch = [&] { model->setDraft(typedWhileSending); };
        if (failFirst)
            runTask(model->retryWrites());
        else
            runTask(model->commit(false, false));
        QCOMPARE(model->cells().value({0, 0}).raw, "first");
        QVERIFY(model->failedWrites().isEmpty());
        QCOMPARE(model->draft(), kept);
        QCOMPARE(model->originalDraft(), "first");
        QCOMPARE(model->hasUnconfirmedChanges(), kept != "first");
        QCOMPARE(model->selectionAnchor(), (Coordinate{0, 0}));
        server->onBatch = nullptr;
        runTask(model->commit(false, false));
        QCOMPARE(model->cells().value({0, 0}).raw, kept);
        QCOMPARE(model->selectionAnchor(), (Coordinate{1, 0}));
        QVERIFY(!model->hasUnconfirmedChanges());
    }

    void saveAllRetriesThenCommits() {
        openSheet();
        server->refuseBatch = 1;
        QVERIFY(!runTask(model->write({CellWrite{5, 5, "pending", {}, {}}}, false)));
        model->setDraft("draft");
        runTask(model->saveAll());
        QCOMPARE(server->batchSizes, (QList<int>{1, 1, 1}));
        QCOMPARE(model->cells().value({5, 5}).raw, "pending");
        QCOMPARE(model->cells().value({0, 0}).raw, "draft");
        QCOMPARE(model->selectionAnchor(), (Coordinate{1, 0}));
        QVERIFY(!model->hasUnconfirmedChanges());
    }

    void discardRestoresTheConfirmedText() {
        openSheet();
        QVERIFY(runTask(model->write({CellWrite{0, 0, "kept", {}, {}}}, false)));
        model->setDraft("abandoned");
        model->setError("old");
        model->discard();
        QCOMPARE(model->draft(), "kept");
        QCOMPARE(model->originalDraft(), "kept");
        QCOMPARE(model->error(), QString());
    }

    void boldTogglesFromTheWholeSelection() {
        openSheet();
        server->setStyle("bold", {{"b", true}});
        server->setCell(0, 0, "x", "bold");
        server->setCell(0, 1, "y");
        server->setStyle("italic", {{"i", true}}); // a style without the flag: not bold
        server->setCell(2, 1, "z", "italic");
        server->setCell(1, 2, "w", "bold");
        runTask(model->refresh());
        model->extendSelection({0, 1});
        QVERIFY(!model->everySelectedCell(&CellStyle::b));
        model->select({0, 0});
        QVERIFY(model->everySelectedCell(&CellStyle::b));
        model->select({2, 1});
        QVERIFY(!model->everySelectedCell(&CellStyle::b));
        QVERIFY(model->everySelectedCell(&CellStyle::i));
        model->select({5, 5}); // empty cells are not bold
        QVERIFY(!model->everySelectedCell(&CellStyle::b));
        QVERIFY(!model->everySelectedCell(&CellStyle::i));
    }

    void formatBodyCarriesTheRangeAndEveryChange() {
        openSheet();
        model->select({1, 2});
        model->extendSelection({3, 4});
        // A change never moves the range ("r1", "c2").
        FormatChanges changes{
            {"bold", false}, {"italic", false}, {"align", QString()}, {"numfmt", QString()}};
        changes.insert(
            {{"fill", QString("none")}, {"ink", QString("none")}, {"r1", QString("0")}, {"c2", true}});
        runTask(model->format(changes));
        QCOMPARE(server->posted.size(), 1);
        QCOMPARE(server->posted.first().dump(),
                 R"({"align":"","bold":false,"c1":2,"c2":4,"fill":"none","ink":"none",)"
                 R"("italic":false,"numfmt":"","r1":1,"r2":3})");
        QCOMPARE(transport->requests().last().path, "/api/sheets/1/tabs/1/format");
        QCOMPARE(transport->requests().last().maxBytes, qint64(4'194'304));
        QVERIFY(!model->busy());
    }

    // Without an index a resize takes the anchor's column or row; a refused one keeps the sizes.
    void resizeBodiesAndRefusal() {
        openSheet();
        model->select({7, 3});
        runTask(model->resize("col", 120, std::nullopt));
        runTask(model->resize("row", 120, std::nullopt));
        runTask(model->resize("col", 64, 11));
        QCOMPARE(server->posted,
                 (QList<json>{
                     {{"col", 3}, {"size", 120}}, {{"row", 7}, {"size", 120}}, {{"col", 11}, {"size", 64}}}));
        const Sizes before = model->sizes();
        const quint64 version = model->version();
        server->statusFor.insert("/size", 409);
        runTask(model->resize("col", 200, 0));
        QCOMPARE(model->error(), "The server did not confirm the resize.");
        QVERIFY(model->sizes() == before && model->version() == version && !model->busy());
    }

    void nothingIsSentWhileAnEditIsUnsaved() {
        openSheet();
        model->setDraft("unsaved");
        runTask(model->format({{"bold", true}}));
        runTask(model->resize("col", 100, std::nullopt));
        runTask(model->fitColumn(0));
        QVERIFY(server->posted.isEmpty());
        QCOMPARE(model->error(), QString());
    }

    void fitColumnMeasuresDisplayTexts() {
        openSheet();
        runTask(model->fitColumn(2));                 // empty column
        server->setCell(0, 3, "abcdefghij");          // 100 points + 14
        server->setCell(1, 4, std::string(300, 'w')); // 3000 points
        runTask(model->refresh());
        runTask(model->fitColumn(3));
        runTask(model->fitColumn(4));
        runTask(model->fitColumn(25)); // the last visible column
        runTask(model->fitColumn(26)); // beyond the visible columns
        runTask(model->fitColumn(-1));
        QCOMPARE(server->posted, (QList<json>{{{"col", 2}, {"size", 40}},
                                              {{"col", 3}, {"size", 114}},
                                              {{"col", 4}, {"size", 1000}},
                                              {{"col", 25}, {"size", 40}}}));
    }
};

QTEST_GUILESS_MAIN(TestSheetWrites)
#include "tst_SheetWrites.moc"
