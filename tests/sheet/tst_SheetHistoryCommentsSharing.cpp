#include "PanelServer.h"

#include <QTest>

using namespace fixtures;

namespace {
QByteArray body(const json &value) {
    return QByteArray::fromStdString(value.dump());
}

json historyEntry(quint64 id, const char *ref) {
    return {{"ID", id}, {"Ref", ref}, {"Who", "Ann"}, {"Old", "1"}, {"New", "2"}, {"When", "today"}};
}

json commentThread(qint64 r, qint64 c, const char *ref, bool resolved) {
    return {{"RowPos", r},
            {"ColPos", c},
            {"Ref", ref},
            {"Resolved", resolved},
            {"Entries", json::array({{{"ID", 1}, {"Author", "Ann"}, {"Body", "Check"}}})}};
}

json sharingPage(const char *newLink) {
    return {{"People",
             json::array({{{"Member", {{"ID", 9}, {"Address", "bo@example.com"}}}, {"Role", "editor"}}})},
            {"Links", json::array({{{"ID", 12}, {"Role", "commenter"}}})},
            {"NewLink", newLink},
            {"Notice", ""}};
}
} // namespace

class TestSheetHistoryCommentsSharing : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeTransport> transport;
    std::unique_ptr<PanelServer> server;
    std::shared_ptr<SheetModel> model;

    void answer(const char *key, NativeResponse response) {
        server->answers[QString::fromUtf8(key)] = response;
    }

private Q_SLOTS:
    void init() {
        transport = std::make_shared<FakeTransport>();
        server = std::make_unique<PanelServer>(transport);
        model = SheetModel::make(transport);
        server->open(*model, 42);
    }

    void historyLoadsAndEmptiesWithoutEntries() {
        SheetHistory &history = model->sheetHistory();
        answer("GET /sheets/42/history",
               fixtures::answer(200, body({{"Entries", {historyEntry(17, "B2")}}})));
        runTask(history.loadHistory());
        QCOMPARE(history.history().size(), 1);
        QCOMPARE(history.history().first().Ref, QStringLiteral("B2"));
        QCOMPARE(transport->requests().constLast().maxBytes, qint64(4'194'304));
        // A failure keeps the list.
        answer("GET /sheets/42/history", fixtures::answer(503, "{}"));
        runTask(history.loadHistory());
        QVERIFY(!model->error().isEmpty());
        QCOMPARE(history.history().size(), 1);
        answer("GET /sheets/42/history", fixtures::answer(200, "{}"));
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
        answer("POST /sheets/42/restore", PanelServer::notice(status, "restored", "Restored 1 cell."));
        answer("GET /sheets/42/history", fixtures::answer(200, body({{"Entries", json::array()}})));
        QCOMPARE(runTask(model->sheetHistory().restore(17)), status == 200);
        QCOMPARE(server->lastForm(QStringLiteral("/sheets/42/restore")),
                 (QMap<QString, QString>{{QStringLiteral("event"), QStringLiteral("17")}}));
        QCOMPARE(transport->paths().constLast(), QStringLiteral("GET /sheets/42/history"));
        QCOMPARE(status == 200 ? model->notice() : model->error(), QStringLiteral("Restored 1 cell."));
    }

    void undoSendsNoFields() {
        answer("POST /sheets/42/undo", PanelServer::notice(200, "undone", "Undid your last edit (1 cell)."));
        QVERIFY(runTask(model->sheetHistory().undo()));
        const auto request = std::find_if(transport->requests().cbegin(), transport->requests().cend(),
                                          [](const auto &r) { return r.path == u"/sheets/42/undo"; });
        QCOMPARE(request->body.value_or("missing"), QByteArray());
        QCOMPARE(model->notice(), QStringLiteral("Undid your last edit (1 cell)."));
    }

    void staleLogsAndThreadsAreDropped() {
        answer("GET /sheets/42/history", fixtures::answer(200, body({{"Entries", {historyEntry(1, "A1")}}})));
        answer("GET /sheets/42/comments",
               fixtures::answer(200, body({{"Threads", {commentThread(0, 0, "A1", false)}}})));
        auto historyGate = std::make_shared<PanelServer::Gate>();
        auto commentsGate = std::make_shared<PanelServer::Gate>();
        server->gates[QStringLiteral("GET /sheets/42/history")] = historyGate;
        server->gates[QStringLiteral("GET /sheets/42/comments")] = commentsGate;
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
        answer("GET /sheets/42/comments",
               fixtures::answer(200, body({{"Threads", {commentThread(4, 2, "C5", false)}}})));
        answer("POST /sheets/42/comments",
               PanelServer::notice(200, "added", "Your comment on C5 was added."));
        model->select({4, 2});
        QVERIFY(runTask(comments.add(QStringLiteral("  Check this\n"))));
        QCOMPARE(server->lastForm(QStringLiteral("/sheets/42/comments")),
                 (QMap<QString, QString>{{QStringLiteral("r"), QStringLiteral("4")},
                                         {QStringLiteral("c"), QStringLiteral("2")},
                                         {QStringLiteral("body"), QStringLiteral("  Check this\n")}}));
        QCOMPARE(comments.threads().size(), 1);

        // Refused by the model: the earlier "added" must not count as this one's success.
        model->setDraft(QStringLiteral("unsaved"));
        transport->clearRequests();
        QVERIFY(!runTask(comments.add(QStringLiteral("again"))));
        QCOMPARE(transport->paths(), QStringList{QStringLiteral("GET /sheets/42/comments")});
        model->discard();
        // Refused by the server.
        answer("POST /sheets/42/comments", PanelServer::notice(400, "empty-comment", "Write something."));
        QVERIFY(!runTask(comments.add(QStringLiteral("x"))));
        QCOMPARE(model->error(), QStringLiteral("Write something."));
    }

    void commentRules() {
        SheetComments &comments = model->sheetComments();
        QVERIFY(!comments.mayAdd(QStringLiteral(" \n\t ")));
        QVERIFY(comments.mayAdd(QStringLiteral(" a ")));
        model->setDraft(QStringLiteral("unsaved"));
        QVERIFY(!comments.mayAdd(QStringLiteral("a")));
        model->discard();
        answer("POST /sheets/42/comments/resolve", PanelServer::notice(200, "resolved", "Resolved."));
        answer("GET /sheets/42/comments", fixtures::answer(200, "{}"));
        runTask(comments.resolve(3, 1));
        QCOMPARE(server->lastForm(QStringLiteral("/sheets/42/comments/resolve")),
                 (QMap<QString, QString>{{QStringLiteral("r"), QStringLiteral("3")},
                                         {QStringLiteral("c"), QStringLiteral("1")}}));
        QCOMPARE(transport->paths().constLast(), QStringLiteral("GET /sheets/42/comments"));
        QVERIFY(comments.threads().isEmpty());
    }

    void sharingRequests_data() {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("grant keeps spaces")
            << 0 << "/sheets/42/share" << QStringList{"address", " bo@example.com ", "role", "editor"};
        QTest::newRow("remove access") << 1 << "/sheets/42/share/revoke" << QStringList{"member", "9"};
        QTest::newRow("revoke link") << 2 << "/sheets/42/share/link/revoke" << QStringList{"link", "12"};
    }
    void sharingRequests() {
        QFETCH(int, operation);
        QFETCH(QString, path);
        QFETCH(QStringList, fields);
        SheetSharing &sharing = model->sheetSharing();
        answer("POST /sheets/42/share/link", fixtures::answer(200, body(sharingPage("https://x/links/abc"))));
        QVERIFY(runTask(sharing.createLink(QStringLiteral("commenter"))));
        QCOMPARE(sharing.sharing()->NewLink, QStringLiteral("https://x/links/abc"));
        answer("GET /sheets/42/share", fixtures::answer(200, body(sharingPage(""))));
        server->answers[QStringLiteral("POST ") + path] = PanelServer::notice(200, "done", "Done.");
        const bool confirmed = runTask(
            operation == 0   ? sharing.grant(QStringLiteral(" bo@example.com "), QStringLiteral("editor"))
            : operation == 1 ? sharing.removeAccess(9)
                             : sharing.revokeLink(12));
        QVERIFY(confirmed);
        QMap<QString, QString> expected;
        for (qsizetype i = 0; i + 1 < fields.size(); i += 2)
            expected.insert(fields.at(i), fields.at(i + 1));
        QCOMPARE(server->lastForm(path), expected);
        QCOMPARE(sharing.sharing()->NewLink, QString()); // shown once only
        QCOMPARE(sharing.sharing()->People->first().Member.ID, quint64(9));
    }

    void sharingFailuresKeepThePage() {
        SheetSharing &sharing = model->sheetSharing();
        answer("GET /sheets/42/share", fixtures::answer(200, body(sharingPage(""))));
        runTask(sharing.load());
        const auto before = sharing.sharing();
        answer("POST /sheets/42/share/link",
               PanelServer::notice(400, "invalid-role", "A link grants viewer or commenter access."));
        QVERIFY(!runTask(sharing.createLink(QStringLiteral("owner"))));
        QCOMPARE(model->error(), QStringLiteral("A link grants viewer or commenter access."));
        QCOMPARE(server->lastForm(QStringLiteral("/sheets/42/share/link")),
                 (QMap<QString, QString>{{QStringLiteral("role"), QStringLiteral("owner")}}));
        answer("GET /sheets/42/share", fixtures::answer(403, "{}"));
        runTask(sharing.load());
        QCOMPARE(sharing.sharing(), before);
        server->open(*model, 43);
        QVERIFY(!sharing.sharing()); // nothing of the sheet before shows on another
    }
};

QTEST_GUILESS_MAIN(TestSheetHistoryCommentsSharing)
#include "tst_SheetHistoryCommentsSharing.moc"
