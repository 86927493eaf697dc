#include "PanelServer.h"

#include <QTest>

using namespace fixtures;

namespace {
// A table page of one row, number `number`, under the server's saved view.
NativeResponse tablePage(int number, bool hasPrev, bool hasNext) {
    const json view = {
        {"sortCol", 1}, {"sortDesc", true}, {"filterCol", -1}, {"filterOp", "gt"}, {"filterVal", "3"}};
    const json cells = json::array({{{"R", number}, {"C", 1}, {"Raw", "x"}, {"Display", "x"}}});
    return reply(200, {{"View", view},
                       {"Rows", {{{"Number", number}, {"Cells", cells}}}},
                       {"HasNext", hasNext},
                       {"HasPrev", hasPrev}});
}

json historyEntry(quint64 id, const char *ref) {
    return {{"ID", id}, {"Ref", ref}, {"Who", "Ann"}, {"Old", "1"}, {"New", "2"}, {"When", "today"}};
}

json commentThread(qint64 r, qint64 c, const char *ref) {
    const json entries = json::array({{{"ID", 1}, {"Author", "Ann"}, {"Body", "Check"}}});
    return {{"RowPos", r}, {"ColPos", c}, {"Ref", ref}, {"Resolved", false}, {"Entries", entries}};
}

json sharingPage(const char *newLink) {
    return {{"People",
             json::array({{{"Member", {{"ID", 9}, {"Address", "bo@example.com"}}}, {"Role", "editor"}}})},
            {"Links", json::array({{{"ID", 12}, {"Role", "commenter"}}})},
            {"NewLink", newLink},
            {"Notice", ""}};
}
} // namespace

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
        page(1, tablePage(1, false, true));
        page(2, tablePage(51, true, false));
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

    void saveViewSendsEveryField_data() {
        QTest::addColumn<qint64>("sortCol");
        QTest::addColumn<bool>("desc");
        QTest::addColumn<QString>("sentDesc");
        QTest::newRow("no sort, ascending") << qint64(-1) << false << QString();
        QTest::newRow("column C, descending") << qint64(2) << true << QStringLiteral("1");
    }
    void saveViewSendsEveryField() {
        QFETCH(qint64, sortCol);
        QFETCH(bool, desc);
        QFETCH(QString, sentDesc);
        server->on("POST /sheets/42/view", notice(200, "view-saved", "Saved view."));
        table->setView(ViewSpec{sortCol, desc, 3, "equals", "a b&c=d"});
        QVERIFY(runTask(table->saveView()));
        QCOMPARE(server->lastForm("/sheets/42/view"), (FormFields{{"sortCol", QString::number(sortCol)},
                                                                  {"sortDesc", sentDesc},
                                                                  {"filterCol", "3"},
                                                                  {"filterOp", "equals"},
                                                                  {"filterVal", "a b&c=d"}}));
        QCOMPARE(model->notice(), "Saved view.");
    }

    void saveViewFailures() {
        // Refused by the server: its message, and false.
        server->on("POST /sheets/42/view",
                   notice(400, "invalid-view", "Choose the sort and filter columns from the list."));
        QVERIFY(!runTask(table->saveView()));
        QCOMPARE(model->error(), "Choose the sort and filter columns from the list.");
        // With an unsaved cell edit nothing is sent.
        transport->clearRequests();
        model->setDraft("typed");
        QVERIFY(!runTask(table->saveView()));
        QVERIFY(transport->requests().isEmpty());
        QCOMPARE(model->error(), "Save or discard the current edit first.");
    }

    void loadTableAppliesPageAndServerView() {
        page(1, tablePage(7, false, true));
        table->setView(ViewSpec{}); // unsaved edits are replaced by the server's copy
        runTask(table->loadTable());
        const FakeTransport::Request &request = transport->requests().constLast();
        QCOMPARE(request.contentType, "application/json");
        QCOMPARE(request.maxBytes, qint64(4'194'304));
        QVERIFY(!request.body);
        QVERIFY(table->table());
        QCOMPARE(table->table()->Rows->first().Number, qint64(7));
        QCOMPARE(table->view(), (ViewSpec{1, true, -1, "gt", "3"}));
        QVERIFY(table->mayGoForward());
        QVERIFY(!table->mayGoBack());

        // A failure keeps the page and shows its message.
        page(1, answer(500, "{}"));
        runTask(table->loadTable());
        QVERIFY(!model->error().isEmpty());
        QCOMPARE(table->table()->Rows->first().Number, qint64(7));
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
        page(1, tablePage(3, false, false), 43);
        runTask(table->loadTable());
        QCOMPARE(transport->requests().constLast().path, "/sheets/43/table?page=1");
    }

    void confirmedWriteReloadsTheShownTable() {
        page(1, tablePage(1, false, false));
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

    void restoreSendsTheEntryAndReloadsEvenWhenRefused_data() {
        QTest::addColumn<int>("status");
        QTest::newRow("confirmed") << 200;
        QTest::newRow("refused") << 400;
    }
    void restoreSendsTheEntryAndReloadsEvenWhenRefused() {
        QFETCH(int, status);
        server->on("POST /sheets/42/restore", notice(status, "restored", "Restored 1 cell."));
        server->on("GET /sheets/42/history", reply(200, {{"Entries", json::array()}}));
        QCOMPARE(runTask(model->sheetHistory().restore(17)), status == 200);
        QCOMPARE(server->lastForm("/sheets/42/restore"), (FormFields{{"event", "17"}}));
        QCOMPARE(transport->paths().constLast(), "GET /sheets/42/history");
        QCOMPARE(status == 200 ? model->notice() : model->error(), "Restored 1 cell.");
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
        model->discard();
        // Refused by the server.
        server->on("POST /sheets/42/comments", notice(400, "empty-comment", "Write something."));
        QVERIFY(!runTask(comments.add("x")));
        QCOMPARE(model->error(), "Write something.");
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

    // A new link shows until the next change reloads the page; an address goes as typed.
    void newLinkShowsOnceAndGrantKeepsSpaces() {
        SheetSharing &sharing = model->sheetSharing();
        server->on("POST /sheets/42/share/link", reply(200, sharingPage("https://x/links/abc")));
        QVERIFY(runTask(sharing.createLink("commenter")));
        QCOMPARE(sharing.sharing()->NewLink, "https://x/links/abc");
        server->on("GET /sheets/42/share", reply(200, sharingPage("")));
        server->on("POST /sheets/42/share", notice(200, "done", "Done."));
        QVERIFY(runTask(sharing.grant(" bo@example.com ", "editor")));
        QCOMPARE(server->lastForm("/sheets/42/share"),
                 (FormFields{{"address", " bo@example.com "}, {"role", "editor"}}));
        QCOMPARE(sharing.sharing()->NewLink, QString());
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
