#include "EditorFixture.h"

#include "async/CancellableSleep.h"
#include "async/DetachedTask.h"
#include "editor/SheetCellEditor.h"
#include "editor/SheetFormulaBar.h"
#include "editor/SheetStatusBar.h"

#include <QLineEdit>
#include <QPushButton>

using nlohmann::json;

Q_DECLARE_METATYPE(Coordinate)
using KeyCase = std::tuple<int, int, Coordinate, Coordinate>; // key, modifiers, cell edited, selected after

// The in-cell editor, the formula bar and the status bar sharing one draft.
class TestSheetEditing : public QObject {
    Q_OBJECT

    std::unique_ptr<EditorFixture> f;

    // The open cell editor once it holds the focus; null when none opened.
    SheetCellEditor *openedEditor() {
        SheetCellEditor *editor = f->grid()->cellEditor();
        if (editor && !QTest::qWaitFor([editor] { return editor->hasFocus(); }))
            return nullptr;
        return editor;
    }
    QLineEdit *contents() const { return f->editor->formulaBar()->contentsField(); }
    // Saves wait while held is set, then answer with A1 holding raw.
    void holdSaves(const bool &held, const char *raw) {
        f->transport->setHandler([&held, raw](const FakeTransport::Request &) -> QCoro::Task<NativeResponse> {
            while (held)
                co_await sleepFor(std::chrono::milliseconds(5), {});
            co_return fixtures::answer(200,
                                       fixtures::gridJson(9, json::array({fixtures::cellJson(0, 0, raw)})));
        });
    }

private Q_SLOTS:
    void init() { f = std::make_unique<EditorFixture>(); }
    void cleanup() { f.reset(); }

    void firstUndoRestoresTheSavedText() {
        f->open(10, 5, true, [](FakeSheetServer &server) { server.setCell(1, 1, "3"); });
        f->model->select({1, 1});
        f->type("7");
        SheetCellEditor *editor = openedEditor();
        QVERIFY(editor);
        QCOMPARE(editor->text(), "7");
        QCOMPARE(contents()->text(), "7");
        QTest::keyClick(editor, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(editor->text(), "3");
        QCOMPARE(f->model->draft(), "3");
        QVERIFY(!f->model->hasUnconfirmedChanges());
        QTest::keyClick(editor, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(editor->text(), "7");
        QCOMPARE(f->model->draft(), "7");
        QCOMPARE(contents()->text(), "7");
        // Opened with Return, the field starts at the saved text with nothing to undo.
        f->model->discard();
        f->grid()->endEditing();
        f->key(Qt::Key_Return);
        editor = openedEditor();
        QCOMPARE(editor->text(), "3");
        QVERIFY(!editor->isUndoAvailable());
        f->model->setDraft(QStringLiteral("31")); // the draft typed elsewhere shows in the field
        QCOMPARE(editor->text(), "31");
        QCOMPARE(editor->accessibleName(), "Edit B2");
    }

    void editorKeysSaveAndMove_data() {
        QTest::addColumn<KeyCase>("row");
        const int shift = Qt::ShiftModifier, enter = Qt::Key_Return;
        QTest::newRow("return moves down") << KeyCase{enter, 0, {1, 1}, {2, 1}};
        QTest::newRow("enter moves down") << KeyCase{Qt::Key_Enter, 0, {1, 1}, {2, 1}};
        QTest::newRow("shift return moves up") << KeyCase{enter, shift, {1, 1}, {0, 1}};
        QTest::newRow("shift return at the top") << KeyCase{enter, shift, {0, 1}, {0, 1}};
        QTest::newRow("tab moves right") << KeyCase{Qt::Key_Tab, 0, {1, 1}, {1, 2}};
        QTest::newRow("shift tab moves left") << KeyCase{Qt::Key_Backtab, shift, {1, 1}, {1, 0}};
        QTest::newRow("escape abandons") << KeyCase{Qt::Key_Escape, 0, {1, 1}, {1, 1}};
    }
    void editorKeysSaveAndMove() {
        QFETCH(KeyCase, row);
        const auto &[key, modifiers, start, after] = row;
        f->open(10, 5);
        f->model->select(start);
        f->type("5");
        const bool saves = key != Qt::Key_Escape;
        QTest::keyClick(openedEditor(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QTRY_COMPARE(f->posted(), saves ? QStringList{start.ref() + "=5"} : QStringList());
        QTRY_COMPARE(f->model->selectionAnchor(), after);
        QTRY_VERIFY(!f->grid()->editing());
        QVERIFY(f->grid()->hasFocus());
        QCOMPARE(f->model->cells().value(start).display, saves ? "5" : QString());
        // The draft is the saved text of the selected cell again.
        QCOMPARE(f->model->draft(), f->model->cells().value(after).raw);
        QVERIFY(!f->model->hasUnconfirmedChanges());
    }

    void refusedSaveKeepsTheDraftEverywhere() {
        f->open(10, 5);
        f->server->refuseBatch = 1;
        f->type("9");
        QTest::keyClick(openedEditor(), Qt::Key_Return);
        QTRY_VERIFY(!f->model->failedWrites().isEmpty());
        EditorFixture::settle();
        QVERIFY(f->grid()->editing());
        QCOMPARE(f->grid()->cellEditor()->text(), "9");
        QCOMPARE(contents()->text(), "9");
        QCOMPARE(f->model->selectionAnchor(), (Coordinate{0, 0}));
        QVERIFY(!f->model->error().isEmpty());
        // With failed writes pending, the formula bar takes no typing and the grid opens no editor.
        QVERIFY(!contents()->isEnabled());
        f->grid()->endEditing();
        f->grid()->edit();
        QVERIFY(!f->grid()->editing());
        QCOMPARE(f->editor->statusBar()->noticeText(), "Unsaved cell edit");
    }

    // Closing the editor leaves the draft; an oversized draft is refused and kept.
    void closingOrRefusingKeepsTheDraft() {
        f->open(10, 5);
        f->type("left");
        QVERIFY(openedEditor());
        f->grid()->endEditing();
        QCOMPARE(f->model->draft(), "left");
        QCOMPARE(f->editor->statusBar()->noticeText(), "Unsaved cell edit");
        QVERIFY(!f->model->cellEditorHasFocus()); // the closed editor answers for no one
        QTRY_VERIFY(!f->grid()->cellEditor());
        const QString huge(SheetModel::maxInputBytes + 1, u'x');
        f->model->setDraft(huge);
        contents()->setFocus();
        QTest::keyClick(contents(), Qt::Key_Return);
        EditorFixture::settle();
        QVERIFY(f->server->posted.isEmpty());
        QCOMPARE(contents()->text(), huge);
        QCOMPARE(f->model->draft(), huge);
    }

    void formulaBarKeysAndButtons_data() {
        QTest::addColumn<int>("key"); // 0: the Save button, -1: the Discard button
        QTest::addColumn<Coordinate>("after");
        QTest::addColumn<bool>("saved");
        QTest::newRow("return") << int(Qt::Key_Return) << Coordinate{1, 0} << true;
        QTest::newRow("tab") << int(Qt::Key_Tab) << Coordinate{0, 1} << true;
        QTest::newRow("save button") << 0 << Coordinate{1, 0} << true;
        QTest::newRow("escape") << int(Qt::Key_Escape) << Coordinate{0, 0} << false;
        QTest::newRow("discard button") << -1 << Coordinate{0, 0} << false;
    }
    void formulaBarKeysAndButtons() {
        QFETCH(int, key);
        QFETCH(Coordinate, after);
        QFETCH(bool, saved);
        f->open(10, 5, true, [](FakeSheetServer &server) { server.setCell(0, 0, "1"); });
        SheetFormulaBar *bar = f->editor->formulaBar();
        QVERIFY(bar->saveButton()->isHidden());
        contents()->setFocus();
        QTest::keyClicks(contents(), "2");
        QCOMPARE(f->model->draft(), "12");
        QVERIFY(!bar->saveButton()->isHidden() && !bar->discardButton()->isHidden());
        if (key > 0)
            QTest::keyClick(contents(), Qt::Key(key));
        else
            (key == 0 ? bar->saveButton() : bar->discardButton())->click();
        QTRY_COMPARE(f->model->selectionAnchor(), after);
        EditorFixture::settle();
        QCOMPARE(f->posted(), saved ? QStringList{"A1=12"} : QStringList());
        QCOMPARE(f->model->cells().value({0, 0}).raw, saved ? "12" : "1");
        QVERIFY(bar->saveButton()->isHidden());
        QCOMPARE(contents()->text(), f->model->draft());
    }

    void formulaBarFollowsTheModel() {
        f->open(10, 5, true, [](FakeSheetServer &server) { server.setCell(2, 1, "x"); });
        SheetFormulaBar *bar = f->editor->formulaBar();
        // Retyping the saved text hides Save and Discard again.
        contents()->setFocus();
        QTest::keyClicks(contents(), "a");
        QVERIFY(!bar->saveButton()->isHidden());
        QTest::keyClick(contents(), Qt::Key_Backspace);
        QVERIFY(bar->saveButton()->isHidden());
        QLineEdit *range = bar->rangeField();
        QCOMPARE(range->placeholderText(), "Cell or range");
        const auto go = [range](const char *text) {
            range->setFocus();
            range->selectAll();
            QTest::keyClicks(range, text);
            QTest::keyClick(range, Qt::Key_Return);
        };
        go("b3:c4");
        QCOMPARE(f->model->selection(), (CellRange{{2, 1}, {3, 2}}));
        QCOMPARE(contents()->text(), "x");
        go("Z99");
        QCOMPARE(f->model->error(), "Choose a range inside the visible sheet, after saving your edit.");
        f->model->select({0, 4});
        QCOMPARE(range->text(), "E1");
        // Read-only: the contents field is disabled.
        auto readOnly = std::make_unique<EditorFixture>();
        readOnly->open(10, 5, false);
        QVERIFY(!readOnly->editor->formulaBar()->contentsField()->isEnabled());
    }

    void editorDestroyedWhileSaving() {
        f->open(10, 5);
        bool held = true;
        holdSaves(held, "v");
        f->type("v");
        QTest::keyClick(openedEditor(), Qt::Key_Return);
        QTRY_VERIFY(f->model->busy());
        f->editor.reset(); // the window closes with the save in flight
        held = false;
        QTRY_VERIFY(!f->model->busy());
        QCOMPARE(f->model->cells().value({0, 0}).raw, "v");
        QCOMPARE(f->model->selectionAnchor(), (Coordinate{1, 0}));
        QVERIFY(!f->model->cellEditorHasFocus());
    }

    void statusBarTexts() {
        f->open(0, 0);
        SheetStatusBar *status = f->editor->statusBar();
        QCOMPARE(status->tabText(), "Sheet");
        QVERIFY(!status->showsProgress());
        f->server = std::make_unique<FakeSheetServer>(f->transport, 10, 5);
        runTask(f->model->open(fixtures::summary(1, 1)));
        QCOMPARE(status->tabText(), "T");
        f->model->setNotice(QStringLiteral("Saved"));
        QCOMPARE(status->noticeText(), "Saved");
        f->model->setDraft(QStringLiteral("d"));
        QCOMPARE(status->noticeText(), "Unsaved cell edit");
        QCOMPARE(status->liveText(), f->model->live());
        // Progress shows while a save is held back.
        bool held = true;
        holdSaves(held, "d");
        startDetached(f->model, [model = f->model] { return model->commit(false, false); });
        QTRY_VERIFY(status->showsProgress());
        QVERIFY(!contents()->isEnabled());
        QVERIFY(!f->editor->formulaBar()->saveButton()->isEnabled());
        held = false;
        QTRY_VERIFY(!status->showsProgress());
        QCOMPARE(status->noticeText(), "Saved");
    }
};

QTEST_MAIN(TestSheetEditing)
#include "tst_SheetEditing.moc"
