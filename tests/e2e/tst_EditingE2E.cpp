#include "E2eAccount.h"
#include "TaskRunner.h"

#include <QTest>

class TestEditingE2E : public QObject {
    Q_OBJECT

    std::unique_ptr<E2eAccount> account;
    std::shared_ptr<MemoryClipboard> clipboard;
    std::shared_ptr<SheetModel> model;
    std::optional<SheetSummary> sheet;

    // What a second client sees after opening the sheet afresh.
    std::shared_ptr<SheetModel> reopened() {
        auto reader = account->model();
        runTask(reader->open(*sheet));
        return reader;
    }

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
        QVERIFY(runTask(model->write({CellWrite{0, 0, "1", {}, {}}, CellWrite{1, 0, "2", {}, {}},
                                      CellWrite{0, 1, "=A1*10", {}, {}}, CellWrite{1, 1, "=A2*10+$A$1", {}, {}}},
                                     false)));
        model->select({0, 0});
        model->extendSelection({1, 1});
        model->copy();
        QCOMPARE(*clipboard->text(), QStringLiteral("1\t=A1*10\n2\t=A2*10+$A$1"));
        model->select({3, 2}); // C4
        runTask(model->paste());
        QCOMPARE(model->error(), QString());

        const auto reader = reopened();
        const auto at = [&](const char *ref) { return reader->cells().value(*Coordinate::parse(QString::fromUtf8(ref))); };
        QCOMPARE(at("C4").raw, QStringLiteral("1"));
        QCOMPARE(at("D4").raw, QStringLiteral("=C4*10"));
        QCOMPARE(at("D4").display, QStringLiteral("10"));
        QCOMPARE(at("D5").raw, QStringLiteral("=C5*10+$A$1"));
        QCOMPARE(at("D5").display, QStringLiteral("21"));

        // Text typed elsewhere and pasted is taken as it is.
        clipboard->setText(QStringLiteral("=A1*10"));
        model->select({9, 9});
        runTask(model->paste());
        QCOMPARE(reopened()->cells().value({9, 9}).raw, QStringLiteral("=A1*10"));
    }

    void boldRangeIsStoredAndReadBack() {
        QVERIFY(runTask(model->write({CellWrite{0, 0, "a", {}, {}}, CellWrite{1, 1, "b", {}, {}}}, false)));
        model->select({0, 0});
        model->extendSelection({1, 1});
        QVERIFY(!model->everySelectedCell(&CellStyle::b));
        runTask(model->format({{QStringLiteral("bold"), true}}));
        QCOMPARE(model->error(), QString());
        QVERIFY(model->everySelectedCell(&CellStyle::b));

        const auto reader = reopened();
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
        QCOMPARE(reopened()->sizes().cols->value(QStringLiteral("2")), 154.0);
    }
};

QTEST_GUILESS_MAIN(TestEditingE2E)
#include "tst_EditingE2E.moc"
