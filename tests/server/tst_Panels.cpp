// The panels of an open sheet against the real server: rename, the sorted and filtered table,
// version history with restore and undo (seen in the grid and on the live stream), and comments.

#include "ServerTest.h"

namespace {
using Form = std::map<std::string, std::string>;

// The row numbers of a table page, in order.
QList<int> numbers(const nlohmann::json &page) {
    QList<int> result;
    for (const auto &row : page["Rows"])
        result.push_back(row["Number"].get<int>());
    return result;
}

const Form defaultView = {
    {"sortCol", "-1"}, {"sortDesc", ""}, {"filterCol", "-1"}, {"filterOp", "contains"}, {"filterVal", ""}};

// Table settings: the defaults, or `base`, overridden by `view`.
Form viewForm(const QVariantMap &view, Form base = defaultView) {
    for (auto it = view.cbegin(); it != view.cend(); ++it)
        base[it.key().toStdString()] = it.value().toString().toStdString();
    return base;
}
} // namespace

class TestPanels : public QObject, ServerTestBase {
    Q_OBJECT

    static void write(TestClient &http, const SheetRef &sheet, const std::vector<nlohmann::json> &cells) {
        QCOMPARE(status(SheetApi::batch(http, sheet, cells)), 200);
    }

    static httplib::Result post(TestClient &http, const SheetRef &sheet, const std::string &path,
                                const Form &form = {}) {
        return http.postForm(sheet.page() + path, form);
    }

    // Ann's view of a page of the sheet.
    nlohmann::json get(const SheetRef &sheet, const std::string &path = "") {
        return TestClient::json(ann().get(sheet.page() + path));
    }

    void share(const SheetRef &sheet, const std::string &role) {
        auto http = ann();
        QCOMPARE(status(post(http, sheet, "/share", {{"address", "bob@example.com"}, {"role", role}})), 200);
    }

    static int comment(TestClient &http, const SheetRef &sheet, const char *r, const char *c,
                       const char *body) {
        return status(post(http, sheet, "/comments", {{"r", r}, {"c", c}, {"body", body}}));
    }

    std::string lastEdit(const SheetRef &sheet, std::size_t index = 0) {
        return std::to_string(get(sheet, "/history")["Entries"][index]["ID"].get<std::uint64_t>());
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServer(2)); }
    void cleanupTestCase() { QVERIFY(stopServer()); }

    // Form body, status, notice and the title kept.
    void renameAcceptsTrimmedTitlesAndRefusesOthers() {
        const std::string untitled = "Untitled spreadsheet";
        const std::tuple<std::string, int, std::string, std::string> cases[] = {
            {"title=Q1+plan%21+%E2%9C%93", 200, "renamed", "Q1 plan! ✓"},
            {"title=++Budget++", 200, "renamed", "Budget"},
            {"title=" + std::string(200, 'x'), 200, "renamed", std::string(200, 'x')},
            {"title=+%20+", 400, "empty-title", untitled},
            {"title=" + std::string(201, 'x'), 400, "title-too-long", untitled},
            {"title=a%0Ab", 400, "invalid-title", untitled}};
        for (const auto &[body, code, said, stored] : cases) {
            const SheetRef sheet = this->sheet();
            const auto answer =
                ann().post(sheet.page() + "/rename", body, "application/x-www-form-urlencoded");
            QCOMPARE(answered(answer), std::to_string(code) + " " + said);
            QVERIFY(!TestClient::json(answer)["message"].get<std::string>().empty());
            QCOMPARE(get(sheet)["Sheet"]["Title"].get<std::string>(), stored);
        }
    }

    void tableSortsAndFilters() {
        // Rows 1 to 7 of column A: 10, apple, 9, (empty), Banana, -2.5, 100; column B marks them.
        const auto filter = [](const char *op, const char *value) {
            return QVariantMap{{"filterCol", "0"}, {"filterOp", op}, {"filterVal", value}};
        };
        const std::pair<QVariantMap, QList<int>> cases[] = {
            {{}, {1, 2, 3, 4, 5, 6, 7}},
            {{{"sortCol", "0"}}, {6, 3, 1, 7, 2, 5, 4}},                    // numbers, then text, empty last
            {{{"sortCol", "0"}, {"sortDesc", "1"}}, {5, 2, 7, 1, 3, 6, 4}}, // empty still last
            {{{"sortCol", "2"}}, {7, 1, 3, 6, 2, 4, 5}},                    // by a formula's value
            {filter("contains", "AN"), {5}},                                // ignoring case
            {filter("equals", "10.0"), {1}},                                // numerically
            {filter("gt", "9"), {1, 7}},                                    // numbers, not their text
            {filter("lt", "0"), {6}},
            {filter("lt", "b"), {2}}, // text with text
            {filter("nonempty", ""), {1, 2, 3, 5, 6, 7}}};
        const SheetRef sheet = this->sheet();
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
        // Each view is saved whole, so one view leaves nothing behind for the next.
        for (const auto &[view, rows] : cases) {
            QCOMPARE(answered(post(http, sheet, "/view", viewForm(view))), std::string("200 view-saved"));
            const auto page = get(sheet, "/table?page=1");
            QCOMPARE(numbers(page), rows);
            // Each row carries its cells at their real coordinates, whatever the order.
            for (const auto &row : page["Rows"]) {
                const int r = row["Number"].get<int>() - 1;
                QCOMPARE(row["Cells"].size(), std::size_t(3));
                for (int c = 0; c < 3; ++c)
                    QCOMPARE(std::pair(row["Cells"][c]["R"].get<int>(), row["Cells"][c]["C"].get<int>()),
                             std::pair(r, c));
                QCOMPARE(row["Cells"][1]["Display"].get<std::string>(), "row " + std::to_string(r + 1));
            }
        }
    }

    void tablePagesHoldFiftyRows() {
        const SheetRef sheet = this->sheet();
        auto http = ann();
        std::vector<nlohmann::json> cells;
        // 120 rows with a gap: row 61 (index 60) stays empty and is not a table row.
        for (int r = 0; r < 121; ++r) {
            if (r != 60)
                cells.push_back(SheetApi::write(r, 0, std::to_string(r)));
        }
        write(http, sheet, cells);
        // Rows, first and last row number, previous and next page.
        const auto page = [&](int number) {
            const auto found = get(sheet, "/table?page=" + std::to_string(number));
            const auto &rows = found["Rows"];
            return std::tuple(rows.size(), rows.empty() ? 0 : rows.front()["Number"].get<int>(),
                              rows.empty() ? 0 : rows.back()["Number"].get<int>(),
                              found["HasPrev"].get<bool>(), found["HasNext"].get<bool>());
        };
        QCOMPARE(page(1), std::tuple(std::size_t(50), 1, 50, false, true));
        QCOMPARE(page(2), std::tuple(std::size_t(50), 51, 101, true, true));
        QCOMPARE(page(3), std::tuple(std::size_t(20), 102, 121, true, false));
        QCOMPARE(page(4), std::tuple(std::size_t(0), 0, 0, true, false));
        // Exactly 100 matching rows: page 2 is the last.
        QCOMPARE(status(post(http, sheet, "/view",
                             viewForm({{"filterCol", "0"}, {"filterOp", "lt"}, {"filterVal", "101"}}))),
                 200);
        QCOMPARE(get(sheet, "/table?page=2")["HasNext"].get<bool>(), false);
        for (const char *bad : {"0", "-1", "x", "1.5", ""}) {
            QCOMPARE(answered(http.get(sheet.page() + "/table?page=" + bad)),
                     std::string("400 invalid-page"));
        }
    }

    // An unknown operator, a column below -1 or past the sheet, a descending word, a long filter value.
    void tableSettingsRefuseBadInputAndKeepTheOldOnes() {
        const Form good = {{"sortCol", "2"},
                           {"sortDesc", "1"},
                           {"filterCol", "1"},
                           {"filterOp", "equals"},
                           {"filterVal", "x"}};
        for (const QVariantMap &view : {QVariantMap{{"filterOp", "like"}}, QVariantMap{{"filterCol", "-2"}},
                                        QVariantMap{{"sortCol", "16384"}}, QVariantMap{{"sortDesc", "yes"}},
                                        QVariantMap{{"filterVal", QString(1025, 'x')}}}) {
            const SheetRef sheet = this->sheet();
            auto http = ann();
            QCOMPARE(status(post(http, sheet, "/view", good)), 200);
            QCOMPARE(answered(post(http, sheet, "/view", viewForm(view, good))),
                     std::string("400 invalid-view"));
            QCOMPARE(
                get(sheet, "/table")["View"].dump(),
                std::string(
                    R"({"filterCol":1,"filterOp":"equals","filterVal":"x","sortCol":2,"sortDesc":true})"));
        }
    }

    void historyListsEditsNewestFirstAndRestoreReturnsCells() {
        const SheetRef sheet = this->sheet();
        auto http = ann();
        write(http, sheet, {SheetApi::write(0, 0, "1"), SheetApi::write(0, 1, "=A1*2")});
        write(http, sheet, {SheetApi::write(0, 0, "5")});
        write(http, sheet, {SheetApi::write(2, 3, "later")});
        const auto entries = get(sheet, "/history")["Entries"];
        QCOMPARE(entries.size(), std::size_t(4));
        QCOMPARE(entries[0]["Ref"].get<std::string>(), std::string("D3"));
        const auto &a1 = entries[1];
        QCOMPARE(a1["Ref"].get<std::string>() + " " + a1["Old"].get<std::string>() + " " +
                     a1["New"].get<std::string>() + " " + a1["Who"].get<std::string>(),
                 std::string("A1 1 5 Ann"));
        QVERIFY(entries[0]["ID"].get<std::uint64_t>() > a1["ID"].get<std::uint64_t>());
        EventStream stream(m_server->origin(), *m_ann, sheet.tab() + "/stream");
        QVERIFY(stream.waitOpen());
        // Back to before A1 became 5: A1 is 1 again (and B1 follows), D3 is empty.
        QCOMPARE(answered(post(http, sheet, "/restore", {{"event", lastEdit(sheet, 1)}})),
                 std::string("200 restored"));
        const auto after = grid(sheet);
        QCOMPARE(raw(after, 0, 0) + " " + display(after, 0, 1) + " " + raw(after, 2, 3),
                 std::string("1 2 <absent>"));
        // The stream carries the two restored cells.
        auto change = nlohmann::json::parse(eventData(stream, "cells"), nullptr, false);
        QCOMPARE(change["stamps"].dump() + " " + raw(change, 0, 0) + " " + display(change, 0, 1),
                 std::string("2 1 2"));
        // The restore is itself in the log, as new edits.
        QCOMPARE(get(sheet, "/history")["Entries"].size(), std::size_t(6));
        // Restoring to before the very first edit empties the sheet.
        QCOMPARE(status(post(http, sheet, "/restore", {{"event", lastEdit(sheet, 5)}})), 200);
        QCOMPARE(grid(sheet)["cells"].size(), std::size_t(0));
        // Edits of another sheet, or none at all, restore nothing.
        const SheetRef other = this->sheet();
        write(http, other, {SheetApi::write(0, 0, "elsewhere")});
        write(http, sheet, {SheetApi::write(0, 0, "here")});
        for (const auto &unknown :
             {lastEdit(other), std::string("999999"), std::string("x"), std::string()}) {
            const auto refused = post(http, sheet, "/restore", {{"event", unknown}});
            QVERIFY(status(refused) == 404 || status(refused) == 400);
            QVERIFY(field(refused, "message") != "<none>" && !field(refused, "message").empty());
        }
        QCOMPARE(raw(grid(sheet), 0, 0) + " " + raw(grid(other), 0, 0), std::string("here elsewhere"));
    }

    void undoWalksBackTheAccountsOwnEdits() {
        const SheetRef sheet = this->sheet();
        share(sheet, "editor");
        auto own = ann();
        auto other = bob();
        write(own, sheet, {SheetApi::write(0, 0, "a1"), SheetApi::write(0, 1, "b1")});
        write(own, sheet, {SheetApi::write(0, 0, "a2")});
        write(other, sheet, {SheetApi::write(5, 5, "bob's")});
        EventStream stream(m_server->origin(), *m_bob, sheet.tab() + "/stream");
        QVERIFY(stream.waitOpen());
        // Ann's last edit is undone, not Bob's later one.
        QCOMPARE(answered(post(own, sheet, "/undo")), std::string("200 undone"));
        QCOMPARE(raw(grid(sheet), 0, 0) + " " + raw(grid(sheet), 5, 5), std::string("a1 bob's"));
        QCOMPARE(raw(nlohmann::json::parse(eventData(stream, "cells"), nullptr, false), 0, 0),
                 std::string("a1"));
        // The next undo takes back the whole earlier write (two cells), not the undo itself.
        QCOMPARE(status(post(own, sheet, "/undo")), 200);
        QCOMPARE(raw(grid(sheet), 0, 0) + raw(grid(sheet), 0, 1), std::string("<absent><absent>"));
        QCOMPARE(answered(post(own, sheet, "/undo")), std::string("409 nothing-to-undo"));
        // Undo never overwrites what someone else typed over the edit since.
        write(own, sheet, {SheetApi::write(3, 0, "mine")});
        write(other, sheet, {SheetApi::write(3, 0, "theirs")});
        QCOMPARE(answered(post(own, sheet, "/undo")), std::string("409 undo-conflict"));
        QCOMPARE(raw(grid(sheet), 3, 0), std::string("theirs"));
        // Bob's own undo still works and restores Ann's text.
        QCOMPARE(status(post(other, sheet, "/undo")), 200);
        QCOMPARE(raw(grid(sheet), 3, 0), std::string("mine"));
    }

    void commentsThreadPerCellAndResolve() {
        const SheetRef sheet = this->sheet();
        auto http = ann();
        QCOMPARE(get(sheet, "/comments")["Threads"].size(), std::size_t(0));
        QCOMPARE(answered(post(http, sheet, "/comments",
                               {{"r", "4"}, {"c", "2"}, {"body", "Check  this\nplease"}})),
                 std::string("200 added"));
        share(sheet, "commenter");
        auto commenter = bob();
        QCOMPARE(comment(commenter, sheet, "4", "2", "Done."), 200);
        QCOMPARE(comment(commenter, sheet, "0", "0", "First"), 200);
        // Threads in cell order; entries in the order written, with their authors and exact text.
        const auto summary = [&](std::size_t index) {
            const auto thread = get(sheet, "/comments")["Threads"][index];
            std::string text = thread["Ref"].get<std::string>() + " " +
                               std::to_string(thread["RowPos"].get<int>()) + "," +
                               std::to_string(thread["ColPos"].get<int>()) +
                               (thread["Resolved"].get<bool>() ? " resolved" : " open");
            for (const auto &entry : thread["Entries"])
                text += " | " + entry["Author"].get<std::string>() + ": " + entry["Body"].get<std::string>();
            return text;
        };
        QCOMPARE(summary(0), std::string("A1 0,0 open | Bob: First"));
        QCOMPARE(summary(1), std::string("C5 4,2 open | Ann: Check  this\nplease | Bob: Done."));
        QCOMPARE(answered(post(commenter, sheet, "/comments/resolve", {{"r", "4"}, {"c", "2"}})),
                 std::string("200 resolved"));
        QCOMPARE(summary(1), std::string("C5 4,2 resolved | Ann: Check  this\nplease | Bob: Done."));
        QCOMPARE(summary(0), std::string("A1 0,0 open | Bob: First"));
        // A new comment reopens the thread.
        QCOMPARE(comment(http, sheet, "4", "2", "Not quite"), 200);
        QCOMPARE(summary(1),
                 std::string("C5 4,2 open | Ann: Check  this\nplease | Bob: Done. | Ann: Not quite"));
        QCOMPARE(status(post(http, sheet, "/comments/resolve", {{"r", "9"}, {"c", "9"}})), 404);
    }

    // Row, column, body and the notice of the refusal.
    void commentsRefuseEmptyBodiesAndBadCells() {
        const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
            {"0", "0", " \n\t ", "empty-comment"},
            {"0", "0", std::string(4001, 'x'), "invalid-comment"},
            {"0", "0", "a\x01", "invalid-comment"},
            {"0", "-1", "hi", "invalid-cell"},
            {"1048576", "0", "hi", "invalid-cell"}};
        for (const auto &[r, c, body, said] : cases) {
            const SheetRef sheet = this->sheet();
            auto http = ann();
            QCOMPARE(answered(post(http, sheet, "/comments", {{"r", r}, {"c", c}, {"body", body}})),
                     std::to_string(400) + " " + said);
            QCOMPARE(get(sheet, "/comments")["Threads"].size(), std::size_t(0));
        }
    }

    void changesNeedTheirRole() {
        // Role, path, form, status and notice (if any).
        const std::tuple<std::string, std::string, Form, int, std::string> cases[] = {
            {"", "/rename", {{"title", "Mine"}}, 404, ""},
            {"commenter", "/rename", {{"title", "Mine"}}, 403, "read-only"},
            {"viewer", "/view", viewForm({{"sortCol", "0"}}), 403, ""},
            {"viewer", "/restore", {{"event", ""}}, 403, ""},
            {"viewer", "/undo", {}, 403, ""},
            {"viewer", "/comments", {{"r", "0"}, {"c", "0"}, {"body", "hi"}}, 403, "may-not-comment"},
            {"viewer", "/comments/resolve", {{"r", "0"}, {"c", "0"}}, 403, ""}};
        // Bob's change is refused and leaves the sheet as it was; readers still read.
        for (const auto &[role, path, form, code, said] : cases) {
            Form fields = form;
            const SheetRef sheet = this->sheet();
            auto http = ann();
            write(http, sheet, {SheetApi::write(0, 0, "here")});
            QCOMPARE(comment(http, sheet, "0", "0", "ok"), 200);
            if (!role.empty())
                share(sheet, role);
            if (fields.count("event"))
                fields["event"] = lastEdit(sheet);
            auto other = bob();
            const auto refused = post(other, sheet, path, fields);
            QCOMPARE(status(refused), code);
            if (!said.empty())
                QCOMPARE(notice(refused), said);
            QCOMPARE(get(sheet)["Sheet"]["Title"].get<std::string>(), std::string("Untitled spreadsheet"));
            QCOMPARE(raw(grid(sheet), 0, 0), std::string("here"));
            QCOMPARE(get(sheet, "/table")["View"]["sortCol"].get<int>(), -1);
            const auto threads = get(sheet, "/comments")["Threads"];
            QCOMPARE(std::pair(threads[0]["Entries"].size(), threads[0]["Resolved"].get<bool>()),
                     std::pair(std::size_t(1), false));
            if (role == "viewer") {
                for (const char *read : {"/table?page=1", "/history", "/comments"})
                    QCOMPARE(status(other.get(sheet.page() + read)), 200);
                QCOMPARE(TestClient::json(other.get(sheet.page()))["MayComment"].get<bool>(), false);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestPanels)
#include "tst_Panels.moc"
