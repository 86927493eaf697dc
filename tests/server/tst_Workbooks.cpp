// Workbook files against the real server: export of a whole sheet, import of it back and of
// workbooks written by LibreOffice, followed through the import job, and files that must fail.

#include "ServerTest.h"
#include "sheets/Palette.h"

namespace {
// A style field of the cell at (r, c) as text ("<none>" when it has none), e.g. "b" -> "true".
std::string style(const nlohmann::json &grid, std::int64_t r, std::int64_t c, const char *key) {
    const std::string format = text(grid, r, c, "f");
    if (!grid["formats"].contains(format) || !grid["formats"][format].contains(key))
        return "<none>";
    const auto &value = grid["formats"][format][key];
    return value.is_string() ? value.get<std::string>() : value.dump();
}
} // namespace

class TestWorkbooks : public QObject, ServerTestBase {
    Q_OBJECT

    // Imports and returns the new sheet, or nothing with the job's last answer in `outcome`.
    std::optional<SheetRef> import(const std::string &filename, const std::string &bytes,
                                   nlohmann::json &outcome) {
        auto http = ann();
        outcome = importBook(http, filename, bytes);
        if (outcome["status"] != "done")
            return std::nullopt;
        const auto page = TestClient::json(http.get(outcome["location"].get<std::string>()));
        return SheetRef{page["Sheet"]["ID"].get<std::uint64_t>(),
                        page["Sheet"]["TabID"].get<std::uint64_t>()};
    }

    std::size_t sheetCount() { return TestClient::json(ann().get("/sheets"))["Sheets"].size(); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServer(2)); }
    void cleanupTestCase() { QVERIFY(stopServer()); }

    void exportedSheetImportsBackWithValuesFormulasAndFormats() {
        auto http = ann();
        const SheetRef source = newSheet(http);
        QCOMPARE(status(http.postForm(source.page() + "/rename", {{"title", "Q1/Q2 plan"}})), 200);
        const auto written = SheetApi::batch(
            http, source,
            {SheetApi::write(0, 0, "Item"), SheetApi::write(0, 1, "Amount"), SheetApi::write(1, 0, "Rent"),
             SheetApi::write(1, 1, "1250.5"), SheetApi::write(2, 1, "0.25"),
             SheetApi::write(3, 1, "=SUM(B2:B3)"), SheetApi::write(3, 2, "=\"total \"&B4"),
             SheetApi::write(4, 1, "45322"), SheetApi::write(5, 0, "=1/0"),
             // Far outside the 500 x 200 window the client shows: the export still holds it.
             SheetApi::write(700, 250, "far away")});
        QCOMPARE(status(written), 200);
        // Formats of ranges given as r1, c1, r2, c2.
        const auto format = [&](int r1, int c1, int r2, int c2, nlohmann::json style) {
            style.update({{"r1", r1}, {"c1", c1}, {"r2", r2}, {"c2", c2}});
            QCOMPARE(status(http.postJson(source.tab() + "/format", style)), 200);
        };
        format(0, 0, 0, 1, {{"bold", true}, {"fill", "blue"}, {"align", "center"}});
        format(1, 0, 1, 0, {{"italic", true}, {"ink", "red"}});
        format(1, 1, 3, 1, {{"numfmt", "$#,##0.00"}});
        format(2, 1, 2, 1, {{"numfmt", "0.00%"}, {"align", "right"}});
        format(4, 1, 4, 1, {{"numfmt", "yyyy-mm-dd"}});
        QCOMPARE(status(http.postJson(source.tab() + "/size", {{"col", 0}, {"size", 160}})), 200);
        QCOMPARE(status(http.postJson(source.tab() + "/size", {{"row", 0}, {"size", 36}})), 200);
        const auto exported = http.get(source.page() + "/export.xlsx");
        QCOMPARE(status(exported), 200);
        QCOMPARE(exported->get_header_value("Content-Type"),
                 std::string("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"));
        QVERIFY(exported->get_header_value("Content-Disposition").find("Q1_Q2 plan.xlsx") !=
                std::string::npos);
        QCOMPARE(exported->body.substr(0, 4), std::string("PK\x03\x04", 4));
        const auto outcome = importBook(http, "Q1 plan.xlsx", exported->body);
        QCOMPARE(outcome.value("status", "") + "|" + outcome.value("error", "") + "|" +
                     outcome.value("progress", ""),
                 std::string("done||Imported 10 cells"));
        const auto location = outcome["location"].get<std::string>();
        QVERIFY(location.rfind("/sheets/", 0) == 0);
        const auto page = TestClient::json(http.get(location));
        QCOMPARE(page["Sheet"]["Title"].get<std::string>(), std::string("Q1 plan"));
        QCOMPARE(page["Truncated"].get<bool>(), true);
        QVERIFY(!page.contains("Warned"));
        const SheetRef copy{page["Sheet"]["ID"].get<std::uint64_t>(),
                            page["Sheet"]["TabID"].get<std::uint64_t>()};
        const auto before = grid(source);
        const auto after = grid(copy);
        for (const auto &[r, c] : std::vector<std::pair<int, int>>{
                 {0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 1}, {3, 1}, {3, 2}, {4, 1}, {5, 0}}) {
            const std::string where = "cell " + std::to_string(r) + "," + std::to_string(c);
            QVERIFY2(raw(after, r, c) == raw(before, r, c), where.c_str());
            QVERIFY2(display(after, r, c) == display(before, r, c), where.c_str());
            // Bold, italic, alignment and number format come back as they were; colours are checked below.
            for (const char *key : {"b", "i", "a", "n"})
                QVERIFY2(style(after, r, c, key) == style(before, r, c, key), (where + " " + key).c_str());
        }
        QCOMPARE(raw(grid(copy, 700, 250, 1, 1), 700, 250), std::string("far away"));
        QCOMPARE(style(before, 3, 1, "n"), std::string("$#,##0.00"));
        const auto blue = Palette::fill("blue");
        QCOMPARE(style(after, 0, 0, "fx"),
                 Palette::hex(Palette::lightFillLightness, blue->chroma, blue->hue));
        QVERIFY(style(after, 1, 0, "k") != "<none>");
        QCOMPARE(after["sizes"]["cols"]["0"].get<double>(), 160.0);
        QCOMPARE(after["sizes"]["rows"]["0"].get<double>(), 36.0);
        QVERIFY(!after["sizes"]["cols"].contains("1"));
        // The import is in the new sheet's history, under the importer's name, and undo leaves it.
        const auto history = TestClient::json(http.get(copy.page() + "/history"))["Entries"];
        QCOMPARE(history.size(), std::size_t(10));
        QCOMPARE(history[0]["Who"].get<std::string>(), std::string("Ann"));
        QCOMPARE(status(http.postForm(copy.page() + "/undo", {})), 409);
    }

    void importsWorkbooksWrittenByLibreOffice() {
        nlohmann::json outcome;
        const auto styled = import("styled.xlsx", fixture("styled.xlsx"), outcome);
        QVERIFY2(styled, outcome.dump().c_str());
        const auto page = TestClient::json(ann().get(styled->page()));
        QCOMPARE(page["Sheet"]["Title"].get<std::string>(), std::string("styled"));
        QVERIFY(page["Warned"] == nlohmann::json::array({"A3"}));
        const auto cells = grid(*styled);
        // What is read of a cell ("raw", "display" or style keys), joined by spaces.
        const auto read = [&](int r, int c, std::initializer_list<const char *> keys) {
            std::string joined;
            for (const std::string key : keys)
                joined += (joined.empty() ? "" : " ") + (key == "raw" || key == "display"
                                                             ? text(cells, r, c, key.c_str())
                                                             : style(cells, r, c, key.c_str()));
            return joined;
        };
        QCOMPARE(read(0, 0, {"raw", "b", "a", "fx", "k", "lc"}),
                 std::string("Item true center #c6e0b4 #1f3864 <none>"));
        QCOMPARE(read(1, 0, {"i", "a"}), std::string("true right"));
        QCOMPARE(read(1, 1, {"raw", "display"}), std::string("1250.5 1250.50"));
        QCOMPARE(read(1, 2, {"raw", "display"}), std::string("=B2/B4 80.00%"));
        QCOMPARE(read(1, 3, {"display"}), std::string("2024-01-31"));
        QCOMPARE(read(3, 1, {"raw", "display"}), std::string("=SUM(B2:B3) 1563.13"));
        QCOMPARE(read(2, 0, {"lc", "fx"}), std::string("true #ffff99"));
        // Only the first worksheet comes in; the tall first row and the wide column A come along.
        for (const auto &cell : cells["cells"])
            QVERIFY(cell["raw"] != "second sheet");
        QCOMPARE(cells["sizes"]["rows"]["0"].get<double>(), 36.0);
        QVERIFY(!cells["sizes"]["rows"].contains("1"));
        QVERIFY(cells["sizes"]["cols"]["0"].get<double>() > cells["sizes"]["cols"]["1"].get<double>());
        QVERIFY(cells["sizes"]["cols"]["1"].get<double>() >= 16);
        const auto plain = import("plain.xlsx", fixture("plain.xlsx"), outcome);
        QVERIFY2(plain, outcome.dump().c_str());
        const auto rows = grid(*plain);
        QCOMPARE(raw(rows, 0, 2) + "|" + raw(rows, 3, 0) + "|" + raw(rows, 2, 1) + "|" + display(rows, 2, 2),
                 std::string("Price|Plums, ripe|10|0.25"));
        QCOMPARE(SheetApi::cell(rows, 2, 1)["n"].get<bool>(), true);
    }

    // Text, and a real workbook cut short.
    void filesThatAreNotWorkbooksFailWithoutASheet() {
        const std::string real = fixture("plain.xlsx");
        const std::pair<std::string, std::string> cases[] = {
            {"Name,Count\nPears,3\n", "This file is not an .xlsx or .xlsm workbook."},
            {real.substr(0, real.size() / 2),
             "This workbook could not be read: the file is damaged or is not an .xlsx or .xlsm workbook."}};
        for (const auto &[bytes, error] : cases) {
            const std::size_t sheets = sheetCount();
            nlohmann::json outcome;
            QVERIFY(!import("broken.xlsx", bytes, outcome));
            QCOMPARE(outcome.value("status", "") + "|" + outcome.value("error", "") + "|" +
                         outcome.value("location", ""),
                     "failed|" + error + "|");
            QCOMPARE(sheetCount(), sheets);
        }
    }

    void uploadsAreCheckedBeforeAnyJob() {
        const std::size_t sheets = sheetCount();
        auto http = ann();
        // One byte over 20 MB is refused at once; exactly 20 MB is taken (and then fails as garbage).
        QCOMPARE(answered(upload(http, "big.xlsx", std::string(20 * 1024 * 1024 + 1, 'x'))),
                 std::string("413 too-large"));
        QVERIFY(importBook(http, "big.xlsx",
                           "PK\x03\x04" + std::string(20 * 1024 * 1024 - 4, 'x'))["status"] == "failed");
        const std::string boundary = "B0D5A6E1";
        const auto noPart = http.post("/sheets/import", "--" + boundary + "--\r\n",
                                      "multipart/form-data; boundary=" + boundary);
        QCOMPARE(status(noPart), 400);
        QVERIFY(!TestClient::json(noPart)["message"].get<std::string>().empty());
        QCOMPARE(status(http.post("/sheets/import", "file=x", "application/x-www-form-urlencoded")), 400);
        QCOMPARE(status(upload(http, "empty.xlsx", "")), 400);
        QCOMPARE(sheetCount(), sheets);
    }

    void jobsAndExportsBelongToTheirAccounts() {
        auto http = ann();
        const auto started = upload(http, "plain.xlsx", fixture("plain.xlsx"));
        QCOMPARE(status(started), 202);
        const auto job = TestClient::json(started)["job"].get<std::string>();
        auto other = m_server->client(m_bob);
        QCOMPARE(status(other.get("/api/native/jobs/" + job)), 404);
        QCOMPARE(status(other.get("/api/native/jobs/unknown")), 404);
        auto anonymous = m_server->client();
        QCOMPARE(status(anonymous.get("/api/native/jobs/" + job)), 401);
        QCOMPARE(status(upload(anonymous, "a.xlsx", "PK")), 401);
        const auto outcome = follow(http, job);
        QCOMPARE(outcome["status"].get<std::string>(), std::string("done"));
        const auto location = outcome["location"].get<std::string>();
        QCOMPARE(status(other.get(location + "/export.xlsx")), 404);
        QCOMPARE(status(http.get(location + "/export.xlsx")), 200);
    }
};

QTEST_GUILESS_MAIN(TestWorkbooks)
#include "tst_Workbooks.moc"
