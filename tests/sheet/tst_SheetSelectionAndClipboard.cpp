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
        QCOMPARE(model->rangeText(), "A1:E1");
        model->select({2, 2});
        model->extendSelection({2, 2});
        QCOMPARE(model->rangeText(), "C3:C3");
        model->setDraft("unsaved");
        model->extendSelection({4, 4});
        QCOMPARE(model->selection(), (CellRange{{2, 2}, {2, 2}}));
        QCOMPARE(model->error(), QString());
        model->select({0, 0});
        QCOMPARE(model->selectionAnchor(), (Coordinate{2, 2}));
        QCOMPARE(model->error(), "Save or discard this edit before selecting another cell.");
    }

    void selectRangeFromTypedText_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("reversed corners") << "E10:b2" << true;
        QTest::newRow("last visible cell") << "E10" << true;
        QTest::newRow("row past the sheet") << "A11" << false;
        QTest::newRow("column past the sheet") << "F1" << false;
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
            QCOMPARE(model->error(), "Choose a range inside the visible sheet, after saving your edit.");
        }
    }

    void copyThenPasteCarriesSources() {
        openSheet();
        server->setCell(1, 2, "=B1*2");
        server->setCell(2, 4, "x\ty");
        for (int c = 0; c < 26; ++c)
            server->setCell(20, c, "f");
        runTask(model->refresh());
        model->select({1, 2});
        model->extendSelection({2, 4});
        model->copy();
        QCOMPARE(clipboard->text(), std::optional<QString>("=B1*2\t\t\n\t\t\"x\ty\""));
        QCOMPARE(model->copiedText(), *clipboard->text());
        model->select({5, 3});
        runTask(model->paste());
        auto writes = postedWrites();
        QCOMPARE(writes.size(), 6);
        QCOMPARE(writes[0].dump(), R"({"c":3,"fromC":2,"fromR":1,"r":5,"raw":"=B1*2"})");
        QCOMPARE(writes[5].dump(), R"({"c":5,"fromC":4,"fromR":2,"r":6,"raw":"x\ty"})");
        model->select({1, 2});
        model->extendSelection({3, 4}); // an empty last row keeps its tabs
        model->copy();
        QCOMPARE(clipboard->text(), std::optional<QString>("=B1*2\t\t\n\t\t\"x\ty\"\n\t\t"));
        // A block taller than the stored rows: the rows between stay as tabs.
        model->select({1, 0});
        model->extendSelection({20, 25});
        model->copy();
        const QStringList lines = clipboard->text()->split(u'\n');
        QCOMPARE(lines.size(), 20);
        QCOMPARE(lines.first(), "\t\t=B1*2" + QString(23, u'\t'));
        QCOMPARE(lines.last(), QStringList(26, "f").join(u'\t'));
    }

    void pasteLimitsAndRaggedRows() {
        openSheet(500, 26);
        QStringList fields(25, "v");
        QStringList rows(20, fields.join(u'\t'));
        clipboard->setText(rows.join(u'\n')); // exactly 500 fields
        runTask(model->paste());
        QCOMPARE(server->batchSizes, QList<int>{500});
        clipboard->setText(rows.join(u'\n') + "\nextra");
        runTask(model->paste());
        QCOMPARE(model->error(), "Paste supports up to 500 cells at once.");
        QCOMPARE(server->batchSizes.size(), 1);
        clipboard->setText("a\tb\tc\nd");
        model->select({2, 1});
        runTask(model->paste());
        const auto writes = postedWrites();
        QCOMPARE(writes.last().dump(), R"({"c":1,"r":3,"raw":"d"})");
        QCOMPARE(server->batchSizes.last(), 4);
        // An empty text clears the one cell.
        clipboard->setText(QString());
        runTask(model->paste());
        QCOMPARE(postedWrites().last().dump(), R"({"c":1,"r":2,"raw":""})");
        QCOMPARE(server->batchSizes.last(), 1);
    }

    void pasteRefusals() {
        // Nothing loaded: the visible sheet is 100 x 26, so one cell past the last column or row is out.
        const QString beyond = "This paste extends beyond the visible sheet. Nothing was changed.";
        for (const auto &[anchor, text] :
             {std::pair(Coordinate{0, 25}, "a\tb"), std::pair(Coordinate{99, 0}, "a\nb")}) {
            model->setError({});
            clipboard->setText(QString::fromUtf8(text));
            model->select(anchor);
            runTask(model->paste());
            QCOMPARE(model->error(), beyond);
        }
        QVERIFY(transport->requests().isEmpty());
        clipboard->clear();
        runTask(model->paste());
        QCOMPARE(model->error(), "The clipboard has no text cells.");
        openSheet();
        model->setDraft("typing");
        clipboard->setText("a");
        runTask(model->paste());
        QCOMPARE(model->error(), "Save or discard your cell edit first.");
        QVERIFY(server->posted.isEmpty());
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
        QVERIFY(std::all_of(down.cbegin(), down.cend(), [](const CellWrite &w) {
            return w.raw == "top-left" && w.fromR == 2 && w.fromC == 1;
        }));
        runTask(model->fill(true));
        QCOMPARE(server->batchSizes, QList<int>{5});
        // Clearing writes only cells that hold text.
        runTask(model->clear());
        QCOMPARE(server->batchSizes.last(), 6);
        runTask(model->clear());
        QCOMPARE(server->batchSizes.size(), 2); // all empty now: no request
    }

    // A block just above, a gap just above, the first row.
    void insertFunctionOverTheCellsAbove() {
        struct Case {
            bool c4Filled;
            qint64 anchorRow;
            const char *formula;
        };
        for (const auto &[c4Filled, anchorRow, formula] :
             {Case{true, 4, "=SUM(C2:C4)"}, {false, 4, "=SUM()"}, {true, 0, "=SUM()"}}) {
            openSheet();
            server->setCell(1, 2, "1");
            server->setCell(2, 2, "2");
            if (c4Filled)
                server->setCell(3, 2, "3");
            runTask(model->refresh());
            model->select({anchorRow, 2});
            runTask(model->insertFunction("SUM"));
            QCOMPARE(postedWrites().last().dump(),
                     (nlohmann::json{{"r", anchorRow}, {"c", 2}, {"raw", formula}}.dump()));
        }
    }
};

QTEST_GUILESS_MAIN(TestSheetSelectionAndClipboard)
#include "tst_SheetSelectionAndClipboard.moc"
