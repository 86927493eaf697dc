#include "EditorFixture.h"

#include "editor/SheetGridAccessible.h"

#include <QAccessible>

// The grid as assistive technology sees it, read in-process through QAccessible.
class TestSheetGridAccessibility : public QObject {
    Q_OBJECT

    std::unique_ptr<EditorFixture> f;

    QAccessibleInterface *table() const { return QAccessible::queryAccessibleInterface(f->grid()); }
    QAccessibleInterface *cell(int r, int c) const { return table()->tableInterface()->cellAt(r, c); }

private Q_SLOTS:
    void init() { f = std::make_unique<EditorFixture>(); }
    void cleanup() { f.reset(); }

    void cellNamesValuesAndSelection() {
        f->open(10, 5, true, [](FakeSheetServer &server) {
            server.setStyle("low", {{"lc", true}, {"fx", "#101010"}, {"k", "#111111"}});
            server.setCell(0, 0, "hello");
            server.setCell(2, 1, "=1+1");
            server.setCell(3, 3, "dim", "low");
        });
        QCOMPARE(cell(0, 0)->text(QAccessible::Name), QStringLiteral("A1, hello"));
        QCOMPARE(cell(1, 1)->text(QAccessible::Name), QStringLiteral("B2, Empty"));
        QCOMPARE(cell(2, 1)->text(QAccessible::Name), QStringLiteral("B3, =1+1")); // the display text
        QCOMPARE(cell(3, 3)->text(QAccessible::Value), QStringLiteral("Imported colours have low contrast"));
        QCOMPARE(cell(0, 0)->text(QAccessible::Value), QString());
        QCOMPARE(cell(0, 0)->role(), QAccessible::Cell);

        auto *cellInfo = cell(2, 1)->tableCellInterface();
        QVERIFY(cellInfo);
        QCOMPARE(cellInfo->rowIndex(), 2);
        QCOMPARE(cellInfo->columnIndex(), 1);
        QCOMPARE(table()->indexOfChild(cell(2, 1)), 2 * 5 + 1);
        QCOMPARE(table()->child(2 * 5 + 1), cell(2, 1)); // one interface per cell, kept

        QVERIFY(cell(0, 0)->state().selected);
        QVERIFY(!cell(1, 1)->state().selected);
        f->model->select({1, 1});
        f->model->extendSelection({2, 2});
        QVERIFY(!cell(0, 0)->state().selected);
        for (const auto &[r, c] : {std::pair{1, 1}, {1, 2}, {2, 1}, {2, 2}})
            QVERIFY(cell(r, c)->state().selected);
        QVERIFY(!cell(3, 2)->state().selected);
        QCOMPARE(table()->tableInterface()->selectedCellCount(), 4);
        QVERIFY(cellInfo->isSelected());

        // The cell under a screen point.
        const QRect rect = cell(2, 1)->rect();
        QCOMPARE(table()->childAt(rect.center().x(), rect.center().y()), cell(2, 1));
    }

    void headerButtonsSelect() {
        f->open(10, 5);
        auto *grid = dynamic_cast<SheetGridAccessible *>(table());
        QVERIFY(grid);
        QAccessibleInterface *columnC = grid->child(grid->columnHeaderIndex(2));
        QAccessibleInterface *row4 = grid->child(grid->rowHeaderIndex(3));
        QCOMPARE(columnC->role(), QAccessible::Button);
        QCOMPARE(columnC->text(QAccessible::Name), QStringLiteral("Select column C"));
        QCOMPARE(row4->text(QAccessible::Name), QStringLiteral("Select row 4"));
        columnC->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(f->model->selection(), (CellRange{{0, 2}, {9, 2}}));
        row4->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(f->model->selection(), (CellRange{{3, 0}, {3, 4}}));
        QCOMPARE(cell(3, 0)->tableCellInterface()->rowHeaderCells().value(0), row4);
    }

    void childrenFollowTheSheetsShape() {
        f->open(0, 0); // no page: 100 x 26
        QCOMPARE(table()->role(), QAccessible::Table);
        QCOMPARE(table()->text(QAccessible::Name), QStringLiteral("Spreadsheet grid"));
        QCOMPARE(table()->tableInterface()->rowCount(), 100);
        QCOMPARE(cell(99, 25)->text(QAccessible::Name), QStringLiteral("Z100, Empty"));
        QVERIFY(!cell(100, 0));
        f->server = std::make_unique<FakeSheetServer>(f->transport, 3, 2);
        f->server->setCell(2, 1, "last");
        runTask(f->model->open(fixtures::summary(1, 1)));
        QCOMPARE(table()->tableInterface()->rowCount(), 3);
        QCOMPARE(table()->tableInterface()->columnCount(), 2);
        QCOMPARE(cell(2, 1)->text(QAccessible::Name), QStringLiteral("B3, last"));
        QCOMPARE(table()->indexOfChild(cell(2, 1)), 5);
        QCOMPARE(table()->childCount(), 3 * 2 + 2 + 3); // cells, column and row headers
    }
};

QTEST_MAIN(TestSheetGridAccessibility)
#include "tst_SheetGridAccessibility.moc"
