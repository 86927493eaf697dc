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

// Editing and the feature panels' operations against a real tabrel-server: paste, format and
// sizes, table, history, comments, sharing and workbooks, with a second and a third account where
// access matters.
class TestPanelsE2E : public QObject {
    Q_OBJECT

    std::unique_ptr<E2eAccount> account;
    std::shared_ptr<MemoryClipboard> clipboard;
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
        clipboard = std::make_shared<MemoryClipboard>();
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

    void boldRangeIsStoredAndReadBack() {
        QVERIFY(write(*model, {"A1=a", "B2=b"}));
        model->select({0, 0});
        model->extendSelection({1, 1});
        QVERIFY(!model->everySelectedCell(&CellStyle::b));
        runTask(model->format({{QStringLiteral("bold"), true}}));
        QCOMPARE(model->error(), QString());
        QVERIFY(model->everySelectedCell(&CellStyle::b));

        const auto reader = account->opened(*sheet);
        reader->select({0, 0});
        reader->extendSelection({1, 1});
        QVERIFY(reader->everySelectedCell(&CellStyle::b));
        QVERIFY(!reader->everySelectedCell(&CellStyle::i));
        QCOMPARE(reader->styleOf({1, 1})->b, std::optional<bool>(true));
    }

    void fittedColumnWidthIsStoredAndReadBack() {
        const QString text(20, u'w'); // 7 points per character in these tests: 140 + 14
        QVERIFY(runTask(model->write({CellWrite{2, 2, text, {}, {}}}, false)));
        runTask(model->fitColumn(2));
        QCOMPARE(model->error(), QString());
        QCOMPARE(model->sizes().cols->value(QStringLiteral("2")), 154.0);
        QCOMPARE(account->opened(*sheet)->sizes().cols->value(QStringLiteral("2")), 154.0);
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

    void commentsAcrossAccountsAndSharing() {
        auto bo = account->person("bo@example.com"), cy = account->person("cy@example.com");
        QVERIFY(bo && cy);
        SheetSharing &sharing = model->sheetSharing();
        QVERIFY(sharing.mayShare());
        QVERIFY(runTask(sharing.grant(QStringLiteral("bo@example.com"), QStringLiteral("viewer"))));
        const auto roleOf = [&sharing](const QString &address) {
            for (const SharedPerson &person : sharing.sharing()->People.value_or(QList<SharedPerson>()))
                if (person.Member.Address == address)
                    return person.Role;
            return QString();
        };
        QCOMPARE(roleOf(QStringLiteral("bo@example.com")), QStringLiteral("viewer"));
        const qsizetype people = sharing.sharing()->People->size();
        // A role or an address the server refuses changes nothing.
        QVERIFY(!runTask(sharing.grant(QStringLiteral("cy@example.com"), QStringLiteral("admin"))));
        QVERIFY(model->error().contains(QStringLiteral("Nobody's access was changed.")));
        QVERIFY(!runTask(sharing.grant(QStringLiteral("not an address"), QStringLiteral("viewer"))));
        QVERIFY(!model->error().isEmpty());
        QCOMPARE(sharing.sharing()->People->size(), people);

        model->select({1, 1});
        QVERIFY(runTask(model->sheetComments().add(QStringLiteral("Check B2"))));
        runTask(bo->open(*sheet));
        QVERIFY(!bo->sheetComments().mayComment());
        QVERIFY(!bo->sheetSharing().mayShare());
        runTask(bo->sheetComments().load());
        QCOMPARE(bo->sheetComments().threads().size(), 1);
        QCOMPARE(bo->sheetComments().threads().first().Ref, QStringLiteral("B2"));
        QCOMPARE(bo->sheetComments().threads().first().Entries.first().Body, QStringLiteral("Check B2"));
        // A viewer's add is refused by the server.
        QVERIFY(!runTask(bo->sheetComments().add(QStringLiteral("me too"))));
        runTask(model->sheetComments().resolve(1, 1));
        runTask(bo->sheetComments().load());
        QVERIFY(bo->sheetComments().threads().first().Resolved);

        // A link: shown once, opens the sheet for someone else, and stops when revoked.
        QVERIFY(runTask(sharing.createLink(QStringLiteral("commenter"))));
        const QString link = sharing.sharing()->NewLink;
        QVERIFY(link.startsWith(account->origin().toString() + QStringLiteral("/links/")));
        const auto linkStatus = [&, path = QUrl(link).path()] {
            return runTask(cy->client()->responseDetails(path, QStringLiteral("GET"), std::nullopt,
                                                         QStringLiteral("application/json"),
                                                         CancellationToken()))
                .status();
        };
        QCOMPARE(linkStatus(), 200);
        runTask(cy->open(*sheet));
        QVERIFY(cy->sheetComments().mayComment());
        QVERIFY(!runTask(sharing.createLink(QStringLiteral("editor"))));
        runTask(sharing.load());
        QCOMPARE(sharing.sharing()->NewLink, QString());
        QCOMPARE(sharing.sharing()->Links->size(), 1);
        QVERIFY(runTask(sharing.revokeLink(sharing.sharing()->Links->first().ID)));
        QVERIFY(sharing.sharing()->Links->isEmpty());
        QCOMPARE(linkStatus(), 404);

        // Removing Bo's access: Bo's next request for the sheet is refused, and Bo's page stays.
        const auto boEntry =
            std::find_if(sharing.sharing()->People->cbegin(), sharing.sharing()->People->cend(),
                         [](const SharedPerson &p) { return p.Member.Address == u"bo@example.com"; });
        QVERIFY(runTask(sharing.removeAccess(boEntry->Member.ID)));
        bo->setError(QString());
        const quint64 before = bo->page()->Sheet.ID;
        runTask(bo->sheetComments().load());
        QVERIFY(!bo->error().isEmpty());
        QCOMPARE(bo->page()->Sheet.ID, before);
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

    void corruptWorkbookOpensNothing() {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("broken.xlsx"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("PK\x03\x04 this is not a workbook");
        file.close();
        const quint64 before = model->page()->Sheet.ID;
        runTask(model->sheetFiles().importWorkbook(path), std::chrono::seconds(60));
        QVERIFY(!model->sheetFiles().progress().isEmpty());
        QVERIFY(model->sheetFiles().progress() != u"Imported");
        QCOMPARE(model->page()->Sheet.ID, before);
    }
};

QTEST_GUILESS_MAIN(TestPanelsE2E)
#include "tst_PanelsE2E.moc"
