#include "E2eAccount.h"
#include "TaskRunner.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
// Writes cells given as "A1=text" and waits for the answer.
bool write(SheetModel &model, const QStringList &cells) {
    QList<CellWrite> writes;
    for (const QString &cell : cells) {
        const Coordinate at = *Coordinate::parse(cell.section(u'=', 0, 0));
        writes.append(CellWrite{at.r, at.c, cell.section(u'=', 1), {}, {}});
    }
    return runTask(model.write(writes, false));
}
// "raw>display" of each named cell, for one comparison of several cells.
QStringList shown(const SheetModel &model, const QStringList &refs) {
    QStringList out;
    for (const QString &ref : refs) {
        const Cell cell = model.cells().value(*Coordinate::parse(ref));
        out << cell.raw + u'>' + cell.display;
    }
    return out;
}
} // namespace

// Editing and the feature panels' operations against a real tabrel-server: paste, table, history
// and workbooks.
class TestPanelsE2E : public QObject {
    Q_OBJECT

    std::unique_ptr<E2eAccount> account;
    std::shared_ptr<FakeClipboard> clipboard;
    std::shared_ptr<SheetModel> model;
    std::optional<SheetSummary> sheet;

private Q_SLOTS:
    void initTestCase() {
        account = std::make_unique<E2eAccount>();
        QVERIFY2(account->ok(), qPrintable(account->error()));
    }
    void init() {
        sheet = account->createSheet();
        QVERIFY(sheet);
        clipboard = std::make_shared<FakeClipboard>();
        model = account->model({}, {.clipboard = clipboard});
        runTask(model->open(*sheet));
    }
    void cleanupTestCase() { account.reset(); }

    void pastedFormulasMoveTheirRelativeReferences() {
        QVERIFY(write(*model, {"A1=1", "A2=2", "B1==A1*10", "B2==A2*10+$A$1"}));
        model->select({0, 0});
        model->extendSelection({1, 1});
        model->copy();
        QCOMPARE(*clipboard->text(), QStringLiteral("1\t=A1*10\n2\t=A2*10+$A$1"));
        model->select({3, 2}); // C4
        runTask(model->paste());
        QCOMPARE(model->error(), QString());
        QCOMPARE(shown(*account->opened(*sheet), {"C4", "D4", "D5"}),
                 (QStringList{"1>1", "=C4*10>10", "=C5*10+$A$1>21"}));
        // Text typed elsewhere and pasted is taken as it is.
        clipboard->setText(QStringLiteral("=A1*10"));
        model->select({9, 9});
        runTask(model->paste());
        QCOMPARE(account->opened(*sheet)->cells().value({9, 9}).raw, QStringLiteral("=A1*10"));
    }

    void sortAndFilterThenPage() {
        QList<CellWrite> writes;
        for (int r = 0; r < 60; ++r)
            writes.append(CellWrite{r, 0, QString::number(r + 1), {}, {}});
        QVERIFY(runTask(model->write(writes, false)));
        SheetTable &table = model->sheetTable();
        table.setView(ViewSpec{0, true, 0, QStringLiteral("gt"), QStringLiteral("5")});
        QVERIFY(runTask(table.saveView()));
        runTask(table.loadTable());
        QCOMPARE(model->error(), QString());
        QCOMPARE(table.view(), (ViewSpec{0, true, 0, QStringLiteral("gt"), QStringLiteral("5")}));
        QCOMPARE(table.table()->Rows->size(), 50);
        const TableCell first = table.table()->Rows->first().Cells.first();
        QCOMPARE(first.Display, QStringLiteral("60"));
        QCOMPARE(first.R, qint64(59)); // the cell keeps its own coordinate
        QVERIFY(table.mayGoForward());
        runTask(table.nextPage());
        QCOMPARE(table.tablePage(), qint64(2));
        QCOMPARE(table.table()->Rows->size(), 5); // 55 values above 5
        QCOMPARE(table.table()->Rows->last().Cells.first().Display, QStringLiteral("6"));
        QVERIFY(!table.mayGoForward());
    }

    void restoreBeforeAnEditAndUndo() {
        QVERIFY(write(*model, {"A1=one"}) && write(*model, {"A1=two"}));
        SheetHistory &history = model->sheetHistory();
        runTask(history.loadHistory());
        const auto edit = std::find_if(history.history().cbegin(), history.history().cend(),
                                       [](const HistoryEntry &entry) { return entry.New == u"two"; });
        QVERIFY(edit != history.history().cend());
        QCOMPARE(edit->Old, QStringLiteral("one"));
        QCOMPARE(edit->Ref, QStringLiteral("A1"));
        QVERIFY(runTask(history.restore(edit->ID)));
        QCOMPARE(model->cells().value({0, 0}).raw, QStringLiteral("one"));
        QCOMPARE(account->opened(*sheet)->cells().value({0, 0}).raw, QStringLiteral("one"));
        QVERIFY(write(*model, {"A1=three"}));
        QVERIFY(runTask(history.undo()));
        QVERIFY(model->notice().startsWith(QStringLiteral("Undid your last edit")));
        QCOMPARE(model->cells().value({0, 0}).raw, QStringLiteral("one"));
    }

    void importExportAndReadBack() {
        const QString fixture = QFINDTESTDATA("../server/fixtures/styled.xlsx");
        QVERIFY(!fixture.isEmpty());
        SheetFiles &files = model->sheetFiles();
        files.setActive(true);
        runTask(files.importWorkbook(fixture), std::chrono::seconds(60));
        QCOMPARE(files.progress(), QStringLiteral("Imported"));
        QCOMPARE(model->page()->Sheet.Title, QStringLiteral("styled"));
        QCOMPARE(shown(*model, {"A1", "B4"}).join(u' '), "Item>Item =SUM(B2:B3)>1563.13");
        const quint64 imported = model->page()->Sheet.ID;
        runTask(files.exportWorkbook(), std::chrono::seconds(60));
        QVERIFY2(files.workbook(), qPrintable(files.progress()));
        QCOMPARE(files.workbook()->filename, QStringLiteral("styled.xlsx"));
        const QString folder = QFileInfo(files.workbook()->url).absolutePath();
        QTemporaryDir saved;
        const QString target = saved.filePath(QStringLiteral("round trip.xlsx"));
        QVERIFY(files.saveExport(target));
        QVERIFY(!QFileInfo::exists(folder));
        // The saved workbook imports again with the same cells.
        runTask(files.importWorkbook(target), std::chrono::seconds(60));
        QCOMPARE(files.progress(), QStringLiteral("Imported"));
        QVERIFY(model->page()->Sheet.ID != imported);
        QCOMPARE(model->page()->Sheet.Title, QStringLiteral("round trip"));
        QCOMPARE(shown(*model, {"A1", "B2", "B4"}).join(u' '),
                 "Item>Item 1250.5>1250.50 =SUM(B2:B3)>1563.13");
    }
};

QTEST_GUILESS_MAIN(TestPanelsE2E)
#include "tst_PanelsE2E.moc"
