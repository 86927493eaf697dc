#include "E2eAccount.h"
#include "TaskRunner.h"

#include "async/CancellationSource.h"
#include "async/DetachedTask.h"
#include "editor/SheetCellEditor.h"
#include "editor/SheetEditor.h"
#include "editor/SheetGrid.h"
#include "editor/SheetGridHeader.h"

#include <QAccessible>
#include <QTest>

namespace {
// What a screen reader hears for a cell: the text the grid shows there.
QString shown(SheetEditor &editor, int r, int c) {
    QAccessibleInterface *grid = QAccessible::queryAccessibleInterface(editor.grid());
    return grid->tableInterface()->cellAt(r, c)->text(QAccessible::Name);
}

void sendMouse(QWidget *target, QEvent::Type type, const QPoint &at, Qt::MouseButton button,
               Qt::MouseButtons held) {
    QMouseEvent event(type, QPointF(at), QPointF(target->mapToGlobal(at)), button, held, {});
    QCoreApplication::sendEvent(target, &event);
}
} // namespace

// Editing through the editor's widgets against a running tabrel-server.
class TestSheetEditorE2E : public QObject {
    Q_OBJECT

    std::unique_ptr<E2eAccount> account;
    std::optional<SheetSummary> sheet;
    QList<std::shared_ptr<CancellationSource>> watches;

    std::shared_ptr<SheetModel> openModel(bool watch) {
        auto model = account->model();
        runTask(model->open(*sheet));
        if (watch) {
            auto stop = std::make_shared<CancellationSource>();
            startDetached(model, [model, token = stop->token()] { return model->watch(token); });
            watches.append(stop);
        }
        return model;
    }
    static std::unique_ptr<SheetEditor> show(std::shared_ptr<SheetModel> model) {
        auto editor = std::make_unique<SheetEditor>(std::move(model));
        editor->resize(900, 600);
        editor->show();
        editor->activateWindow();
        if (!QTest::qWaitForWindowExposed(editor.get()))
            return nullptr;
        editor->grid()->setFocus();
        return editor;
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
        auto model = openModel(true);
        auto other = openModel(true);
        auto editor = show(model);
        auto otherEditor = show(other);
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
        QTRY_COMPARE_WITH_TIMEOUT(model->selection(), (CellRange{{1, 0}, {1, 0}}),
                                  20000); // after the answer, which the live echo may precede
        QTRY_VERIFY(!editor->grid()->editing());
        QCOMPARE(model->error(), QString());
        // The second editor on the same sheet shows the computed value without reloading.
        QTRY_COMPARE_WITH_TIMEOUT(shown(*otherEditor, 0, 0), QStringLiteral("A1, 42"), 20000);
        QCOMPARE(other->cells().value({0, 0}).raw, QStringLiteral("=6*7"));
    }

    void resizeDragIsStoredAndReadBack() {
        auto model = openModel(false);
        auto editor = show(model);
        QVERIFY(editor);
        SheetGridHeader *header = editor->grid()->columnHeader();
        const QRect section = header->sectionRect(1);
        const QPoint handle(section.right() - 2, section.center().y());
        sendMouse(header, QEvent::MouseButtonPress, handle, Qt::LeftButton, Qt::LeftButton);
        sendMouse(header, QEvent::MouseMove, handle + QPoint(45, 0), Qt::NoButton, Qt::LeftButton);
        QCOMPARE(editor->grid()->cellGeometry().width(1), 155.0);
        sendMouse(header, QEvent::MouseButtonRelease, handle + QPoint(45, 0), Qt::LeftButton, Qt::NoButton);
        QTRY_VERIFY_WITH_TIMEOUT(!editor->grid()->savingResize(), 20000);
        QCOMPARE(model->error(), QString());
        QCOMPARE(editor->grid()->cellGeometry().width(1), 155.0); // now from the stored sizes

        auto reader = openModel(false);
        auto readerEditor = show(reader);
        QVERIFY(readerEditor);
        QCOMPARE(readerEditor->grid()->cellGeometry().width(1), 155.0);
        QCOMPARE(readerEditor->grid()->cellGeometry().width(0), 110.0);
    }
};

QTEST_MAIN(TestSheetEditorE2E)
#include "tst_SheetEditorE2E.moc"
