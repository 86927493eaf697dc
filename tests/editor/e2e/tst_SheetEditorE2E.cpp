#include "E2eAccount.h"
#include "EditorWidgets.h"
#include "TaskRunner.h"

#include "editor/SheetCellEditor.h"

#include <QAccessible>

namespace {
// What a screen reader hears for a cell: the text the grid shows there.
QString shown(SheetEditor &editor, int r, int c) {
    QAccessibleInterface *grid = QAccessible::queryAccessibleInterface(editor.grid());
    return grid->tableInterface()->cellAt(r, c)->text(QAccessible::Name);
}
} // namespace

// Editing through the editor's widgets against a running tabrel-server.
class TestSheetEditorE2E : public QObject {
    Q_OBJECT

    std::unique_ptr<E2eAccount> account;
    std::optional<SheetSummary> sheet;
    QList<std::shared_ptr<CancellationSource>> watches;

    std::shared_ptr<SheetModel> openModel(bool watch) {
        auto model = account->opened(*sheet);
        if (watch)
            watches.append(startWatching(model));
        return model;
    }

private Q_SLOTS:
    void initTestCase() {
        account = std::make_unique<E2eAccount>();
        QVERIFY2(account->ok(), qPrintable(account->error()));
    }
    void init() {
        sheet = account->createSheet();
        QVERIFY(sheet);
    }
    void cleanup() {
        for (const auto &stop : std::as_const(watches))
            stop->cancel();
        watches.clear();
    }
    void cleanupTestCase() { account.reset(); }

    void typedFormulaIsComputedAndShownLiveElsewhere() {
        auto model = openModel(true), other = openModel(true);
        auto editor = showEditor(model), otherEditor = showEditor(other);
        QVERIFY(editor && otherEditor);
        QTRY_COMPARE_WITH_TIMEOUT(other->live(), QStringLiteral("Live"), 20000);

        editor->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(editor.get()));
        editor->grid()->setFocus();
        QTest::keyClicks(editor->grid(), QStringLiteral("=6*7"));
        SheetCellEditor *field = editor->grid()->cellEditor();
        QVERIFY(field);
        QTRY_VERIFY(field->hasFocus());
        QCOMPARE(field->text(), QStringLiteral("=6*7"));
        QTest::keyClick(field, Qt::Key_Return);

        QTRY_COMPARE_WITH_TIMEOUT(shown(*editor, 0, 0), QStringLiteral("A1, 42"), 20000);
        // After the answer, which the live echo may precede.
        QTRY_COMPARE_WITH_TIMEOUT(model->selection(), (CellRange{{1, 0}, {1, 0}}), 20000);
        QTRY_VERIFY(!editor->grid()->editing());
        QCOMPARE(model->error(), QString());
        // The second editor on the same sheet shows the computed value without reloading.
        QTRY_COMPARE_WITH_TIMEOUT(shown(*otherEditor, 0, 0), QStringLiteral("A1, 42"), 20000);
        QCOMPARE(other->cells().value({0, 0}).raw, QStringLiteral("=6*7"));
    }
};

QTEST_MAIN(TestSheetEditorE2E)
#include "tst_SheetEditorE2E.moc"
