// The panels of an open sheet against the real server: rename, the sorted and filtered table,
// version history with restore and undo (seen in the grid and on the live stream), and comments.

#include "EventStream.h"
#include "ServerProcess.h"
#include "SheetApi.h"

#include <QTest>

namespace {
const std::string annEmail = "ann@example.com";
const std::string bobEmail = "bob@example.com";
const std::string password = "correct horse battery";

std::string raw(const nlohmann::json &grid, std::int64_t r, std::int64_t c) {
    const auto cell = SheetApi::cell(grid, r, c);
    return cell.is_object() ? cell["raw"].get<std::string>() : std::string();
}

// The row numbers of a table page, in order.
QList<int> numbers(const nlohmann::json &page) {
    QList<int> result;
    for (const auto &row : page["Rows"])
        result.push_back(row["Number"].get<int>());
    return result;
}

std::string notice(const httplib::Result &answer) {
    return TestClient::json(answer)["notice"].get<std::string>();
}

// Table settings: the defaults, or `base`, overridden by `view`.
std::map<std::string, std::string>
viewForm(const QVariantMap &view, std::map<std::string, std::string> base = {{"sortCol", "-1"},
                                                                             {"sortDesc", ""},
                                                                             {"filterCol", "-1"},
                                                                             {"filterOp", "contains"},
                                                                             {"filterVal", ""}}) {
    for (auto it = view.cbegin(); it != view.cend(); ++it)
        base[it.key().toStdString()] = it.value().toString().toStdString();
    return base;
}
} // namespace

class TestPanels : public QObject {
    Q_OBJECT

    std::unique_ptr<ServerProcess> m_server;
    std::optional<ServerSession> m_ann;
    std::optional<ServerSession> m_bob;

    TestClient ann() const { return m_server->client(m_ann); }
    TestClient bob() const { return m_server->client(m_bob); }

    SheetRef newSheet() {
        auto http = ann();
        const auto sheet = SheetApi::create(http);
        if (!sheet)
            qFatal("could not create a sheet");
        return *sheet;
    }

    static void write(TestClient &http, const SheetRef &sheet, const std::vector<nlohmann::json> &cells) {
        const auto answer = SheetApi::batch(http, sheet, cells);
        QVERIFY(answer && answer->status == 200);
    }

    nlohmann::json grid(const SheetRef &sheet) {
        auto http = ann();
        return TestClient::json(SheetApi::tile(http, sheet, 0, 0, 25, 50));
    }

    std::string title(const SheetRef &sheet) {
        auto http = ann();
        return TestClient::json(http.get(sheet.page()))["Sheet"]["Title"].get<std::string>();
    }

    void share(const SheetRef &sheet, const std::string &email, const std::string &role) {
        auto http = ann();
        const auto answer = http.postForm(sheet.page() + "/share", {{"address", email}, {"role", role}});
        QVERIFY(answer && answer->status == 200);
    }

    static int comment(TestClient &http, const SheetRef &sheet, const char *r, const char *c,
                       const char *body) {
        return http.postForm(sheet.page() + "/comments", {{"r", r}, {"c", c}, {"body", body}})->status;
    }

    nlohmann::json history(const SheetRef &sheet) {
        auto http = ann();
        return TestClient::json(http.get(sheet.page() + "/history"))["Entries"];
    }

private Q_SLOTS:
    void initTestCase() {
        m_server = std::make_unique<ServerProcess>();
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
        QVERIFY(m_server->addUser(QString::fromStdString(annEmail), "Ann", QString::fromStdString(password)));
        QVERIFY(m_server->addUser(QString::fromStdString(bobEmail), "Bob", QString::fromStdString(password)));
        m_ann = m_server->signIn(annEmail, password);
        m_bob = m_server->signIn(bobEmail, password);
        QVERIFY(m_ann && m_bob);
    }

    void cleanupTestCase() { QVERIFY2(m_server->stop(), qPrintable(m_server->errorString())); }

    void renameAcceptsTrimmedTitlesAndRefusesOthers_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<QString>("stored");
        const auto row = [](const char *name, const QByteArray &body, int status, const char *notice,
                            const QString &stored = "Untitled spreadsheet") {
            QTest::newRow(name) << body << status << QString(notice) << stored;
        };
        row("plus and escapes decode", "title=Q1+plan%21+%E2%9C%93", 200, "renamed",
            QString::fromUtf8("Q1 plan! ✓"));
        row("spaces around are dropped", "title=++Budget++", 200, "renamed", "Budget");
        row("200 characters", "title=" + QByteArray(200, 'x'), 200, "renamed", QString(200, 'x'));
        row("empty", "title=", 400, "empty-title");
        row("no field", "", 400, "empty-title");
        row("only spaces", "title=+%20+", 400, "empty-title");
        row("201 characters", "title=" + QByteArray(201, 'x'), 400, "title-too-long");
        row("line break", "title=a%0Ab", 400, "invalid-title");
        row("broken UTF-8", "title=%C3%28", 400, "invalid-title");
    }

    void renameAcceptsTrimmedTitlesAndRefusesOthers() {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, notice);
        QFETCH(QString, stored);
        const SheetRef sheet = newSheet();
        auto http = ann();
        const auto answer =
            http.post(sheet.page() + "/rename", body.toStdString(), "application/x-www-form-urlencoded");
        QVERIFY(answer);
        QCOMPARE(answer->status, status);
        const auto reply = TestClient::json(answer);
        QCOMPARE(QString::fromStdString(reply["notice"].get<std::string>()), notice);
        QVERIFY(!reply["message"].get<std::string>().empty());
        QCOMPARE(QString::fromStdString(title(sheet)), stored);
    }

    void tableSortsAndFilters_data() {
        QTest::addColumn<QVariantMap>("view");
        QTest::addColumn<QList<int>>("rows");
        // Rows 1 to 7 of column A: 10, apple, 9, (empty), Banana, -2.5, 100; column B marks them.
        const auto row = [](const char *name, const QVariantMap &view, const QList<int> &rows) {
            QTest::newRow(name) << view << rows;
        };
        const auto filter = [&](const char *name, const char *op, const char *value, const QList<int> &rows) {
            row(name, {{"filterCol", "0"}, {"filterOp", op}, {"filterVal", value}}, rows);
        };
        row("no sort, no filter", {}, {1, 2, 3, 4, 5, 6, 7});
        row("ascending: numbers, then text, empty last", {{"sortCol", "0"}}, {6, 3, 1, 7, 2, 5, 4});
        row("descending keeps empty last", {{"sortCol", "0"}, {"sortDesc", "1"}}, {5, 2, 7, 1, 3, 6, 4});
        row("sort by a formula's value", {{"sortCol", "2"}}, {7, 1, 3, 6, 2, 4, 5});
        filter("contains ignores case", "contains", "AN", {5});
        filter("equals a number numerically", "equals", "10.0", {1});
        filter("equals text ignores case", "equals", "APPLE", {2});
        filter("gt compares numbers, not their text", "gt", "9", {1, 7});
        filter("lt with a negative number", "lt", "0", {6});
        filter("lt on text compares text", "lt", "b", {2});
        filter("nonempty", "nonempty", "", {1, 2, 3, 5, 6, 7});
        row("filter and sort together",
            {{"filterCol", "0"}, {"filterOp", "gt"}, {"filterVal", "0"}, {"sortCol", "0"}, {"sortDesc", "1"}},
            {7, 1, 3});
    }

    void tableSortsAndFilters() {
        QFETCH(QVariantMap, view);
        QFETCH(QList<int>, rows);
        const SheetRef sheet = newSheet();
        auto http = ann();
        const std::vector<std::string> a = {"10", "apple", "9", "", "Banana", "-2.5", "100"};
        std::vector<nlohmann::json> cells;
        for (int r = 0; r < 7; ++r) {
            cells.push_back(SheetApi::write(r, 0, a[static_cast<std::size_t>(r)]));
            cells.push_back(SheetApi::write(r, 1, "row " + std::to_string(r + 1)));
            // Column C: minus the number in A, so that sorting by it reverses the numbers.
            cells.push_back(
                SheetApi::write(r, 2, r == 1 || r == 3 || r == 4 ? "" : "=-A" + std::to_string(r + 1)));
        }
        write(http, sheet, cells);
        const auto form = viewForm(view);
        const auto saved = http.postForm(sheet.page() + "/view", form);
        QCOMPARE(saved->status, 200);
        QCOMPARE(notice(saved), std::string("view-saved"));

        const auto page = TestClient::json(http.get(sheet.page() + "/table?page=1"));
        const nlohmann::json stored = {{"sortCol", std::stoi(form.at("sortCol"))},
                                       {"sortDesc", !form.at("sortDesc").empty()},
                                       {"filterCol", std::stoi(form.at("filterCol"))},
                                       {"filterOp", form.at("filterOp")},
                                       {"filterVal", form.at("filterVal")}};
        QCOMPARE(page["View"].dump(), stored.dump());
        QCOMPARE(numbers(page), rows);
        // Each row carries its cells at their real coordinates, whatever the order.
        for (const auto &row : page["Rows"]) {
            const int r = row["Number"].get<int>() - 1;
            QCOMPARE(row["Cells"].size(), std::size_t(3));
            for (int c = 0; c < 3; ++c) {
                QCOMPARE(row["Cells"][c]["R"].get<int>(), r);
                QCOMPARE(row["Cells"][c]["C"].get<int>(), c);
            }
            QCOMPARE(row["Cells"][1]["Display"].get<std::string>(), "row " + std::to_string(r + 1));
        }
    }

    void tablePagesHoldFiftyRows() {
        const SheetRef sheet = newSheet();
        auto http = ann();
        std::vector<nlohmann::json> cells;
        // 120 rows with a gap: row 61 (index 60) stays empty and is not a table row.
        for (int r = 0; r < 121; ++r) {
            if (r != 60)
                cells.push_back(SheetApi::write(r, 0, std::to_string(r)));
        }
        write(http, sheet, cells);
        // Nothing saved yet: the stored settings are the defaults.
        const auto first = TestClient::json(http.get(sheet.page() + "/table?page=1"));
        QCOMPARE(first["View"].dump(), nlohmann::json({{"sortCol", -1},
                                                       {"sortDesc", false},
                                                       {"filterCol", -1},
                                                       {"filterOp", "contains"},
                                                       {"filterVal", ""}})
                                           .dump());
        QCOMPARE(first["Rows"].size(), std::size_t(50));
        QCOMPARE(first["HasPrev"].get<bool>(), false);
        QCOMPARE(first["HasNext"].get<bool>(), true);
        QCOMPARE(first["Rows"][0]["Number"].get<int>(), 1);

        const auto second = TestClient::json(http.get(sheet.page() + "/table?page=2"));
        QCOMPARE(second["Rows"][10]["Number"].get<int>(), 62);
        const auto third = TestClient::json(http.get(sheet.page() + "/table?page=3"));
        QCOMPARE(third["Rows"].size(), std::size_t(20));
        QCOMPARE(third["HasPrev"].get<bool>(), true);
        QCOMPARE(third["HasNext"].get<bool>(), false);
        QCOMPARE(third["Rows"].back()["Number"].get<int>(), 121);
        const auto past = TestClient::json(http.get(sheet.page() + "/table?page=4"));
        QCOMPARE(past["Rows"].size(), std::size_t(0));
        QCOMPARE(past["HasPrev"].get<bool>(), true);
        QCOMPARE(past["HasNext"].get<bool>(), false);

        // Exactly 100 matching rows: page 2 is the last.
        const QVariantMap below101{{"filterCol", "0"}, {"filterOp", "lt"}, {"filterVal", "101"}};
        QCOMPARE(http.postForm(sheet.page() + "/view", viewForm(below101))->status, 200);
        QCOMPARE(TestClient::json(http.get(sheet.page() + "/table?page=2"))["HasNext"].get<bool>(), false);

        for (const char *bad : {"0", "-1", "x", "1.5", ""}) {
            const auto refused = http.get(sheet.page() + "/table?page=" + bad);
            QCOMPARE(refused->status, 400);
            QCOMPARE(notice(refused), std::string("invalid-page"));
        }
    }

    void tableSettingsRefuseBadInputAndKeepTheOldOnes_data() {
        QTest::addColumn<QVariantMap>("view");
        QTest::newRow("unknown operator") << QVariantMap{{"filterOp", "like"}};
        QTest::newRow("column text") << QVariantMap{{"sortCol", "A"}};
        QTest::newRow("column below -1") << QVariantMap{{"filterCol", "-2"}};
        QTest::newRow("column past the sheet") << QVariantMap{{"sortCol", "16384"}};
        QTest::newRow("missing column") << QVariantMap{{"sortCol", ""}};
        QTest::newRow("descending word") << QVariantMap{{"sortDesc", "yes"}};
        QTest::newRow("long filter value") << QVariantMap{{"filterVal", QString(1025, 'x')}};
    }

    void tableSettingsRefuseBadInputAndKeepTheOldOnes() {
        QFETCH(QVariantMap, view);
        const SheetRef sheet = newSheet();
        auto http = ann();
        const auto good = viewForm({{"sortCol", "2"},
                                    {"sortDesc", "1"},
                                    {"filterCol", "1"},
                                    {"filterOp", "equals"},
                                    {"filterVal", "x"}});
        QCOMPARE(http.postForm(sheet.page() + "/view", good)->status, 200);
        const auto refused = http.postForm(sheet.page() + "/view", viewForm(view, good));
        QCOMPARE(refused->status, 400);
        QCOMPARE(notice(refused), std::string("invalid-view"));
        const auto stored = TestClient::json(http.get(sheet.page() + "/table"))["View"];
        QCOMPARE(stored["sortCol"].get<int>(), 2);
        QCOMPARE(stored["filterOp"].get<std::string>(), std::string("equals"));
        QCOMPARE(stored["filterVal"].get<std::string>(), std::string("x"));
    }

    void historyListsEditsNewestFirstAndRestoreReturnsCells() {
        const SheetRef sheet = newSheet();
        auto http = ann();
        write(http, sheet, {SheetApi::write(0, 0, "1"), SheetApi::write(0, 1, "=A1*2")});
        write(http, sheet, {SheetApi::write(0, 0, "5")});
        write(http, sheet, {SheetApi::write(2, 3, "later")});
        const auto entries = history(sheet);
        QCOMPARE(entries.size(), std::size_t(4));
        QCOMPARE(entries[0]["Ref"].get<std::string>(), std::string("D3"));
        QCOMPARE(entries[1]["Ref"].get<std::string>(), std::string("A1"));
        QCOMPARE(entries[1]["Old"].get<std::string>(), std::string("1"));
        QCOMPARE(entries[1]["New"].get<std::string>(), std::string("5"));
        QCOMPARE(entries[1]["Who"].get<std::string>(), std::string("Ann"));
        QVERIFY(entries[0]["ID"].get<std::uint64_t>() > entries[1]["ID"].get<std::uint64_t>());

        auto stream = std::make_unique<EventStream>(m_server->origin(), *m_ann, sheet.tab() + "/stream");
        QVERIFY(stream->waitOpen());
        // Back to before A1 became 5: A1 is 1 again (and B1 follows), D3 is empty.
        const auto restored = http.postForm(
            sheet.page() + "/restore", {{"event", std::to_string(entries[1]["ID"].get<std::uint64_t>())}});
        QCOMPARE(restored->status, 200);
        QCOMPARE(notice(restored), std::string("restored"));
        const auto after = grid(sheet);
        QCOMPARE(raw(after, 0, 0), std::string("1"));
        QCOMPARE(SheetApi::cell(after, 0, 1)["display"].get<std::string>(), std::string("2"));
        QVERIFY(SheetApi::cell(after, 2, 3).is_null());
        const auto event = stream->waitForEvent("cells");
        QVERIFY(event);
        const auto change = nlohmann::json::parse(event->data);
        QCOMPARE(change["stamps"].get<int>(), 2);
        QCOMPARE(raw(change, 0, 0), std::string("1"));
        QCOMPARE(SheetApi::cell(change, 0, 1)["display"].get<std::string>(), std::string("2"));

        // The restore is itself in the log, as new edits.
        const auto logged = history(sheet);
        QCOMPARE(logged.size(), std::size_t(6));

        // Restoring to before the very first edit empties the sheet.
        const auto first = logged.back()["ID"].get<std::uint64_t>();
        QCOMPARE(http.postForm(sheet.page() + "/restore", {{"event", std::to_string(first)}})->status, 200);
        QCOMPARE(grid(sheet)["cells"].size(), std::size_t(0));
    }

    void restoreRefusesUnknownEdits() {
        const SheetRef sheet = newSheet();
        const SheetRef other = newSheet();
        auto http = ann();
        write(http, other, {SheetApi::write(0, 0, "elsewhere")});
        write(http, sheet, {SheetApi::write(0, 0, "here")});
        const auto foreign = history(other)[0]["ID"].get<std::uint64_t>();
        const std::vector<std::string> events = {std::to_string(foreign), "999999", "x", ""};
        for (const auto &event : events) {
            const auto refused = http.postForm(sheet.page() + "/restore", {{"event", event}});
            QVERIFY(refused->status == 404 || refused->status == 400);
            QVERIFY(!TestClient::json(refused)["message"].get<std::string>().empty());
        }
        QCOMPARE(raw(grid(sheet), 0, 0), std::string("here"));
        QCOMPARE(raw(grid(other), 0, 0), std::string("elsewhere"));
    }

    void undoWalksBackTheAccountsOwnEdits() {
        const SheetRef sheet = newSheet();
        share(sheet, bobEmail, "editor");
        auto own = ann();
        auto other = bob();
        write(own, sheet, {SheetApi::write(0, 0, "a1"), SheetApi::write(0, 1, "b1")});
        write(own, sheet, {SheetApi::write(0, 0, "a2")});
        write(other, sheet, {SheetApi::write(5, 5, "bob's")});

        auto stream = std::make_unique<EventStream>(m_server->origin(), *m_bob, sheet.tab() + "/stream");
        QVERIFY(stream->waitOpen());
        // Ann's last edit is undone, not Bob's later one.
        const auto first = own.postForm(sheet.page() + "/undo", {});
        QCOMPARE(first->status, 200);
        QCOMPARE(notice(first), std::string("undone"));
        QCOMPARE(raw(grid(sheet), 0, 0), std::string("a1"));
        QCOMPARE(raw(grid(sheet), 5, 5), std::string("bob's"));
        const auto event = stream->waitForEvent("cells");
        QVERIFY(event);
        QCOMPARE(raw(nlohmann::json::parse(event->data), 0, 0), std::string("a1"));

        // The next undo takes back the whole earlier write (two cells), not the undo itself.
        QCOMPARE(own.postForm(sheet.page() + "/undo", {})->status, 200);
        const auto empty = grid(sheet);
        QVERIFY(SheetApi::cell(empty, 0, 0).is_null());
        QVERIFY(SheetApi::cell(empty, 0, 1).is_null());
        const auto nothing = own.postForm(sheet.page() + "/undo", {});
        QCOMPARE(nothing->status, 409);
        QCOMPARE(notice(nothing), std::string("nothing-to-undo"));

        // Undo never overwrites what someone else typed over the edit since.
        write(own, sheet, {SheetApi::write(3, 0, "mine")});
        write(other, sheet, {SheetApi::write(3, 0, "theirs")});
        const auto conflict = own.postForm(sheet.page() + "/undo", {});
        QCOMPARE(conflict->status, 409);
        QCOMPARE(notice(conflict), std::string("undo-conflict"));
        QCOMPARE(raw(grid(sheet), 3, 0), std::string("theirs"));
        // Bob's own undo still works and restores Ann's text.
        QCOMPARE(other.postForm(sheet.page() + "/undo", {})->status, 200);
        QCOMPARE(raw(grid(sheet), 3, 0), std::string("mine"));
    }

    void commentsThreadPerCellAndResolve() {
        const SheetRef sheet = newSheet();
        auto http = ann();
        const auto empty = TestClient::json(http.get(sheet.page() + "/comments"));
        QCOMPARE(empty["Threads"].size(), std::size_t(0));

        const auto added = http.postForm(sheet.page() + "/comments",
                                         {{"r", "4"}, {"c", "2"}, {"body", "Check  this\nplease"}});
        QCOMPARE(added->status, 200);
        QCOMPARE(notice(added), std::string("added"));
        share(sheet, bobEmail, "commenter");
        auto commenter = bob();
        QCOMPARE(comment(commenter, sheet, "4", "2", "Done."), 200);
        QCOMPARE(comment(commenter, sheet, "0", "0", "First"), 200);

        auto threads = TestClient::json(http.get(sheet.page() + "/comments"))["Threads"];
        QCOMPARE(threads.size(), std::size_t(2));
        // Threads in cell order; entries in the order written, with their authors and exact text.
        QCOMPARE(threads[0]["Ref"].get<std::string>(), std::string("A1"));
        const auto thread = threads[1];
        QCOMPARE(thread["Ref"].get<std::string>(), std::string("C5"));
        QCOMPARE(thread["RowPos"].get<int>(), 4);
        QCOMPARE(thread["ColPos"].get<int>(), 2);
        QCOMPARE(thread["Resolved"].get<bool>(), false);
        QCOMPARE(thread["Entries"].size(), std::size_t(2));
        QCOMPARE(thread["Entries"][0]["Author"].get<std::string>(), std::string("Ann"));
        QCOMPARE(thread["Entries"][0]["Body"].get<std::string>(), std::string("Check  this\nplease"));
        QCOMPARE(thread["Entries"][1]["Author"].get<std::string>(), std::string("Bob"));
        QVERIFY(thread["Entries"][1]["ID"].get<std::uint64_t>() >
                thread["Entries"][0]["ID"].get<std::uint64_t>());

        const auto resolved =
            commenter.postForm(sheet.page() + "/comments/resolve", {{"r", "4"}, {"c", "2"}});
        QCOMPARE(resolved->status, 200);
        QCOMPARE(notice(resolved), std::string("resolved"));
        threads = TestClient::json(http.get(sheet.page() + "/comments"))["Threads"];
        QCOMPARE(threads[1]["Resolved"].get<bool>(), true);
        QCOMPARE(threads[0]["Resolved"].get<bool>(), false);
        // A new comment reopens the thread.
        QCOMPARE(comment(http, sheet, "4", "2", "Not quite"), 200);
        threads = TestClient::json(http.get(sheet.page() + "/comments"))["Threads"];
        QCOMPARE(threads[1]["Resolved"].get<bool>(), false);
        QCOMPARE(threads[1]["Entries"].size(), std::size_t(3));
        QCOMPARE(http.postForm(sheet.page() + "/comments/resolve", {{"r", "9"}, {"c", "9"}})->status, 404);
    }

    void commentsRefuseEmptyBodiesAndBadCells_data() {
        QTest::addColumn<QString>("r");
        QTest::addColumn<QString>("c");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("notice");
        const auto row = [](const char *name, const char *r, const char *c, const QString &body,
                            const char *notice) { QTest::newRow(name) << r << c << body << QString(notice); };
        row("empty body", "0", "0", "", "empty-comment");
        row("spaces and line breaks", "0", "0", " \n\t ", "empty-comment");
        row("too long", "0", "0", QString(4001, 'x'), "invalid-comment");
        row("control character", "0", "0", "a\x01", "invalid-comment");
        row("row missing", "", "0", "hi", "invalid-cell");
        row("negative column", "0", "-1", "hi", "invalid-cell");
        row("row past the sheet", "1048576", "0", "hi", "invalid-cell");
    }

    void commentsRefuseEmptyBodiesAndBadCells() {
        QFETCH(QString, r);
        QFETCH(QString, c);
        QFETCH(QString, body);
        QFETCH(QString, notice);
        const SheetRef sheet = newSheet();
        auto http = ann();
        const auto refused =
            http.postForm(sheet.page() + "/comments",
                          {{"r", r.toStdString()}, {"c", c.toStdString()}, {"body", body.toStdString()}});
        QCOMPARE(refused->status, 400);
        QCOMPARE(QString::fromStdString(::notice(refused)), notice);
        QCOMPARE(TestClient::json(http.get(sheet.page() + "/comments"))["Threads"].size(), std::size_t(0));
    }

    // Every change a role does not allow is refused and leaves the sheet as it was; readers still read.
    void changesNeedTheirRole_data() {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QVariantMap>("form");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("notice");
        const auto row = [](const char *name, const char *role, const char *path, const QVariantMap &form,
                            int status, const char *notice = "") {
            QTest::newRow(name) << role << path << form << status << QString(notice);
        };
        row("stranger renames", "", "/rename", {{"title", "Mine"}}, 404);
        row("commenter renames", "commenter", "/rename", {{"title", "Mine"}}, 403, "read-only");
        row("viewer saves table settings", "viewer", "/view", {{"sortCol", "0"}}, 403);
        row("viewer restores", "viewer", "/restore", {{"event", "newest"}}, 403);
        row("viewer undoes", "viewer", "/undo", {}, 403);
        row("viewer comments", "viewer", "/comments", {{"r", "0"}, {"c", "0"}, {"body", "hi"}}, 403,
            "may-not-comment");
        row("viewer resolves", "viewer", "/comments/resolve", {{"r", "0"}, {"c", "0"}}, 403);
    }

    void changesNeedTheirRole() {
        QFETCH(QString, role);
        QFETCH(QString, path);
        QFETCH(QVariantMap, form);
        QFETCH(int, status);
        QFETCH(QString, notice);
        const SheetRef sheet = newSheet();
        auto http = ann();
        write(http, sheet, {SheetApi::write(0, 0, "here")});
        QCOMPARE(comment(http, sheet, "0", "0", "ok"), 200);
        if (!role.isEmpty())
            share(sheet, bobEmail, role.toStdString());
        auto fields = path == "/view" ? viewForm(form) : viewForm(form, {});
        if (fields.count("event"))
            fields["event"] = std::to_string(history(sheet)[0]["ID"].get<std::uint64_t>());
        auto other = bob();
        const auto refused = other.postForm(sheet.page() + path.toStdString(), fields);
        QCOMPARE(refused->status, status);
        if (!notice.isEmpty())
            QCOMPARE(QString::fromStdString(::notice(refused)), notice);

        QCOMPARE(title(sheet), std::string("Untitled spreadsheet"));
        QCOMPARE(raw(grid(sheet), 0, 0), std::string("here"));
        QCOMPARE(TestClient::json(http.get(sheet.page() + "/table"))["View"]["sortCol"].get<int>(), -1);
        const auto threads = TestClient::json(http.get(sheet.page() + "/comments"))["Threads"];
        QCOMPARE(threads[0]["Entries"].size(), std::size_t(1));
        QCOMPARE(threads[0]["Resolved"].get<bool>(), false);
        if (role == "viewer") {
            for (const char *read : {"/table?page=1", "/history", "/comments"})
                QCOMPARE(other.get(sheet.page() + read)->status, 200);
            QCOMPARE(TestClient::json(other.get(sheet.page()))["MayComment"].get<bool>(), false);
        }
    }

    // Last, since it restarts the server: what the panels stored is in the database, not in memory.
    void panelDataSurvivesARestart() {
        const SheetRef sheet = newSheet();
        auto http = ann();
        write(http, sheet, {SheetApi::write(0, 0, "kept")});
        const QVariantMap saved{{"sortCol", "0"}, {"sortDesc", "1"}, {"filterOp", "nonempty"}};
        QCOMPARE(http.postForm(sheet.page() + "/view", viewForm(saved))->status, 200);
        QCOMPARE(comment(http, sheet, "0", "0", "still here"), 200);
        QCOMPARE(http.postForm(sheet.page() + "/rename", {{"title", "Kept"}})->status, 200);
        QVERIFY2(m_server->restart(), qPrintable(m_server->errorString()));

        auto again = ann();
        QCOMPARE(title(sheet), std::string("Kept"));
        const auto view = TestClient::json(again.get(sheet.page() + "/table"))["View"];
        QCOMPARE(view["sortDesc"].get<bool>(), true);
        QCOMPARE(view["filterOp"].get<std::string>(), std::string("nonempty"));
        const auto threads = TestClient::json(again.get(sheet.page() + "/comments"))["Threads"];
        QCOMPARE(threads[0]["Entries"][0]["Body"].get<std::string>(), std::string("still here"));
        QCOMPARE(history(sheet)[0]["New"].get<std::string>(), std::string("kept"));
        // Undo still knows whose edit it was.
        QCOMPARE(again.postForm(sheet.page() + "/undo", {})->status, 200);
        QVERIFY(SheetApi::cell(grid(sheet), 0, 0).is_null());
    }
};

QTEST_GUILESS_MAIN(TestPanels)
#include "tst_Panels.moc"
