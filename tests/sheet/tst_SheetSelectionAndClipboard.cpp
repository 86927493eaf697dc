#include "FakeClipboard.h"
#include "FakeSheetServer.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "sheet/SheetModel.h"

#include <QTest>

using namespace fixtures;

class TestSheetSelectionAndClipboard : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeTransport> transport;
    std::shared_ptr<FakeClipboard> clipboard;
    std::shared_ptr<SheetModel> model;
    std::unique_ptr<FakeSheetServer> server;

    void openSheet(qint64 rows = 100, qint64 cols = 26) {
        server = std::make_unique<FakeSheetServer>(transport, rows, cols);
        runTask(model->open(summary(1, 1)));
    }
    QList<nlohmann::json> postedWrites() const {
        QList<nlohmann::json> writes;
        for (const auto &body : server->posted)
            for (const auto &write : body.at("cells"))
                writes.append(write);
        return writes;
    }

private Q_SLOTS:
    void init() {
        transport = std::make_shared<FakeTransport>();
        clipboard = std::make_shared<FakeClipboard>();
        model = SheetModel::make(
            transport, {.clipboard = clipboard, .measure = [](const QString &, bool, bool) { return 0.0; }});
    }

    void selectionGuardsAndClamping() {
        openSheet(10, 5);
        model->extendSelection({-3, 9});
        QCOMPARE(model->selection(), (CellRange{{0, 0}, {0, 4}}));
        QCOMPARE(model->rangeText(), QStringLiteral("A1:E1"));
        model->select({2, 2});
        model->extendSelection({2, 2});
        QCOMPARE(model->rangeText(), QStringLiteral("C3:C3"));

        model->setDraft(QStringLiteral("unsaved"));
        model->extendSelection({4, 4});
        QCOMPARE(model->selection(), (CellRange{{2, 2}, {2, 2}}));
        QCOMPARE(model->error(), QString());
        model->select({0, 0});
        QCOMPARE(model->selectionAnchor(), (Coordinate{2, 2}));
        QCOMPARE(model->error(), QStringLiteral("Save or discard this edit before selecting another cell."));
    }

    void selectRangeFromTypedText_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("reversed corners") << "E10:b2" << true;
        QTest::newRow("last visible cell") << "E10" << true;
        QTest::newRow("row past the sheet") << "A11" << false;
        QTest::newRow("column past the sheet") << "F1" << false;
        QTest::newRow("not a range") << "A1:" << false;
    }
    void selectRangeFromTypedText() {
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        openSheet(10, 5);
        server->setCell(1, 1, "anchor");
        runTask(model->refresh());
        model->setRangeText(typed);
        model->selectRange();
        QCOMPARE(model->rangeText(), typed);
        if (accepted) {
            QCOMPARE(model->selection(), *CellRange::parse(typed));
            QCOMPARE(model->selectionAnchor(), CellRange::parse(typed)->start);
            QCOMPARE(model->error(), QString());
        } else {
            QCOMPARE(model->selection(), (CellRange{{0, 0}, {0, 0}}));
            QCOMPARE(model->error(),
                     QStringLiteral("Choose a range inside the visible sheet, after saving your edit."));
        }
    }

    void copyThenPasteCarriesSourcesOnlyForOurOwnCopy() {
        openSheet();
        server->setCell(0, 0, "=B1*2");
        server->setCell(1, 1, "x");
        runTask(model->refresh());
        model->select({0, 0});
        model->extendSelection({1, 1});
        model->copy();
        QCOMPARE(clipboard->text(), std::optional<QString>(QStringLiteral("=B1*2\t\n\tx")));
        QCOMPARE(model->copiedText(), *clipboard->text());

        model->select({5, 3});
        runTask(model->paste());
        auto writes = postedWrites();
        QCOMPARE(writes.size(), 4);
        QCOMPARE(writes[0].dump(), std::string(R"({"c":3,"fromC":0,"fromR":0,"r":5,"raw":"=B1*2"})"));
        QCOMPARE(writes[3].dump(), std::string(R"({"c":4,"fromC":1,"fromR":1,"r":6,"raw":"x"})"));

        // Someone else put the same cells' text on the clipboard with a change: no provenance.
        clipboard->setText(QStringLiteral("=B1*2\t\n\ty"));
        model->select({8, 0});
        runTask(model->paste());
        writes = postedWrites();
        QVERIFY(!writes.last().contains("fromR"));
        QVERIFY(!writes[writes.size() - 4].contains("fromC"));
    }

    void pasteLimitsAndRaggedRows() {
        openSheet(500, 26);
        QStringList fields(25, QStringLiteral("v"));
        QStringList rows(20, fields.join(u'\t'));
        clipboard->setText(rows.join(u'\n')); // exactly 500 fields
        runTask(model->paste());
        QCOMPARE(server->batchSizes, QList<int>{500});

        clipboard->setText(rows.join(u'\n') + QStringLiteral("\nextra"));
        runTask(model->paste());
        QCOMPARE(model->error(), QStringLiteral("Paste supports up to 500 cells at once."));
        QCOMPARE(server->batchSizes.size(), 1);

        clipboard->setText(QStringLiteral("a\tb\tc\nd"));
        model->select({2, 1});
        runTask(model->paste());
        const auto writes = postedWrites();
        QCOMPARE(writes.last().dump(), std::string(R"({"c":1,"r":3,"raw":"d"})"));
        QCOMPARE(server->batchSizes.last(), 4);
    }

    void pasteRefusals() {
        // Nothing loaded: the visible sheet is 100 x 26.
        clipboard->setText(QStringLiteral("a\tb"));
        model->select({0, 25});
        runTask(model->paste());
        QCOMPARE(model->error(),
                 QStringLiteral("This paste extends beyond the visible sheet. Nothing was changed."));
        model->select({99, 0});
        clipboard->setText(QStringLiteral("a\nb"));
        runTask(model->paste());
        QCOMPARE(model->error(),
                 QStringLiteral("This paste extends beyond the visible sheet. Nothing was changed."));
        QVERIFY(transport->requests().isEmpty());

        clipboard->clear();
        runTask(model->paste());
        QCOMPARE(model->error(), QStringLiteral("The clipboard has no text cells."));

        openSheet();
        model->setDraft(QStringLiteral("typing"));
        clipboard->setText(QStringLiteral("a"));
        runTask(model->paste());
        QCOMPARE(model->error(), QStringLiteral("Save or discard your cell edit first."));
        QVERIFY(server->posted.isEmpty());
    }

    void pastingAnEmptyStringClearsOneCell() {
        openSheet();
        clipboard->setText(QString());
        model->select({3, 3});
        runTask(model->paste());
        QCOMPARE(postedWrites().size(), 1);
        QCOMPARE(postedWrites().first().dump(), std::string(R"({"c":3,"r":3,"raw":""})"));
    }

    void fillAndClear() {
        openSheet(10, 5);
        server->setCell(9, 0, "bottom");
        server->setCell(2, 1, "top-left");
        runTask(model->refresh());
        model->select({9, 0});
        QVERIFY(model->fillWrites(true).isEmpty()); // last visible row
        QCOMPARE(model->fillWrites(false).size(), 1);

        model->select({2, 1});
        model->extendSelection({4, 2});
        const auto down = model->fillWrites(true);
        QCOMPARE(down, model->fillWrites(false));
        QCOMPARE(down.size(), 5);
        for (const CellWrite &write : down) {
            QCOMPARE(write.raw, QStringLiteral("top-left"));
            QCOMPARE(write.fromR, std::optional<qint64>(2));
            QCOMPARE(write.fromC, std::optional<qint64>(1));
        }
        runTask(model->fill(true));
        QCOMPARE(server->batchSizes, QList<int>{5});

        // Clearing writes only cells that hold text.
        runTask(model->clear());
        QCOMPARE(server->batchSizes.last(), 6);
        runTask(model->clear());
        QCOMPARE(server->batchSizes.size(), 2); // all empty now: no request
    }

    void insertFunctionOverTheCellsAbove_data() {
        QTest::addColumn<bool>("c4Filled");
        QTest::addColumn<qint64>("anchorRow");
        QTest::addColumn<QString>("formula");
        QTest::newRow("block above") << true << qint64(4) << "=SUM(C2:C4)";
        QTest::newRow("gap just above") << false << qint64(4) << "=SUM()";
        QTest::newRow("first row") << true << qint64(0) << "=SUM()";
    }
    void insertFunctionOverTheCellsAbove() {
        QFETCH(bool, c4Filled);
        QFETCH(qint64, anchorRow);
        QFETCH(QString, formula);
        openSheet();
        server->setCell(1, 2, "1");
        server->setCell(2, 2, "2");
        if (c4Filled)
            server->setCell(3, 2, "3");
        runTask(model->refresh());
        model->select({anchorRow, 2});
        runTask(model->insertFunction(QStringLiteral("SUM")));
        QCOMPARE(QString::fromStdString(postedWrites().last().at("raw").get<std::string>()), formula);
        QCOMPARE(postedWrites().last().at("r").get<qint64>(), anchorRow);
    }
};

QTEST_GUILESS_MAIN(TestSheetSelectionAndClipboard)
#include "tst_SheetSelectionAndClipboard.moc"
