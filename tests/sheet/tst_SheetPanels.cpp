#include "PanelServer.h"

#include <QTest>

using namespace fixtures;

// The table, history, comments and sharing panels against a scripted server.
class TestSheetPanels : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeTransport> transport;
    std::unique_ptr<PanelServer> server;
    std::shared_ptr<SheetModel> model;
    SheetTable *table = nullptr;

    void page(int n, NativeResponse response, int sheet = 42) {
        server->on(QStringLiteral("GET /sheets/%1/table?page=%2").arg(sheet).arg(n), std::move(response));
    }
    // Page 1 (row 1) leads to page 2 (row 51), the last; page 1 is loaded.
    void twoPages() {
        page(1, tablePage(false, true, 0));
        page(2, tablePage(true, false, 50));
        runTask(table->loadTable());
    }

private Q_SLOTS:
    void init() {
        transport = std::make_shared<FakeTransport>();
        server = std::make_unique<PanelServer>(transport);
        model = SheetModel::make(transport);
        table = &model->sheetTable();
        server->open(*model, 42);
    }

    // The stored view's round trip is pinned end to end; here, the "off" values of sort and order.
    void saveViewSendsEveryField() {
        server->on("POST /sheets/42/view", notice(200, "view-saved", "Saved view."));
        table->setView(ViewSpec{-1, false, 3, "equals", "a b&c=d"});
        QVERIFY(runTask(table->saveView()));
        QCOMPARE(server->lastForm("/sheets/42/view"), (FormFields{{"sortCol", "-1"},
                                                                  {"sortDesc", ""},
                                                                  {"filterCol", "3"},
                                                                  {"filterOp", "equals"},
                                                                  {"filterVal", "a b&c=d"}}));
        QCOMPARE(model->notice(), "Saved view.");
    }

    void pageButtonsFollowTheServerAndTheGuards() {
        twoPages();
        runTask(table->previousPage()); // no page before: nothing happens
        QCOMPARE(table->tablePage(), qint64(1));
        model->setDraft("unsaved");
        QVERIFY(!table->mayGoForward());
        runTask(table->nextPage());
        QCOMPARE(table->tablePage(), qint64(1));
        model->discard();
        runTask(table->nextPage());
        QCOMPARE(table->tablePage(), qint64(2));
        QCOMPARE(table->table()->Rows->first().Number, qint64(51));
        QVERIFY(!table->mayGoForward());
        QVERIFY(table->mayGoBack());
        runTask(table->previousPage());
        QCOMPARE(table->tablePage(), qint64(1));
        QCOMPARE(table->table()->Rows->first().Number, qint64(1));
        // The view's own load of page 1, held back while the page button asks for page 2, is dropped.
        auto gate = std::make_shared<PanelServer::Gate>();
        server->gates["GET /sheets/42/table?page=1"] = gate;
        auto first = table->loadTable();
        runTask(table->nextPage());
        gate->release();
        runTask(std::move(first));
        QCOMPARE(table->table()->Rows->first().Number, qint64(51));
        QCOMPARE(table->tablePage(), qint64(2));
    }

    void anotherSheetStartsAtPageOneAndDropsStaleAnswers() {
        twoPages();
        runTask(table->nextPage());
        auto gate = std::make_shared<PanelServer::Gate>();
        server->gates["GET /sheets/42/table?page=2"] = gate;
        page(2, answer(500, "{}"));
        auto late = table->loadTable();
        server->open(*model, 43);
        QCOMPARE(table->tablePage(), qint64(1));
        QVERIFY(!table->table());
        gate->release();
        runTask(std::move(late));
        QVERIFY(!table->table());
        QCOMPARE(model->error(), QString()); // a failure for the sheet before says nothing here
        page(1, tablePage(false, false, 2), 43);
        runTask(table->loadTable());
        QCOMPARE(transport->requests().constLast().path, "/sheets/43/table?page=1");
    }

    void confirmedWriteReloadsTheShownTable() {
        page(1, tablePage(false, false, 0));
        server->on("POST /api/sheets/42/tabs/142/cells/batch",
                   answer(200, gridJson(2, json::array({cellJson(0, 0, "5")}))));
        QVERIFY(runTask(model->write({CellWrite{0, 0, "5", {}, {}}}, false)));
        QVERIFY(!transport->paths().contains("GET /sheets/42/table?page=1"));
        model->setShowTable(true);
        QVERIFY(runTask(model->write({CellWrite{0, 0, "6", {}, {}}}, false)));
        QCOMPARE(transport->paths().constLast(), "GET /sheets/42/table?page=1");
        QVERIFY(table->table());
    }

    void historyLoadsAndEmptiesWithoutEntries() {
        SheetHistory &history = model->sheetHistory();
        server->on("GET /sheets/42/history", reply(200, {{"Entries", {historyEntry(17, "B2")}}}));
        runTask(history.loadHistory());
        QCOMPARE(history.history().size(), 1);
        QCOMPARE(history.history().first().Ref, "B2");
        QCOMPARE(transport->requests().constLast().maxBytes, qint64(4'194'304));
        // A failure keeps the list.
        server->on("GET /sheets/42/history", answer(503, "{}"));
        runTask(history.loadHistory());
        QVERIFY(!model->error().isEmpty());
        QCOMPARE(history.history().size(), 1);
        server->on("GET /sheets/42/history", answer(200, "{}"));
        runTask(history.loadHistory());
        QVERIFY(history.history().isEmpty());
    }

    void restoreSendsTheEntryAndReloadsEvenWhenRefused() {
        server->on("POST /sheets/42/restore", notice(400, "restored", "Restored 1 cell."));
        server->on("GET /sheets/42/history", reply(200, {{"Entries", json::array()}}));
        QVERIFY(!runTask(model->sheetHistory().restore(17)));
        QCOMPARE(server->lastForm("/sheets/42/restore"), (FormFields{{"event", "17"}}));
        QCOMPARE(transport->paths().constLast(), "GET /sheets/42/history");
        QCOMPARE(model->error(), "Restored 1 cell.");
    }

    void staleLogsAndThreadsAreDropped() {
        server->on("GET /sheets/42/history", reply(200, {{"Entries", {historyEntry(1, "A1")}}}));
        server->on("GET /sheets/42/comments", reply(200, {{"Threads", {commentThread(0, 0, "A1")}}}));
        auto historyGate = std::make_shared<PanelServer::Gate>();
        auto commentsGate = std::make_shared<PanelServer::Gate>();
        server->gates["GET /sheets/42/history"] = historyGate;
        server->gates["GET /sheets/42/comments"] = commentsGate;
        auto history = model->sheetHistory().loadHistory();
        auto comments = model->sheetComments().load();
        server->open(*model, 43);
        historyGate->release();
        commentsGate->release();
        runTask(std::move(history));
        runTask(std::move(comments));
        QVERIFY(model->sheetHistory().history().isEmpty());
        QVERIFY(model->sheetComments().threads().isEmpty());
    }

    void commentAddGoesToTheAnchorAndClearsOnlyWhenAdded() {
        SheetComments &comments = model->sheetComments();
        server->on("GET /sheets/42/comments", reply(200, {{"Threads", {commentThread(4, 2, "C5")}}}));
        server->on("POST /sheets/42/comments", notice(200, "added", "Your comment on C5 was added."));
        model->select({4, 2});
        QVERIFY(runTask(comments.add("  Check this\n")));
        QCOMPARE(server->lastForm("/sheets/42/comments"),
                 (FormFields{{"r", "4"}, {"c", "2"}, {"body", "  Check this\n"}}));
        QCOMPARE(comments.threads().size(), 1);
        // Refused by the model: the earlier "added" must not count as this one's success.
        model->setDraft("unsaved");
        transport->clearRequests();
        QVERIFY(!runTask(comments.add("again")));
        QCOMPARE(transport->paths(), QStringList{"GET /sheets/42/comments"});
    }

    void commentRules() {
        SheetComments &comments = model->sheetComments();
        QVERIFY(!comments.mayAdd(" \n\t "));
        QVERIFY(comments.mayAdd(" a "));
        model->setDraft("unsaved");
        QVERIFY(!comments.mayAdd("a"));
        model->discard();
        server->on("POST /sheets/42/comments/resolve", notice(200, "resolved", "Resolved."));
        server->on("GET /sheets/42/comments", answer(200, "{}"));
        runTask(comments.resolve(3, 1));
        QCOMPARE(server->lastForm("/sheets/42/comments/resolve"), (FormFields{{"r", "3"}, {"c", "1"}}));
        QCOMPARE(transport->paths().constLast(), "GET /sheets/42/comments");
        QVERIFY(comments.threads().isEmpty());
    }

    void sharingFailuresKeepThePage() {
        SheetSharing &sharing = model->sheetSharing();
        server->on("GET /sheets/42/share", reply(200, sharingPage("")));
        runTask(sharing.load());
        const auto before = sharing.sharing();
        server->on("POST /sheets/42/share/link",
                   notice(400, "invalid-role", "A link grants viewer or commenter access."));
        QVERIFY(!runTask(sharing.createLink("owner")));
        QCOMPARE(model->error(), "A link grants viewer or commenter access.");
        QCOMPARE(server->lastForm("/sheets/42/share/link"), (FormFields{{"role", "owner"}}));
        server->on("GET /sheets/42/share", answer(403, "{}"));
        runTask(sharing.load());
        QCOMPARE(sharing.sharing(), before);
        server->open(*model, 43);
        QVERIFY(!sharing.sharing()); // nothing of the sheet before shows on another
    }
};

QTEST_GUILESS_MAIN(TestSheetPanels)
#include "tst_SheetPanels.moc"
