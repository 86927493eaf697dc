// Sheets, tiles and writes against the real server: records as the client decodes them, versions and
// stamps, formulas and their recalculation, pasted references, formats, sizes, refusals, restart.

#include "ServerTest.h"

class TestSheets : public QObject, ServerTestBase {
    Q_OBJECT

    nlohmann::json page(const SheetRef &sheet) { return TestClient::json(ann().get(sheet.page())); }

    // The account's summary of `sheet` in the sheet list.
    nlohmann::json summary(const SheetRef &sheet) {
        const auto list = TestClient::json(ann().get("/sheets"));
        for (const auto &found : list["Sheets"])
            if (found["ID"].get<std::uint64_t>() == sheet.id)
                return found;
        return nlohmann::json::object();
    }

    // The answer to a write, or an empty object when refused.
    nlohmann::json write(const SheetRef &sheet, const std::vector<nlohmann::json> &cells) {
        auto http = ann();
        const auto answer = SheetApi::batch(http, sheet, cells);
        return status(answer) == 200 ? TestClient::json(answer) : nlohmann::json::object();
    }

    nlohmann::json post(const SheetRef &sheet, const std::string &path, const nlohmann::json &body) {
        return TestClient::json(ann().postJson(sheet.tab() + path, body));
    }

    static std::uint64_t version(const nlohmann::json &grid) { return grid["version"].get<std::uint64_t>(); }
    // The version and the stamps of an answer, e.g. "3 2".
    static std::string steps(const nlohmann::json &grid) {
        return grid["version"].dump() + " " + grid["stamps"].dump();
    }

    // A format request for the range from (r1, c1) to (r2, c2) with `style`.
    static nlohmann::json range(int r1, int c1, int r2, int c2, nlohmann::json style) {
        style.update({{"r1", r1}, {"c1", c1}, {"r2", r2}, {"c2", c2}});
        return style;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServer(1)); }
    void cleanupTestCase() { QVERIFY(stopServer()); }

    void batchAnswersChangedCellsWithVersionAndStamps() {
        const SheetRef sheet = this->sheet();
        QCOMPARE(version(grid(sheet)), 0u);
        const auto answer = write(sheet, {SheetApi::write(0, 0, "12.5"), SheetApi::write(0, 1, "pears"),
                                          SheetApi::write(4, 3, "-3")});
        QCOMPARE(steps(answer), std::string("3 3"));
        QCOMPARE(display(answer, 0, 0), std::string("12.5"));
        QCOMPARE(SheetApi::cell(answer, 0, 0)["n"].get<bool>(), true);
        QVERIFY(!SheetApi::cell(answer, 0, 1).contains("n"));
        // The same text again changes nothing: no step, same version.
        QCOMPARE(steps(write(sheet, {SheetApi::write(0, 1, "pears")})), std::string("3 0"));
        // Two writes to one cell are two steps; the last one stays.
        QCOMPARE(steps(write(sheet, {SheetApi::write(2, 2, "a"), SheetApi::write(2, 2, "b")})),
                 std::string("5 2"));
        const auto window = grid(sheet);
        QCOMPARE(version(window), 5u);
        QCOMPARE(window["cells"].size(), std::size_t(4));
        QCOMPARE(raw(window, 2, 2) + raw(window, 4, 3), std::string("b-3"));
        // Clearing a cell answers it empty and removes it from later reads.
        QCOMPARE(raw(write(sheet, {SheetApi::write(4, 3, "")}), 4, 3), std::string());
        QCOMPARE(raw(grid(sheet), 4, 3), std::string("<absent>"));
        // A tile only holds its own window.
        const auto corner = grid(sheet, 2, 2, 1, 1);
        QCOMPARE(corner["cells"].size(), std::size_t(1));
        QCOMPARE(corner["rows"].get<int>(), 1);
    }

    void formulasRecalculateTheirDependants() {
        const SheetRef sheet = this->sheet();
        const auto first = write(sheet, {SheetApi::write(0, 0, "2"), SheetApi::write(0, 1, "=A1*10"),
                                         SheetApi::write(0, 2, "=SUM(A1:B1)")});
        QCOMPARE(display(first, 0, 1) + " " + display(first, 0, 2), std::string("20 22"));
        const auto second = write(sheet, {SheetApi::write(0, 0, "5")});
        QCOMPARE(second["stamps"].get<int>(), 1);
        QCOMPARE(display(second, 0, 1) + " " + display(second, 0, 2), std::string("50 55"));
        QCOMPARE(SheetApi::cell(second, 0, 2)["n"].get<bool>(), true);
        QCOMPARE(display(grid(sheet), 0, 2), std::string("55"));
    }

    // What A1 shows for what is typed into it, answered and stored alike; B1 holds text. Text that
    // looks like SQL, markup or a number is kept as typed.
    void cellsShowTheirValueOrErrorName() {
        // Division by zero, an unknown function, text in a sum, broken and circular references.
        std::vector<std::pair<std::string, std::string>> cases = {
            {"=1/0", "#DIV/0!"}, {"=NOSUCHTHING(1)", "#NAME?"}, {"=B1+1", "#VALUE!"}, {"=#REF!+1", "#REF!"},
            {"=A1", "#REF!"},    {"=\"a\"&\"b\"", "ab"}};
        for (const std::string text :
             {"'); DROP TABLE cells; --", "Robert\"); DELETE FROM accounts WHERE ('1'='1", "Ünïcødé ✓ 𝄞 ’",
              "<script>alert(1)</script>", "first\nsecond\r\nthird", " 12 "})
            cases.emplace_back(text, text);
        for (const auto &[typed, shown] : cases) {
            const SheetRef sheet = this->sheet();
            write(sheet, {SheetApi::write(0, 1, "text")});
            const auto answer = write(sheet, {SheetApi::write(0, 0, typed)});
            for (const auto &grid : {answer, grid(sheet)})
                QCOMPARE(display(grid, 0, 0) + "|" + raw(grid, 0, 0), shown + "|" + typed);
        }
    }

    // Not JSON, no cells, a negative row, a row as text, raw as a number, a huge column, half a
    // source, a good cell then a bad one; a cell too large and too many cells.
    void malformedWritesAreRefusedWithoutHarm() {
        const auto cells = [](const std::string &list) { return R"({"cells": )" + list + "}"; };
        nlohmann::json many = nlohmann::json::array();
        for (int i = 0; i < 5001; ++i)
            many.push_back(SheetApi::write(i, 0, "x"));
        const std::pair<std::string, int> cases[] = {
            {"{\"cells\": [", 400},
            {"{}", 400},
            {cells(R"([{"r":-1,"c":0,"raw":"x"}])"), 400},
            {cells(R"([{"r":"1","c":0,"raw":"x"}])"), 400},
            {cells(R"([{"r":1,"c":0,"raw":5}])"), 400},
            {cells(R"([{"r":1,"c":18446744073709551615,"raw":"x"}])"), 400},
            {cells(R"([{"r":1,"c":0,"raw":"=A1","fromR":0}])"), 400},
            {cells(R"([{"r":0,"c":0,"raw":"changed"},{"r":0,"c":1}])"), 400},
            {cells(R"([{"r":0,"c":0,"raw":")" + std::string(8193, 'x') + R"("}])"), 413},
            {cells(many.dump()), 413}};
        for (const auto &[body, code] : cases) {
            const SheetRef sheet = this->sheet();
            write(sheet, {SheetApi::write(0, 0, "kept")});
            const auto answer = ann().post(sheet.tab() + "/cells/batch", body);
            QVERIFY2(status(answer) == code, body.substr(0, 80).c_str());
            QVERIFY(TestClient::json(answer)["message"].is_string());
            const auto window = grid(sheet);
            QCOMPARE(version(window), 1u);
            QCOMPARE(window["cells"].size(), std::size_t(1));
            QCOMPARE(raw(window, 0, 0), std::string("kept"));
        }
    }

    void badTileWindowsAreRefused() {
        const SheetRef sheet = this->sheet();
        for (const char *query :
             {"firstRow=0&firstCol=0&rows=5", "firstRow=-1&firstCol=0&rows=5&cols=5",
              "firstRow=0&firstCol=0&rows=0&cols=5", "firstRow=0&firstCol=0&rows=1000&cols=1000",
              "firstRow=a&firstCol=0&rows=5&cols=5"})
            QVERIFY2(status(ann().get(sheet.tab() + "/cells?" + query)) == 400, query);
    }

    // Value, format code and what both the value and a formula showing it display.
    void numberFormatsChangeTheDisplay() {
        const std::tuple<std::string, std::string, std::string> cases[] = {
            {"-1234.5", "$#,##0.00", "-$1,234.50"},
            {"45658", "yyyy-mm-dd", "2025-01-01"},
            {"0.1", "", "0.1"},
            {"apples", "0.00", "apples"}};
        for (const auto &[value, code, shown] : cases) {
            const SheetRef sheet = this->sheet();
            write(sheet, {SheetApi::write(1, 1, value), SheetApi::write(1, 2, "=B2")});
            const auto grid = post(sheet, "/format", range(1, 1, 1, 2, {{"numfmt", code}}));
            QVERIFY(grid.contains("cells"));
            if (code.empty()) {
                QCOMPARE(grid["cells"].size(), std::size_t(0));
                continue;
            }
            QCOMPARE(display(grid, 1, 1), shown);
            QCOMPARE(display(grid, 1, 2), shown);
            QCOMPARE(grid["formats"][text(grid, 1, 1, "f")]["n"].get<std::string>(), code);
            // The formula keeps its format when its source changes.
            const auto changed = write(sheet, {SheetApi::write(1, 1, value == "apples" ? "pears" : "2")});
            QVERIFY(SheetApi::cell(changed, 1, 2).contains("f"));
        }
    }

    void formatAndSizeAnswerWhatChanged() {
        const SheetRef sheet = this->sheet();
        write(sheet, {SheetApi::write(0, 0, "Title")});
        // A range given corner to corner either way round; its empty cells get the style too.
        const auto formatted = post(
            sheet, "/format", range(1, 1, 0, 0, {{"bold", true}, {"fill", "blue"}, {"align", "center"}}));
        QCOMPARE(std::pair(formatted["cells"].size(), version(formatted)),
                 std::pair(std::size_t(4), std::uint64_t(2)));
        const auto style = formatted["formats"][text(formatted, 1, 1, "f")];
        QCOMPARE(style["b"].dump() + " " + style["a"].dump(), std::string("true \"center\""));
        QVERIFY(style["fh"].is_number() && style["fc"].is_number());
        // Clearing the formatting leaves no style behind.
        const auto none =
            R"({"bold":false,"italic":false,"align":"","numfmt":"","fill":"none","ink":"none"})";
        const auto cleared = post(sheet, "/format", range(0, 0, 1, 1, nlohmann::json::parse(none)));
        QCOMPARE(cleared["cells"].size(), std::size_t(4));
        for (const auto &cell : cleared["cells"])
            QVERIFY(!cell.contains("f"));
        QCOMPARE(grid(sheet)["cells"].size(), std::size_t(1));
        // The smallest and the largest size are taken.
        const auto sized = post(sheet, "/size", {{"col", 2}, {"size", 16}});
        QCOMPARE(std::pair(version(sized), sized["sizes"]["cols"]["2"].get<double>()),
                 std::pair(std::uint64_t(4), 16.0));
        post(sheet, "/size", {{"row", 7}, {"size", 2000}});
        const auto window = grid(sheet);
        QCOMPARE(window["sizes"]["cols"]["2"].get<double>(), 16.0);
        QCOMPARE(window["sizes"]["rows"]["7"].get<double>(), 2000.0);
    }

    // Unknown fill or format, no property, no range; sizes too small, too large, on both axes, missing.
    void badFormatsAndSizesAreRefused() {
        const std::pair<std::string, std::string> cases[] = {
            {"/format", R"({"r1":0,"c1":0,"r2":0,"c2":0,"fill":"octarine"})"},
            {"/format", R"({"r1":0,"c1":0,"r2":0,"c2":0,"numfmt":"0.000000"})"},
            {"/format", R"({"r1":0,"c1":0,"r2":0,"c2":0})"},
            {"/format", R"({"bold":true})"},
            {"/size", R"({"col":0,"size":15})"},
            {"/size", R"({"row":0,"size":2001})"},
            {"/size", R"({"row":0,"col":0,"size":100})"},
            {"/size", R"({"col":0})"}};
        for (const auto &[path, body] : cases) {
            const SheetRef sheet = this->sheet();
            const auto answer = ann().post(sheet.tab() + path, body);
            QVERIFY2(status(answer) == 400, body.c_str());
            QVERIFY(TestClient::json(answer)["message"].is_string());
            QCOMPARE(version(grid(sheet)), 0u);
        }
    }

    // An empty sheet is 100 x 26; the bounds grow with the used range up to a cap.
    void pageBoundsFollowTheUsedRange() {
        const SheetRef sheet = this->sheet();
        const auto bounds = [&] {
            const auto grown = page(sheet);
            return std::tuple(grown["Rows"].get<int>(), grown["Cols"].get<int>(),
                              grown["Truncated"].get<bool>());
        };
        QCOMPARE(bounds(), std::tuple(100, 26, false));
        write(sheet, {SheetApi::write(149, 39, "x")});
        QCOMPARE(bounds(), std::tuple(200, 50, false));
        write(sheet, {SheetApi::write(700, 250, "x")});
        QCOMPARE(bounds(), std::tuple(500, 200, true));
    }

    void previewShowsTheTopLeftCorner() {
        const SheetRef sheet = this->sheet();
        const auto empty = summary(sheet)["Preview"];
        QCOMPARE(std::tuple(empty["Rows"].get<int>(), empty["Cols"].get<int>(), empty["Empty"].get<bool>()),
                 std::tuple(12, 8, true));
        write(sheet,
              {SheetApi::write(0, 0, "Head"), SheetApi::write(3, 2, "7"), SheetApi::write(20, 20, "far")});
        post(sheet, "/format", range(0, 0, 0, 1, {{"bold", true}, {"fill", "red"}}));
        const auto preview = summary(sheet)["Preview"];
        QCOMPARE(preview["Empty"].get<bool>(), false);
        // A1 (text, bold, fill), B1 (fill only), C4 (text); the far cell is outside.
        QCOMPARE(preview["Cells"].size(), std::size_t(3));
        const auto first = preview["Cells"][0];
        QCOMPARE(std::pair(first["R"].get<int>(), first["Bold"].get<bool>()), std::pair(0, true));
        const std::string fill = first["Fill"].get<std::string>();
        QVERIFY2(fill.size() == 7 && fill[0] == '#', fill.c_str());
        QCOMPARE(preview["Cells"][2]["Fill"].get<std::string>(), std::string());
    }

    void otherAccountsSeeNothingOfTheSheet() {
        const SheetRef sheet = this->sheet();
        write(sheet, {SheetApi::write(0, 0, "private")});
        auto http = m_server->client(person(*m_server, "bob"));
        QCOMPARE(status(http.get(sheet.page())), 404);
        QCOMPARE(status(SheetApi::tile(http, sheet, 0, 0, 5, 5)), 404);
        QCOMPARE(status(SheetApi::batch(http, sheet, {SheetApi::write(0, 0, "mine")})), 404);
        QCOMPARE(status(http.postJson(sheet.tab() + "/size", {{"col", 0}, {"size", 100}})), 404);
        QVERIFY(TestClient::json(http.get("/sheets"))["Sheets"].empty());
        // A tab of another sheet is not reachable through one's own sheet either.
        const SheetRef mixed{newSheet(http).id, sheet.tabId};
        QCOMPARE(status(SheetApi::tile(http, mixed, 0, 0, 5, 5)), 404);
        QCOMPARE(raw(grid(sheet), 0, 0), std::string("private"));
    }

    // Last: restarts the server.
    void everythingSurvivesARestart() {
        const SheetRef sheet = this->sheet();
        write(sheet, {SheetApi::write(0, 0, "3"), SheetApi::write(1, 0, "=A1*2")});
        post(sheet, "/size", {{"col", 0}, {"size", 150}});
        const auto before = grid(sheet);
        // A second server on the same folder is refused while the first runs.
        ServerProcess second(ServerProcess::Options{{}, {}, m_server->dataDir()});
        QVERIFY(!second.start());
        QVERIFY2(second.errorString().contains("already using"), qPrintable(second.errorString()));
        QVERIFY2(m_server->restart(), qPrintable(m_server->errorString()));
        const auto after = grid(sheet);
        for (const char *key : {"version", "cells", "sizes"})
            QVERIFY2(after[key] == before[key], key);
        // The formulas are rebuilt from storage and still recalculate.
        QCOMPARE(display(write(sheet, {SheetApi::write(0, 0, "4")}), 1, 0), std::string("8"));
    }
};

QTEST_GUILESS_MAIN(TestSheets)
#include "tst_Sheets.moc"
