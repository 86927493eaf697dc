#include "DownloadTransport.h"
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
QByteArray body(const json &value) {
    return QByteArray::fromStdString(value.dump());
}

QByteArray tablePage(bool hasPrev, bool hasNext, qint64 r) {
    const json view = {
        {"sortCol", 2}, {"sortDesc", true}, {"filterCol", -1}, {"filterOp", "nonempty"}, {"filterVal", ""}};
    const json cells = json::array({{{"R", r}, {"C", 3}, {"Raw", "=1+1"}, {"Display", "2"}},
                                    {{"R", r}, {"C", 5}, {"Raw", "x"}, {"Display", "x"}}});
    return body({{"View", view},
                 {"Rows", {{{"Number", r + 1}, {"Cells", cells}}}},
                 {"HasNext", hasNext},
                 {"HasPrev", hasPrev}});
}

QStringList buttonTexts(const QWidget *panel) {
    QStringList texts;
    for (const QPushButton *button : panel->findChildren<QPushButton *>())
        texts.append(button->text());
    return texts;
}
} // namespace

class TestSheetPanelViews : public QObject {
    Q_OBJECT

    std::shared_ptr<DownloadTransport> transport;
    std::unique_ptr<PanelServer> server;
    std::shared_ptr<SheetModel> model;

    void answer(const char *key, NativeResponse response) {
        server->answers[QString::fromUtf8(key)] = response;
    }

private Q_SLOTS:
    void init() {
        transport = std::make_shared<DownloadTransport>();
        server = std::make_unique<PanelServer>(transport);
        model = SheetModel::make(transport);
    }

    void panelsByName() {
        const auto make = [this](const char *name) {
            return std::unique_ptr<SheetFeaturePanel>(
                SheetFeaturePanel::make(QString::fromUtf8(name), model));
        };
        QVERIFY(qobject_cast<SheetHistoryPanel *>(make("History").get()));
        QVERIFY(qobject_cast<SheetDataPanel *>(make("Data").get()));
        QVERIFY(qobject_cast<SheetCommentsPanel *>(make("Comments").get()));
        QVERIFY(qobject_cast<SheetSharePanel *>(make("Share").get()));
        QCOMPARE(qobject_cast<SheetFilesPanel *>(make("Import").get())->actionButton()->text(),
                 QStringLiteral("Choose workbook"));
        QVERIFY(qobject_cast<SheetFilesPanel *>(make("Export").get()));
        QVERIFY(!make("Rename"));
        QVERIFY(!make("history"));
    }

    void tableViewPagesAndSelectsRealCells() {
        server->open(*model, 42);
        answer("GET /sheets/42/table?page=1", fixtures::answer(200, tablePage(false, true, 7)));
        answer("GET /sheets/42/table?page=2", fixtures::answer(200, tablePage(true, false, 60)));
        SheetTableView view(model);
        view.resize(600, 400);
        view.show();
        QTRY_VERIFY(model->sheetTable().table());
        QCOMPARE(view.pageLabel()->text(), QStringLiteral("Page 1"));
        QVERIFY(!view.previousButton()->isEnabled());
        QVERIFY(view.nextButton()->isEnabled());
        // The second cell of the row sits after the number box and the first cell's column.
        const QRectF second = view.rows()->cellRect(0, 1);
        QCOMPARE(second.left(), double(SheetTableView::numberWidth) + 110);
        QTest::mouseClick(view.rows(), Qt::LeftButton, {}, second.center().toPoint());
        QCOMPARE(model->selectionAnchor(), (Coordinate{7, 5}));
        QTest::mouseClick(view.nextButton(), Qt::LeftButton);
        QTRY_COMPARE(view.pageLabel()->text(), QStringLiteral("Page 2"));
        QTRY_VERIFY(view.previousButton()->isEnabled());
        QVERIFY(!view.nextButton()->isEnabled());
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
        answer("GET /sheets/42/table?page=1", fixtures::answer(200, tablePage(false, false, 0)));
        answer("POST /sheets/42/view", PanelServer::notice(status, "view-saved", "Saved."));
        SheetDataPanel panel(model);
        QSignalSpy done(&panel, &SheetFeaturePanel::done);
        panel.show();
        QTRY_COMPARE(panel.sortColumn()->currentText(), QStringLiteral("C")); // the server's settings
        QVERIFY(panel.descending()->isChecked());
        QCOMPARE(panel.applyButton()->isEnabled(), mayWrite);

        panel.descending()->setChecked(false);
        QTest::keyClicks(panel.filterValue(), QStringLiteral("abc"));
        QCOMPARE(model->sheetTable().view().filterVal, QStringLiteral("abc"));
        QVERIFY(!model->sheetTable().view().sortDesc);
        if (!mayWrite) {
            QTest::mouseClick(panel.openButton(), Qt::LeftButton);
            QVERIFY(model->showTable());
            QCOMPARE(done.count(), 1);
            return;
        }
        QTest::mouseClick(panel.applyButton(), Qt::LeftButton);
        QTRY_VERIFY(!model->busy());
        QCOMPARE(server->lastForm(QStringLiteral("/sheets/42/view")).value(QStringLiteral("filterVal")),
                 QStringLiteral("abc"));
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
        const json entry = {{"ID", 17},   {"Ref", "B2"}, {"Who", "Ann"},
                            {"Old", "1"}, {"New", "2"},  {"When", ""}};
        answer("GET /sheets/42/history", fixtures::answer(200, body({{"Entries", json::array({entry})}})));
        answer("POST /sheets/42/restore",
               PanelServer::notice(200, "restored", "Restored 1 cell to the text before that edit."));
        SheetHistoryPanel panel(model);
        panel.show();
        QTRY_COMPARE(panel.findChildren<QGroupBox *>().size(), 1);
        const auto shows = [&](const QString &text) {
            const auto labels = panel.findChildren<QLabel *>();
            return std::any_of(labels.cbegin(), labels.cend(),
                               [&](const QLabel *l) { return l->text() == text; });
        };
        QVERIFY(shows(QStringLiteral("Before: 1")) && shows(QStringLiteral("After: 2")) &&
                shows(QStringLiteral("Ann")));
        const QStringList buttons = buttonTexts(&panel);
        QCOMPARE(buttons.contains(QStringLiteral("Restore before this edit")), mayWrite);
        if (!mayWrite)
            return;
        for (QPushButton *button : panel.findChildren<QPushButton *>())
            if (button->text() == u"Restore before this edit")
                QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(panel.confirmation());
        transport->clearRequests();
        QMessageBox *box = panel.confirmation();
        for (QAbstractButton *button : box->buttons())
            if ((box->buttonRole(button) == QMessageBox::AcceptRole) == confirm) {
                button->click();
                break;
            }
        if (confirm) {
            QTRY_VERIFY(transport->paths().contains(QStringLiteral("GET /sheets/42/history")));
            QCOMPARE(server->lastForm(QStringLiteral("/sheets/42/restore")).value(QStringLiteral("event")),
                     QStringLiteral("17"));
            QTRY_VERIFY(shows(QStringLiteral("Restored 1 cell to the text before that edit.")));
        } else {
            QTest::qWait(0);
            QVERIFY(!transport->paths().contains(QStringLiteral("POST /sheets/42/restore")));
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
        const json entries = json::array({{{"ID", 1}, {"Author", "Ann"}, {"Body", "Look"}}});
        const auto thread = [&](int r, int c, const char *ref, bool resolved) {
            return json{
                {"RowPos", r}, {"ColPos", c}, {"Ref", ref}, {"Entries", entries}, {"Resolved", resolved}};
        };
        answer("GET /sheets/42/comments",
               fixtures::answer(
                   200,
                   body({{"Threads", json::array({thread(1, 1, "B2", true), thread(4, 2, "C5", false)})}})));
        answer("POST /sheets/42/comments", PanelServer::notice(200, "added", "Added."));
        SheetCommentsPanel panel(model);
        panel.show();
        QTRY_COMPARE(panel.findChildren<QGroupBox *>().size(), 2);
        QCOMPARE(panel.findChildren<QGroupBox *>().at(0)->title(), QStringLiteral("B2 \u00B7 Resolved"));
        QCOMPARE(panel.findChildren<QGroupBox *>().at(1)->title(), QStringLiteral("C5"));
        QCOMPARE(buttonTexts(&panel).count(QStringLiteral("Resolve thread")), mayComment ? 1 : 0);
        QCOMPARE(panel.addButton()->isVisibleTo(&panel), mayComment);
        if (!mayComment)
            return;
        model->select({4, 2});
        QCOMPARE(panel.target()->text(), QStringLiteral("Comment on C5"));
        panel.body()->setPlainText(QStringLiteral(" \n "));
        QVERIFY(!panel.addButton()->isEnabled());
        panel.body()->setPlainText(QStringLiteral("Fine"));
        QVERIFY(panel.addButton()->isEnabled());
        QTest::mouseClick(panel.addButton(), Qt::LeftButton);
        QTRY_COMPARE(panel.body()->toPlainText(), QString());
        QCOMPARE(server->lastForm(QStringLiteral("/sheets/42/comments")).value(QStringLiteral("r")),
                 QStringLiteral("4"));
    }

    void sharePanelShowsANewLinkOnce() {
        server->open(*model, 42);
        const json people =
            json::array({{{"Member", {{"ID", 9}, {"Address", "bo@example.com"}}}, {"Role", "editor"}}});
        const json links = json::array({{{"ID", 12}, {"Role", "commenter"}}});
        const auto share = [&](const char *newLink) {
            return fixtures::answer(
                200, body({{"People", people}, {"Links", links}, {"NewLink", newLink}, {"Notice", ""}}));
        };
        answer("GET /sheets/42/share", share(""));
        answer("POST /sheets/42/share/link", share("https://x/links/t"));
        answer("POST /sheets/42/share/link/revoke",
               PanelServer::notice(200, "link-revoked", "The link no longer opens the sheet."));
        SheetSharePanel panel(model);
        panel.show();
        QTRY_VERIFY(buttonTexts(&panel).contains(QStringLiteral("Revoke commenter link 12")));
        QVERIFY(buttonTexts(&panel).contains(QStringLiteral("Remove access")));
        QVERIFY(!panel.grantButton()->isEnabled());
        QTest::keyClicks(panel.address(), QStringLiteral("cy@example.com"));
        QVERIFY(panel.grantButton()->isEnabled());
        QVERIFY(!panel.newLink()->isVisibleTo(&panel));
        QTest::mouseClick(panel.createLinkButton(), Qt::LeftButton);
        QTRY_VERIFY(panel.newLink()->isVisibleTo(&panel));
        QCOMPARE(panel.newLink()->text(), QStringLiteral("https://x/links/t"));
        for (QPushButton *button : panel.findChildren<QPushButton *>())
            if (button->text() == u"Revoke commenter link 12") {
                QTest::mouseClick(button, Qt::LeftButton);
                break;
            }
        QTRY_VERIFY(!panel.newLink()->isVisibleTo(&panel));
        QCOMPARE(
            server->lastForm(QStringLiteral("/sheets/42/share/link/revoke")).value(QStringLiteral("link")),
            QStringLiteral("12"));
        // Owners only: on another account's page the controls are off.
        server->mayShare = false;
        server->open(*model, 43);
        QVERIFY(!panel.grantButton()->isEnabled());
        QVERIFY(!panel.createLinkButton()->isEnabled());
    }

    void exportPanelRemovesTheWorkbookWhateverHappens_data() {
        QTest::addColumn<int>("ending");
        QTest::newRow("dialog cancelled") << 0;
        QTest::newRow("panel closed with the dialog open") << 1;
    }
    void exportPanelRemovesTheWorkbookWhateverHappens() {
        QFETCH(int, ending);
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
        QCOMPARE(panel->actionButton()->text(), QStringLiteral("Save workbook\u2026"));
        QTest::mouseClick(panel->actionButton(), Qt::LeftButton);
        QTRY_VERIFY(panel->dialog());
        QVERIFY(QFileInfo::exists(folder));
        QCOMPARE(panel->dialog()->selectedFiles().value(0).section(u'/', -1),
                 QStringLiteral("Sheet 42.xlsx"));
        if (ending == 0)
            panel->dialog()->reject();
        else
            panel.reset();
        QVERIFY(!QFileInfo::exists(folder));
        QVERIFY(!model->sheetFiles().workbook());
        // An unsaved edit keeps the button off.
        if (panel) {
            model->setDraft(QStringLiteral("typed"));
            QVERIFY(!panel->actionButton()->isEnabled());
        }
    }
};

QTEST_MAIN(TestSheetPanelViews)
#include "tst_SheetPanelViews.moc"
