#include "E2eAccount.h"
#include "TaskRunner.h"

#include "async/DetachedTask.h"
#include "sheet/views/SheetPanels.h"
#include "sheet/views/SheetRenamePanel.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

// The panel frame and the Rename panel against a real server.
class TestSheetPanels : public QObject {
    Q_OBJECT

    std::unique_ptr<E2eAccount> account;
    std::shared_ptr<SheetModel> model;

private Q_SLOTS:
    void initTestCase() {
        setEscapedErrorHandler([](std::exception_ptr) { QFAIL("an exception escaped a background task"); });
        account = std::make_unique<E2eAccount>();
        QVERIFY2(account->ok(), qPrintable(account->error()));
    }
    void init() {
        model = account->model();
        const auto created = runTask(model->create(true));
        QVERIFY(created && model->page());
    }
    void cleanupTestCase() { setEscapedErrorHandler({}); }

    void renameReloadsListAndPage() {
        const quint64 id = model->page()->Sheet.ID;
        const QString before = model->page()->Sheet.Title;
        SheetPanels panels(model, QStringLiteral("Rename"), {});
        QSignalSpy closed(&panels, &QDialog::finished);
        panels.show();
        auto *rename = qobject_cast<SheetRenamePanel *>(panels.content());
        QVERIFY(rename);
        QCOMPARE(rename->titleField()->text(), before);
        rename->titleField()->setText(QStringLiteral("Quarterly plan"));
        rename->renameButton()->click();
        QVERIFY(closed.wait(20000));
        QCOMPARE(model->page()->Sheet.Title, QStringLiteral("Quarterly plan"));
        QCOMPARE(model->page()->Sheet.ID, id);
        bool listed = false;
        for (const SheetSummary &sheet : model->sheets())
            listed = listed || (sheet.ID == id && sheet.Title == QStringLiteral("Quarterly plan"));
        QVERIFY(listed);
    }

    void refusedRenameKeepsThePanel() {
        model->setDraft(QStringLiteral("unsaved"));
        SheetPanels panels(model, QStringLiteral("Rename"), {});
        panels.show();
        auto *rename = qobject_cast<SheetRenamePanel *>(panels.content());
        rename->titleField()->setText(QStringLiteral("Never"));
        rename->renameButton()->click();
        QTRY_VERIFY(panels.errorLabel()->isVisible());
        QCOMPARE(panels.errorLabel()->text(), QStringLiteral("Save or discard the current edit first."));
        QVERIFY(panels.isVisible());
        QCOMPARE(rename->titleField()->text(), QStringLiteral("Never"));
        QVERIFY(model->page()->Sheet.Title != QStringLiteral("Never"));
        model->setError(QString());
        QVERIFY(!panels.errorLabel()->isVisible());
    }

    void panelsByName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("registered") << "Comments"
                                    << "registered content";
        QTest::newRow("unknown") << "Nonsense"
                                 << "";
        QTest::newRow("names are case-sensitive") << "rename"
                                                  << "";
    }
    void panelsByName() {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        SheetPanels::registerPanel(QStringLiteral("Comments"),
                                   [](const std::shared_ptr<SheetModel> &, SheetPanels *) {
                                       return new QLabel(QStringLiteral("registered content"));
                                   });
        SheetPanels panels(model, name, {});
        panels.show();
        QCOMPARE(panels.windowTitle(), name);
        auto *label = qobject_cast<QLabel *>(panels.content());
        QCOMPARE(label ? label->text() : QString(), shown);
        QSignalSpy closed(&panels, &QDialog::finished);
        const auto buttons = panels.findChildren<QPushButton *>();
        for (QPushButton *button : buttons) {
            if (button->text() == QStringLiteral("Done"))
                button->click();
        }
        QCOMPARE(closed.size(), 1);
    }
};

QTEST_MAIN(TestSheetPanels)
#include "tst_SheetPanels.moc"
