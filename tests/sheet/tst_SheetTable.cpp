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
} // namespace

class TestSheetTable : public QObject {
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
};

QTEST_GUILESS_MAIN(TestSheetTable)
#include "tst_SheetTable.moc"
