#include "EditorFixture.h"

#include "editor/SheetCellEditor.h"
#include "editor/SheetGridAccessible.h"
#include "editor/SheetGridHeader.h"

#include <QAccessible>
#include <QMenu>

using nlohmann::json;
using KeyCase = std::tuple<QString, int, int, QString>;        // anchor:extent, key, modifiers, after
using TypingCase = std::tuple<bool, QString, int, bool, bool>; // mayWrite, text, modifiers, unsaved, opens
using ResizeCase = std::tuple<QString, int, int, int, int>;    // axis, index, stored (0: none), drag, preview

class TestSheetGrid : public QObject {
    Q_OBJECT

    std::unique_ptr<EditorFixture> f;

    // The grid as assistive technology sees it, through QAccessible.
    QAccessibleInterface *table() const { return QAccessible::queryAccessibleInterface(f->grid()); }
    QAccessibleInterface *cell(int r, int c) const { return table()->tableInterface()->cellAt(r, c); }
    static CellRange range(const QString &text) { return *CellRange::parse(text); }
    // A header section's resize handle, a little inside its far edge.
    static QPoint handle(SheetGridHeader *header, int index, bool column) {
        const QRect section = header->sectionRect(index);
        return column ? QPoint(section.right() - 2, section.center().y())
                      : QPoint(section.center().x(), section.bottom() - 2);
    }

private Q_SLOTS:
    void init() { f = std::make_unique<EditorFixture>(); }
    void cleanup() { f.reset(); }

    void keyboardMovesFromAnchorOrExtent_data() {
        QTest::addColumn<KeyCase>("row");
        const int shift = Qt::ShiftModifier;
        QTest::newRow("right moves from the anchor") << KeyCase{"A1:C1", Qt::Key_Right, 0, "B1"};
        QTest::newRow("shift right extends the extent") << KeyCase{"A1:C1", Qt::Key_Right, shift, "A1:D1"};
        QTest::newRow("shift left shrinks towards the anchor")
            << KeyCase{"B2:D2", Qt::Key_Left, shift, "B2:C2"};
        QTest::newRow("shift up above the anchor") << KeyCase{"B3:B3", Qt::Key_Up, shift, "B2:B3"};
        QTest::newRow("up at the top stays") << KeyCase{"D1:D1", Qt::Key_Up, 0, "D1"};
        QTest::newRow("left at column A stays") << KeyCase{"A5:A5", Qt::Key_Left, 0, "A5"};
        QTest::newRow("down at the last row stays") << KeyCase{"A10:A10", Qt::Key_Down, 0, "A10"};
        QTest::newRow("tab moves right, never extends") << KeyCase{"A1:B2", Qt::Key_Tab, 0, "B1"};
        QTest::newRow("tab at the last column stays") << KeyCase{"E4:E4", Qt::Key_Tab, 0, "E4"};
        QTest::newRow("shift tab at column A stays") << KeyCase{"A4:A4", Qt::Key_Backtab, shift, "A4"};
        QTest::newRow("shift tab moves left") << KeyCase{"C4:C4", Qt::Key_Backtab, shift, "B4"};
    }
    void keyboardMovesFromAnchorOrExtent() {
        QFETCH(KeyCase, row);
        const auto &[from, key, modifiers, expected] = row;
        f->open(10, 5);
        f->model->select(range(from).start);
        f->model->extendSelection(range(from).end);
        f->key(key, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(f->model->selection(), range(expected));
        QVERIFY(f->grid()->hasFocus()); // Tab never moved the focus away
        QCOMPARE(f->grid()->scrollOffset(), QPoint(0, 0));
    }

    void keyboardNeverScrollsToFollow() {
        f->open(200, 50);
        for (int i = 0; i < 40; ++i)
            f->key(Qt::Key_Down);
        QCOMPARE(f->model->selectionAnchor(), (Coordinate{40, 0}));
        QCOMPARE(f->grid()->scrollOffset(), QPoint(0, 0));
    }

    void typingRules_data() {
        QTest::addColumn<TypingCase>("row");
        QTest::newRow("letter on a range") << TypingCase{true, "x", 0, false, true};
        QTest::newRow("shifted letter") << TypingCase{true, "X", Qt::ShiftModifier, false, true};
        QTest::newRow("blank") << TypingCase{true, " ", 0, false, true};
        QTest::newRow("control held") << TypingCase{true, "x", Qt::ControlModifier, false, false};
        QTest::newRow("alt held") << TypingCase{true, "x", Qt::AltModifier, false, false};
        QTest::newRow("meta held") << TypingCase{true, "x", Qt::MetaModifier, false, false};
        QTest::newRow("read-only sheet") << TypingCase{false, "x", 0, false, false};
        QTest::newRow("unsaved edit elsewhere") << TypingCase{true, "x", 0, true, false};
    }
    void typingRules() {
        QFETCH(TypingCase, row);
        const auto &[mayWrite, text, modifiers, unsaved, opens] = row;
        f->open(10, 5, mayWrite, [](FakeSheetServer &server) { server.setCell(1, 1, "old"); });
        f->model->select({1, 1});
        f->model->extendSelection({3, 3});
        if (unsaved)
            f->model->setDraft(QStringLiteral("pending"));
        QTest::keyClicks(f->grid(), text, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(f->grid()->editing().has_value(), opens);
        QCOMPARE(f->model->selection(), range(opens ? "B2" : "B2:D4"));
        QCOMPARE(f->model->draft(), opens ? text : unsaved ? "pending" : "old");
        if (opens) {
            QCOMPARE(f->model->originalDraft(), "old");
            QCOMPARE(f->grid()->cellEditor()->text(), text);
        }
    }

    void typingWhileEditorLacksFocusAppends() {
        f->open(10, 5);
        f->key(Qt::Key_Return);
        QVERIFY(f->grid()->editing());
        QTRY_VERIFY(f->grid()->cellEditor()->hasFocus());
        QTest::keyClicks(f->grid()->cellEditor(), "ab");
        f->grid()->setFocus();
        QVERIFY(!f->model->cellEditorHasFocus());
        f->type("c");
        QCOMPARE(f->model->draft(), "abc");
        QCOMPARE(f->grid()->cellEditor()->text(), "abc");
        f->key(Qt::Key_Down); // arrows do nothing while a cell is edited
        QCOMPARE(f->model->selectionAnchor(), (Coordinate{0, 0}));
    }

    void editingClosesWhenTheSelectionMoves() {
        f->open(10, 5);
        f->key(Qt::Key_Return);
        QVERIFY(f->grid()->editing());
        f->model->select({3, 3});
        QVERIFY(!f->grid()->editing());
        // Editing a range opens on its anchor, collapsing the selection.
        f->model->select({1, 1});
        f->model->extendSelection({0, 0});
        f->grid()->edit();
        QCOMPARE(f->model->selection(), range("B2"));
        QCOMPARE(f->grid()->editing(), std::optional<Coordinate>(Coordinate{1, 1}));
    }

    void escapeForgetsCopyAndCollapses() {
        f->open(10, 5, true, [](FakeSheetServer &server) { server.setCell(0, 0, "a"); });
        f->model->select({2, 2});
        f->model->extendSelection({4, 4});
        f->model->copy();
        f->key(Qt::Key_Escape);
        QVERIFY(!f->model->copied());
        QCOMPARE(f->model->copiedText(), QString());
        QCOMPARE(f->model->selection(), range("C3"));
        // With an unsaved draft Escape in the grid changes nothing.
        f->model->extendSelection({4, 4});
        f->model->copy();
        f->model->setDraft(QStringLiteral("draft"));
        f->key(Qt::Key_Escape);
        QVERIFY(f->model->copied());
        QCOMPARE(f->model->draft(), "draft");
    }

    void deleteKeysClearTheSelection_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("mayWrite");
        QTest::newRow("backspace") << int(Qt::Key_Backspace) << true;
        QTest::newRow("delete") << int(Qt::Key_Delete) << true;
        QTest::newRow("read-only") << int(Qt::Key_Delete) << false;
    }
    void deleteKeysClearTheSelection() {
        QFETCH(int, key);
        QFETCH(bool, mayWrite);
        f->open(10, 5, mayWrite, [](FakeSheetServer &server) {
            server.setCell(0, 0, "a");
            server.setCell(0, 1, "b");
        });
        f->model->extendSelection({0, 1});
        f->key(key);
        EditorFixture::settle();
        QTRY_COMPARE(f->posted(), (mayWrite ? QStringList{"A1=", "B1="} : QStringList()));
    }

    void clicksAndDragsSelect() {
        f->open(30, 10);
        QTest::mouseClick(f->viewport(), Qt::LeftButton, {}, f->centre(1, 1));
        QCOMPARE(f->model->selection(), range("B2"));
        QTest::mouseClick(f->viewport(), Qt::LeftButton, Qt::ShiftModifier, f->centre(3, 2));
        QCOMPARE(f->model->selection(), range("B2:C4"));
        QCOMPARE(f->model->selectionAnchor(), (Coordinate{1, 1}));
        // Press on C3 and drag to E6, then past the top-left corner of the grid.
        pressAndDrag(f->viewport(), f->centre(2, 2), f->centre(5, 4) - f->centre(2, 2));
        QCOMPARE(f->model->selection(), range("C3:E6"));
        sendMouse(f->viewport(), QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(f->model->selection(), range("A1:C3"));
        sendMouse(f->viewport(), QEvent::MouseButtonRelease, QPoint(2, 2), Qt::LeftButton, Qt::NoButton);
        // Once released, moving does nothing.
        sendMouse(f->viewport(), QEvent::MouseMove, f->centre(5, 4), Qt::NoButton, Qt::NoButton);
        QCOMPARE(f->model->selection(), range("A1:C3"));
        // Dragging below the viewport scrolls the grid and keeps extending.
        const QPoint below(f->centre(1, 0).x(), f->viewport()->height() + 60);
        pressAndDrag(f->viewport(), f->centre(1, 0), below - f->centre(1, 0));
        QTRY_VERIFY(f->grid()->scrollOffset().y() > 0);
        QTRY_VERIFY(f->model->selection().end.r > f->grid()->cellGeometry().rowAt(f->viewport()->height()));
        sendMouse(f->viewport(), QEvent::MouseButtonRelease, below, Qt::LeftButton, Qt::NoButton);
    }

    void clickWithUnsavedDraftSavesFirst() {
        f->open(10, 5);
        f->model->setDraft(QStringLiteral("42"));
        QTest::mouseClick(f->viewport(), Qt::LeftButton, {}, f->centre(4, 3));
        QTRY_COMPARE(f->model->selection(), range("D5"));
        QCOMPARE(f->posted(), QStringList{"A1=42"});
        // A refused save leaves the selection where the edit is.
        f->server->refuseBatch = 2;
        f->model->setDraft(QStringLiteral("43"));
        QTest::mouseClick(f->viewport(), Qt::LeftButton, {}, f->centre(0, 0));
        QTRY_VERIFY(!f->model->failedWrites().isEmpty());
        EditorFixture::settle();
        QCOMPARE(f->model->selection(), range("D5"));
        QCOMPARE(f->model->draft(), "43");
    }

    void headersSelectColumnsAndRows() {
        f->open(12, 6);
        const QPoint column = f->grid()->columnHeader()->sectionRect(2).center() - QPoint(10, 0);
        QTest::mouseClick(f->grid()->columnHeader(), Qt::LeftButton, {}, column);
        QCOMPARE(f->model->selection(), range("C1:C12"));
        const QRect row = f->grid()->rowHeader()->sectionRect(3);
        QTest::mouseClick(f->grid()->rowHeader(), Qt::LeftButton, {}, row.center() - QPoint(0, 6));
        QCOMPARE(f->model->selection(), range("A4:F4"));
        f->model->setDraft(QStringLiteral("x")); // not while an edit is unsaved
        QTest::mouseClick(f->grid()->columnHeader(), Qt::LeftButton, {}, column);
        QCOMPARE(f->model->selection(), range("A4:F4"));
    }

    void resizeDragPreviewsClampsAndSaves_data() {
        QTest::addColumn<ResizeCase>("row");
        QTest::newRow("column shrinks to the minimum") << ResizeCase{"col", 1, 0, -200, 16};
        QTest::newRow("column grows to the maximum") << ResizeCase{"col", 2, 1990, 50, 2000};
        QTest::newRow("row by 20 downwards") << ResizeCase{"row", 2, 0, 20, 52};
        QTest::newRow("row shrinks to the minimum") << ResizeCase{"row", 0, 40, -100, 16};
    }
    void resizeDragPreviewsClampsAndSaves() {
        QFETCH(ResizeCase, row);
        const auto &[axis, index, stored, delta, previewed] = row;
        const bool column = axis == u"col";
        f->open(20, 10, true, [&](FakeSheetServer &server) {
            if (stored)
                server.sizes[column ? "cols" : "rows"] = {{std::to_string(index), stored}};
        });
        SheetGridHeader *header = column ? f->grid()->columnHeader() : f->grid()->rowHeader();
        const QPoint handle = TestSheetGrid::handle(header, index, column);
        const QPoint step = column ? QPoint(1, 0) : QPoint(0, 1);
        const auto size = [&] {
            return column ? f->grid()->cellGeometry().width(index) : f->grid()->cellGeometry().height(index);
        };
        QCOMPARE(size(), stored ? double(stored) : (column ? 110.0 : 32.0));
        pressAndDrag(header, handle, step);
        QVERIFY(!f->grid()->resizing()); // one point is not a drag yet
        sendMouse(header, QEvent::MouseMove, handle + step * delta, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(f->grid()->resizing()->size, double(previewed));
        QCOMPARE(size(), double(previewed)); // cells and headers follow the preview live
        sendMouse(header, QEvent::MouseButtonRelease, handle + step * delta, Qt::LeftButton, Qt::NoButton);
        QTRY_VERIFY(!f->grid()->resizing());
        QVERIFY(!f->grid()->savingResize());
        QCOMPARE(f->server->posted, (QList<json>{{{axis.toStdString(), index}, {"size", previewed}}}));
    }

    void resizeEscapeCancelsAndDoubleClickFits() {
        f->open(10, 5, true, [](FakeSheetServer &server) { server.setCell(0, 1, std::string(20, 'w')); });
        SheetGridHeader *header = f->grid()->columnHeader();
        const QPoint handle = TestSheetGrid::handle(header, 1, true);
        pressAndDrag(header, handle, QPoint(40, 0));
        QCOMPARE(f->grid()->resizing()->size, 150.0);
        QTest::keyClick(header, Qt::Key_Escape);
        QVERIFY(!f->grid()->resizing());
        QCOMPARE(f->grid()->cellGeometry().width(1), 110.0);
        sendMouse(header, QEvent::MouseButtonRelease, handle + QPoint(40, 0), Qt::LeftButton, Qt::NoButton);
        QVERIFY(f->server->posted.isEmpty());
        QVERIFY(f->grid()->hasFocus()); // focus went back where it was
        // A double-click on a row handle fits nothing; on a column handle it fits the column.
        QTest::mouseDClick(f->grid()->rowHeader(), Qt::LeftButton, {},
                           TestSheetGrid::handle(f->grid()->rowHeader(), 0, false));
        EditorFixture::settle();
        QVERIFY(f->server->posted.isEmpty());
        QTest::mouseDClick(header, Qt::LeftButton, {}, handle);
        QTRY_COMPARE(f->server->posted.size(), 1);
        QVERIFY(f->server->posted.first().at("col") == 1 && f->server->posted.first().at("size") > 40);
        // No resize with an unsaved edit.
        f->model->setDraft(QStringLiteral("x"));
        pressAndDrag(header, handle, QPoint(40, 0));
        QVERIFY(!f->grid()->resizing());
        sendMouse(header, QEvent::MouseButtonRelease, handle + QPoint(40, 0), Qt::LeftButton, Qt::NoButton);
    }

    // Return, a double-click and the menu's changing items need write permission.
    void editingAndMenuFollowPermission_data() {
        QTest::addColumn<bool>("mayWrite");
        QTest::newRow("writable") << true;
        QTest::newRow("read-only") << false;
    }
    void editingAndMenuFollowPermission() {
        QFETCH(bool, mayWrite);
        f->open(10, 5, mayWrite, [](FakeSheetServer &server) { server.setCell(0, 0, "a"); });
        f->key(Qt::Key_Return);
        QCOMPARE(f->grid()->editing().has_value(), mayWrite);
        f->grid()->endEditing();
        QTest::mouseDClick(f->viewport(), Qt::LeftButton, {}, f->centre(2, 2));
        QCOMPARE(f->model->selection(), range("C3"));
        QCOMPARE(f->grid()->editing(), mayWrite ? std::optional<Coordinate>(Coordinate{2, 2}) : std::nullopt);
        f->grid()->endEditing();
        f->model->select({4, 4});
        // A menu on a cell outside the selection selects that cell first.
        std::unique_ptr<QMenu> menu(f->grid()->cellMenu({0, 0}, nullptr));
        QVERIFY(menu);
        QCOMPARE(f->model->selection(), range("A1"));
        QStringList items;
        for (QAction *action : menu->actions())
            if (!action->isSeparator())
                items << action->text() + (action->isEnabled() ? "" : " (off)");
        const QString off = mayWrite ? "" : " (off)";
        QCOMPARE(items, (QStringList{"Cut" + off, "Copy", "Paste" + off, "Clear contents" + off,
                                     "Fill down" + off, "Fill right" + off}));
        menu->actions().at(1)->trigger(); // Copy
        QCOMPARE(*f->clipboard->text(), "a");
        if (!mayWrite)
            return;
        // The selection moved after the menu was built: Paste does nothing.
        f->model->select({2, 2});
        menu->actions().at(2)->trigger();
        EditorFixture::settle();
        QVERIFY(f->posted().isEmpty());
        // A fresh menu pastes.
        menu.reset(f->grid()->cellMenu({2, 2}, nullptr));
        menu->actions().at(2)->trigger();
        QTRY_COMPARE(f->posted(), QStringList{"C3=a"});
        // No menu while an edit is unsaved.
        f->model->setDraft(QStringLiteral("x"));
        QVERIFY(!f->grid()->cellMenu({2, 2}, nullptr));
    }

    void cellNamesValuesAndSelection() {
        f->open(10, 5, true, [](FakeSheetServer &server) {
            server.setStyle("low", {{"lc", true}, {"fx", "#101010"}, {"k", "#111111"}});
            server.setCell(0, 0, "hello");
            server.setCell(2, 1, "=1+1");
            server.setCell(3, 3, "dim", "low");
        });
        QCOMPARE(cell(0, 0)->text(QAccessible::Name), "A1, hello");
        QCOMPARE(cell(1, 1)->text(QAccessible::Name), "B2, Empty");
        QCOMPARE(cell(2, 1)->text(QAccessible::Name), "B3, =1+1"); // the display text
        QCOMPARE(cell(3, 3)->text(QAccessible::Value), "Imported colours have low contrast");
        QCOMPARE(cell(0, 0)->text(QAccessible::Value), QString());
        QCOMPARE(cell(0, 0)->role(), QAccessible::Cell);
        auto *cellInfo = cell(2, 1)->tableCellInterface();
        QCOMPARE(QPoint(cellInfo->columnIndex(), cellInfo->rowIndex()), QPoint(1, 2));
        QCOMPARE(table()->indexOfChild(cell(2, 1)), 2 * 5 + 1);
        QCOMPARE(table()->child(2 * 5 + 1), cell(2, 1)); // one interface per cell, kept
        QVERIFY(cell(0, 0)->state().selected);
        f->model->select({1, 1});
        f->model->extendSelection({2, 2});
        QString selected;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                selected += cell(r, c)->state().selected ? u'x' : u'.';
        QCOMPARE(selected, "...."
                           ".xx."
                           ".xx."
                           "....");
        QCOMPARE(table()->tableInterface()->selectedCellCount(), 4);
        QVERIFY(cellInfo->isSelected());
        // The cell under a screen point.
        const QRect rect = cell(2, 1)->rect();
        QCOMPARE(table()->childAt(rect.center().x(), rect.center().y()), cell(2, 1));
    }

    void headerButtonsSelect() {
        f->open(10, 5);
        auto *grid = dynamic_cast<SheetGridAccessible *>(table());
        QAccessibleInterface *columnC = grid->child(grid->columnHeaderIndex(2));
        QAccessibleInterface *row4 = grid->child(grid->rowHeaderIndex(3));
        QCOMPARE(columnC->role(), QAccessible::Button);
        QCOMPARE(columnC->text(QAccessible::Name), "Select column C");
        QCOMPARE(row4->text(QAccessible::Name), "Select row 4");
        columnC->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(f->model->selection(), range("C1:C10"));
        row4->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(f->model->selection(), range("A4:E4"));
        QCOMPARE(cell(3, 0)->tableCellInterface()->rowHeaderCells().value(0), row4);
    }

    void childrenFollowTheSheetsShape() {
        f->open(0, 0); // no page: 100 x 26
        QCOMPARE(table()->role(), QAccessible::Table);
        QCOMPARE(table()->text(QAccessible::Name), "Spreadsheet grid");
        QCOMPARE(table()->tableInterface()->rowCount(), 100);
        QCOMPARE(cell(99, 25)->text(QAccessible::Name), "Z100, Empty");
        QVERIFY(!cell(100, 0));
        f->server = std::make_unique<FakeSheetServer>(f->transport, 3, 2);
        f->server->setCell(2, 1, "last");
        runTask(f->model->open(fixtures::summary(1, 1)));
        QCOMPARE(table()->tableInterface()->rowCount(), 3);
        QCOMPARE(table()->tableInterface()->columnCount(), 2);
        QCOMPARE(cell(2, 1)->text(QAccessible::Name), "B3, last");
        QCOMPARE(table()->indexOfChild(cell(2, 1)), 5);
        QCOMPARE(table()->childCount(), 3 * 2 + 2 + 3); // cells, column and row headers
    }
};

QTEST_MAIN(TestSheetGrid)
#include "tst_SheetGrid.moc"
