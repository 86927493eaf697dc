#include "FakeClipboard.h"
#include "FakeSheetServer.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "sheet/SheetModel.h"

#include <QTest>

using namespace fixtures;

class TestSheetFormats : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeTransport> transport;
    std::shared_ptr<SheetModel> model;
    std::unique_ptr<FakeSheetServer> server;
    // Ten points per character, so widths are easy to reason about.
    static double measure(const QString &text, bool, bool) { return 10.0 * double(text.size()); }

    void openSheet() {
        server = std::make_unique<FakeSheetServer>(transport, 100, 26);
        runTask(model->open(summary(1, 1)));
    }

private Q_SLOTS:
    void init() {
        transport = std::make_shared<FakeTransport>();
        model =
            SheetModel::make(transport, {.clipboard = std::make_shared<FakeClipboard>(), .measure = measure});
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

    void resizeBodyUsesTheAnchorWhenNoIndexIsGiven() {
        openSheet();
        model->select({7, 3});
        runTask(model->resize("col", 120, std::nullopt));
        runTask(model->resize("row", 120, std::nullopt));
        runTask(model->resize("col", 64, 11));
        QCOMPARE(server->posted,
                 (QList<json>{
                     {{"col", 3}, {"size", 120}}, {{"row", 7}, {"size", 120}}, {{"col", 11}, {"size", 64}}}));
    }

    void refusedResizeKeepsSizes_data() {
        QTest::addColumn<int>("status");
        QTest::newRow("conflict") << 409;
        QTest::newRow("server error") << 500;
    }
    void refusedResizeKeepsSizes() {
        QFETCH(int, status);
        openSheet();
        const Sizes before = model->sizes();
        const quint64 version = model->version();
        server->statusFor.insert("/size", status);
        runTask(model->resize("col", 200, 0));
        QCOMPARE(model->error(), "The server did not confirm the resize.");
        QCOMPARE(model->sizes(), before);
        QCOMPARE(model->version(), version);
        QVERIFY(!model->busy());
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

    void nothingIsSentWhileAnEditIsUnsaved() {
        openSheet();
        model->setDraft("unsaved");
        runTask(model->format({{"bold", true}}));
        runTask(model->resize("col", 100, std::nullopt));
        runTask(model->fitColumn(0));
        QVERIFY(server->posted.isEmpty());
        QCOMPARE(model->error(), QString());
    }
};

QTEST_GUILESS_MAIN(TestSheetFormats)
#include "tst_SheetFormats.moc"
