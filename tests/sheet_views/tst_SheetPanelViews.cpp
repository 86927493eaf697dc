#include "PanelServer.h"

#include "sheet/views/SheetCommentsPanel.h"
#include "sheet/views/SheetDataPanel.h"
#include "sheet/views/SheetFilesPanel.h"
#include "sheet/views/SheetHistoryPanel.h"
#include "sheet/views/SheetSharePanel.h"
#include "sheet/views/SheetTableView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace fixtures;

namespace {
// The panel's button showing `text`, or null.
QPushButton *button(const QWidget *panel, const QString &text) {
    for (QPushButton *button : panel->findChildren<QPushButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}

bool shows(const QWidget *panel, const QString &text) {
    const auto labels = panel->findChildren<QLabel *>();
    return std::any_of(labels.cbegin(), labels.cend(),
                       [&](const QLabel *label) { return label->text() == text; });
}
} // namespace

class TestSheetPanelViews : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeTransport> transport;
    std::unique_ptr<PanelServer> server;
    std::shared_ptr<SheetModel> model;

private Q_SLOTS:
    void init() {
        transport = std::make_shared<FakeTransport>();
        server = std::make_unique<PanelServer>(transport);
        model = SheetModel::make(transport);
    }

    void tableViewPagesAndSelectsRealCells() {
        server->open(*model, 42);
        server->on("GET /sheets/42/table?page=1", tablePage(false, true, 7));
        server->on("GET /sheets/42/table?page=2", tablePage(true, false, 60));
        SheetTableView view(model);
        view.resize(600, 400);
        view.show();
        QTRY_VERIFY(model->sheetTable().table());
        QCOMPARE(view.pageLabel()->text(), "Page 1");
        QVERIFY(!view.previousButton()->isEnabled() && view.nextButton()->isEnabled());
        // The second cell of the row sits after the number box and the first cell's column.
        const QRectF second = view.rows()->cellRect(0, 1);
        QCOMPARE(second.left(), double(SheetTableView::numberWidth) + 110);
        QTest::mouseClick(view.rows(), Qt::LeftButton, {}, second.center().toPoint());
        QCOMPARE(model->selectionAnchor(), (Coordinate{7, 5}));
        QTest::mouseClick(view.nextButton(), Qt::LeftButton);
        QTRY_COMPARE(view.pageLabel()->text(), "Page 2");
        QTRY_VERIFY(view.previousButton()->isEnabled() && !view.nextButton()->isEnabled());
        QTest::mouseClick(view.rows(), Qt::LeftButton, {}, view.rows()->cellRect(0, 0).center().toPoint());
        QCOMPARE(model->selectionAnchor(), (Coordinate{60, 3}));
        model->setShowTable(true);
        QTest::mouseClick(view.backButton(), Qt::LeftButton);
        QVERIFY(!model->showTable());
    }

    void dataPanelEditsSavesAndOpens_data() {
        QTest::addColumn<bool>("mayWrite");
        QTest::addColumn<int>("status");
        QTest::newRow("saved") << true << 200;
        QTest::newRow("refused") << true << 400;
        QTest::newRow("reader") << false << 200;
    }
    void dataPanelEditsSavesAndOpens() {
        QFETCH(bool, mayWrite);
        QFETCH(int, status);
        server->open(*model, 42, mayWrite);
        server->on("GET /sheets/42/table?page=1", tablePage(false, false, 0));
        server->on("POST /sheets/42/view", notice(status, "view-saved", "Saved."));
        SheetDataPanel panel(model);
        QSignalSpy done(&panel, &SheetFeaturePanel::done);
        panel.show();
        QTRY_COMPARE(panel.sortColumn()->currentText(), "C"); // the server's settings
        QVERIFY(panel.descending()->isChecked() && panel.applyButton()->isEnabled() == mayWrite);
        panel.descending()->setChecked(false);
        QTest::keyClicks(panel.filterValue(), "abc");
        QCOMPARE(model->sheetTable().view().filterVal, "abc");
        QVERIFY(!model->sheetTable().view().sortDesc);
        if (!mayWrite) {
            QTest::mouseClick(panel.openButton(), Qt::LeftButton);
            QVERIFY(model->showTable());
            QCOMPARE(done.count(), 1);
            return;
        }
        QTest::mouseClick(panel.applyButton(), Qt::LeftButton);
        QTRY_VERIFY(!model->busy());
        QCOMPARE(server->lastForm("/sheets/42/view").value("filterVal"), "abc");
        QCOMPARE(model->showTable(), status == 200);
        QCOMPARE(done.count(), status == 200 ? 1 : 0);
    }

    void historyPanelRestoresAfterConfirming_data() {
        QTest::addColumn<bool>("mayWrite");
        QTest::addColumn<bool>("confirm");
        QTest::newRow("confirmed") << true << true;
        QTest::newRow("cancelled") << true << false;
        QTest::newRow("reader") << false << false;
    }
    void historyPanelRestoresAfterConfirming() {
        QFETCH(bool, mayWrite);
        QFETCH(bool, confirm);
        server->open(*model, 42, mayWrite);
        server->on("GET /sheets/42/history", reply(200, {{"Entries", {historyEntry(17, "B2")}}}));
        const char *restored = "Restored 1 cell to the text before that edit.";
        server->on("POST /sheets/42/restore", notice(200, "restored", restored));
        SheetHistoryPanel panel(model);
        panel.show();
        QTRY_COMPARE(panel.findChildren<QGroupBox *>().size(), 1);
        QVERIFY(shows(&panel, "Before: 1") && shows(&panel, "After: 2") && shows(&panel, "Ann"));
        QPushButton *restore = button(&panel, "Restore before this edit");
        QCOMPARE(bool(restore), mayWrite);
        if (!mayWrite)
            return;
        QTest::mouseClick(restore, Qt::LeftButton);
        QMessageBox *box = panel.confirmation();
        transport->clearRequests();
        for (QAbstractButton *choice : box->buttons())
            if ((box->buttonRole(choice) == QMessageBox::AcceptRole) == confirm) {
                choice->click();
                break;
            }
        if (confirm) {
            QTRY_VERIFY(transport->paths().contains("GET /sheets/42/history"));
            QCOMPARE(server->lastForm("/sheets/42/restore").value("event"), "17");
            QTRY_VERIFY(shows(&panel, restored));
        } else {
            QTest::qWait(0);
            QVERIFY(!transport->paths().contains("POST /sheets/42/restore"));
        }
    }

    void commentsPanelForWritersAndReaders_data() {
        QTest::addColumn<bool>("mayComment");
        QTest::newRow("commenter") << true;
        QTest::newRow("reader") << false;
    }
    void commentsPanelForWritersAndReaders() {
        QFETCH(bool, mayComment);
        server->mayComment = mayComment;
        server->open(*model, 42);
        const json threads = json::array({commentThread(1, 1, "B2", true), commentThread(4, 2, "C5")});
        server->on("GET /sheets/42/comments", reply(200, {{"Threads", threads}}));
        server->on("POST /sheets/42/comments", notice(200, "added", "Added."));
        SheetCommentsPanel panel(model);
        panel.show();
        QTRY_COMPARE(panel.findChildren<QGroupBox *>().size(), 2);
        QCOMPARE(panel.findChildren<QGroupBox *>().at(0)->title(), "B2 \u00B7 Resolved");
        QCOMPARE(panel.findChildren<QGroupBox *>().at(1)->title(), "C5");
        const auto buttons = panel.findChildren<QPushButton *>(); // resolved threads have none
        QCOMPARE(int(std::count_if(buttons.cbegin(), buttons.cend(),
                                   [](auto *b) { return b->text() == u"Resolve thread"; })),
                 mayComment ? 1 : 0);
        QCOMPARE(panel.addButton()->isVisibleTo(&panel), mayComment);
        if (!mayComment)
            return;
        model->select({4, 2});
        QCOMPARE(panel.target()->text(), "Comment on C5");
        panel.body()->setPlainText(" \n ");
        QVERIFY(!panel.addButton()->isEnabled());
        panel.body()->setPlainText("Fine");
        QVERIFY(panel.addButton()->isEnabled());
        QTest::mouseClick(panel.addButton(), Qt::LeftButton);
        QTRY_COMPARE(panel.body()->toPlainText(), QString());
        QCOMPARE(server->lastForm("/sheets/42/comments").value("r"), "4");
    }

    void sharePanelShowsANewLinkOnce() {
        server->open(*model, 42);
        server->on("GET /sheets/42/share", reply(200, sharingPage("")));
        server->on("POST /sheets/42/share/link", reply(200, sharingPage("https://x/links/t")));
        server->on("POST /sheets/42/share/link/revoke",
                   notice(200, "link-revoked", "The link no longer opens it."));
        SheetSharePanel panel(model);
        panel.show();
        QTRY_VERIFY(button(&panel, "Revoke commenter link 12"));
        QVERIFY(button(&panel, "Remove access") && !panel.grantButton()->isEnabled());
        QTest::keyClicks(panel.address(), "cy@example.com");
        QVERIFY(panel.grantButton()->isEnabled());
        QVERIFY(!panel.newLink()->isVisibleTo(&panel));
        QTest::mouseClick(panel.createLinkButton(), Qt::LeftButton);
        QTRY_VERIFY(panel.newLink()->isVisibleTo(&panel));
        QCOMPARE(panel.newLink()->text(), "https://x/links/t");
        QTest::mouseClick(button(&panel, "Revoke commenter link 12"), Qt::LeftButton);
        QTRY_VERIFY(!panel.newLink()->isVisibleTo(&panel));
        QCOMPARE(server->lastForm("/sheets/42/share/link/revoke").value("link"), "12");
        // Owners only: on another account's page the controls are off.
        server->mayShare = false;
        server->open(*model, 43);
        QVERIFY(!panel.grantButton()->isEnabled() && !panel.createLinkButton()->isEnabled());
    }

    void exportPanelRemovesTheWorkbookWhateverHappens_data() {
        QTest::addColumn<bool>("closePanel");
        QTest::newRow("dialog cancelled") << false;
        QTest::newRow("panel closed with the dialog open") << true;
    }
    void exportPanelRemovesTheWorkbookWhateverHappens() {
        QFETCH(bool, closePanel);
        server->open(*model, 42);
        QString folder;
        transport->setDownloadHandler(
            [&folder](QString, QString destination, CancellationToken) -> QCoro::Task<> {
                folder = QFileInfo(destination).absolutePath();
                QFile file(destination);
                if (file.open(QIODevice::WriteOnly))
                    file.write("PK");
                co_return;
            });
        auto panel = std::make_unique<SheetFilesPanel>(model, false);
        panel->show();
        QCOMPARE(panel->actionButton()->text(), "Save workbook\u2026");
        QTest::mouseClick(panel->actionButton(), Qt::LeftButton);
        QTRY_VERIFY(panel->dialog());
        QVERIFY(QFileInfo::exists(folder));
        QCOMPARE(panel->dialog()->selectedFiles().value(0).section(u'/', -1), "Sheet 42.xlsx");
        if (closePanel)
            panel.reset();
        else
            panel->dialog()->reject();
        QVERIFY(!QFileInfo::exists(folder) && !model->sheetFiles().workbook());
        if (panel) { // an unsaved edit keeps the button off
            model->setDraft("typed");
            QVERIFY(!panel->actionButton()->isEnabled());
        }
    }
};

QTEST_MAIN(TestSheetPanelViews)
#include "tst_SheetPanelViews.moc"
