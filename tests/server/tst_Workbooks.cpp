// Workbook files against the real server: export of a whole sheet, import of it back and of
// workbooks written by LibreOffice, followed through the import job, and files that must fail.

#include "ServerProcess.h"
#include "SheetApi.h"
#include "sheets/Palette.h"

#include <QFile>
#include <QTest>

#include <thread>

namespace {
const std::string annEmail = "ann@example.com";
const std::string bobEmail = "bob@example.com";
const std::string password = "correct horse battery";
const std::string boundary = "6F1C1E8A-44D1-4C2B-9D0E-3A5B7C9D1E2F";

// The upload as the application builds it.
std::string multipart(const std::string &filename, const std::string &bytes) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + filename +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n--" + boundary + "--\r\n";
}

std::string fixture(const char *name) {
    QFile file(QFINDTESTDATA(QString("fixtures/") + name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", name);
    const QByteArray bytes = file.readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

nlohmann::json style(const nlohmann::json &grid, std::int64_t r, std::int64_t c) {
    const auto cell = SheetApi::cell(grid, r, c);
    if (!cell.is_object() || !cell.contains("f"))
        return nlohmann::json::object();
    return grid["formats"][cell["f"].get<std::string>()];
}

std::string text(const nlohmann::json &grid, std::int64_t r, std::int64_t c, const char *key) {
    const auto cell = SheetApi::cell(grid, r, c);
    return cell.is_object() ? cell[key].get<std::string>() : std::string("<absent>");
}
} // namespace

class TestWorkbooks : public QObject {
    Q_OBJECT

    std::unique_ptr<ServerProcess> m_server;
    std::optional<ServerSession> m_ann;
    std::optional<ServerSession> m_bob;

    TestClient ann() const { return m_server->client(m_ann); }

    httplib::Result upload(const std::string &filename, const std::string &bytes) {
        auto http = ann();
        return http.post("/sheets/import", multipart(filename, bytes),
                         "multipart/form-data; boundary=" + boundary);
    }

    // Follows the job until it ends; every progress text seen is collected.
    nlohmann::json follow(const std::string &job, std::vector<std::string> *texts = nullptr) {
        auto http = ann();
        for (int poll = 0; poll < 6000; ++poll) {
            const auto answer = http.get("/api/native/jobs/" + job);
            if (!answer || answer->status != 200)
                return nlohmann::json::object();
            const auto progress = TestClient::json(answer);
            if (texts)
                texts->push_back(progress["progress"].get<std::string>());
            const auto status = progress["status"].get<std::string>();
            if (status == "done" || status == "failed")
                return progress;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return nlohmann::json::object();
    }

    // Imports and returns the new sheet, or nothing with the job's last answer in `outcome`.
    std::optional<SheetRef> import(const std::string &filename, const std::string &bytes,
                                   nlohmann::json &outcome) {
        const auto started = upload(filename, bytes);
        if (!started || started->status != 202) {
            outcome = TestClient::json(started);
            return std::nullopt;
        }
        outcome = follow(TestClient::json(started)["job"].get<std::string>());
        if (outcome["status"] != "done")
            return std::nullopt;
        const auto location = outcome["location"].get<std::string>();
        auto http = ann();
        const auto page = TestClient::json(http.get(location));
        if (!page.is_object() || !page.contains("Sheet"))
            return std::nullopt;
        return SheetRef{page["Sheet"]["ID"].get<std::uint64_t>(),
                        page["Sheet"]["TabID"].get<std::uint64_t>()};
    }

    nlohmann::json grid(const SheetRef &sheet, int firstRow = 0, int firstCol = 0, int rows = 25,
                        int cols = 50) {
        auto http = ann();
        return TestClient::json(SheetApi::tile(http, sheet, firstRow, firstCol, rows, cols));
    }

    std::size_t sheetCount() {
        auto http = ann();
        return TestClient::json(http.get("/sheets"))["Sheets"].size();
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

    void exportedSheetImportsBackWithValuesFormulasAndFormats() {
        auto http = ann();
        const auto source = SheetApi::create(http);
        QVERIFY(source);
        QCOMPARE(http.postForm(source->page() + "/rename", {{"title", "Q1/Q2 plan"}})->status, 200);
        const auto written = SheetApi::batch(
            http, *source,
            {SheetApi::write(0, 0, "Item"), SheetApi::write(0, 1, "Amount"), SheetApi::write(1, 0, "Rent"),
             SheetApi::write(1, 1, "1250.5"), SheetApi::write(2, 1, "0.25"),
             SheetApi::write(3, 1, "=SUM(B2:B3)"), SheetApi::write(3, 2, "=\"total \"&B4"),
             SheetApi::write(4, 1, "45322"), SheetApi::write(5, 0, "=1/0"),
             // Far outside the 500 x 200 window the client shows: the export still holds it.
             SheetApi::write(700, 250, "far away")});
        QCOMPARE(written->status, 200);
        const auto change = [&](const char *path, const nlohmann::json &body) {
            QCOMPARE(http.postJson(source->tab() + path, body)->status, 200);
        };
        // Cell ranges as r1, c1, r2, c2.
        const auto range = [](int r1, int c1, int r2, int c2, nlohmann::json style) {
            style.update({{"r1", r1}, {"c1", c1}, {"r2", r2}, {"c2", c2}});
            return style;
        };
        change("/format", range(0, 0, 0, 1, {{"bold", true}, {"fill", "blue"}, {"align", "center"}}));
        change("/format", range(1, 0, 1, 0, {{"italic", true}, {"ink", "red"}}));
        change("/format", range(1, 1, 3, 1, {{"numfmt", "$#,##0.00"}}));
        change("/format", range(2, 1, 2, 1, {{"numfmt", "0.00%"}, {"align", "right"}}));
        change("/format", range(4, 1, 4, 1, {{"numfmt", "yyyy-mm-dd"}}));
        change("/size", {{"col", 0}, {"size", 160}});
        change("/size", {{"row", 0}, {"size", 36}});

        const auto exported = http.get(source->page() + "/export.xlsx");
        QVERIFY(exported);
        QCOMPARE(exported->status, 200);
        QCOMPARE(exported->get_header_value("Content-Type"),
                 std::string("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"));
        QVERIFY(exported->get_header_value("Content-Disposition").find("Q1_Q2 plan.xlsx") !=
                std::string::npos);
        QCOMPARE(exported->body.substr(0, 4), std::string("PK\x03\x04", 4));

        std::vector<std::string> texts;
        const auto started = upload("Q1 plan.xlsx", exported->body);
        QCOMPARE(started->status, 202);
        const auto outcome = follow(TestClient::json(started)["job"].get<std::string>(), &texts);
        QCOMPARE(outcome["status"].get<std::string>(), std::string("done"));
        QCOMPARE(outcome["error"].get<std::string>(), std::string());
        QCOMPARE(outcome["progress"].get<std::string>(), std::string("Imported 10 cells"));
        const auto location = outcome["location"].get<std::string>();
        QVERIFY(location.rfind("/sheets/", 0) == 0);
        const auto page = TestClient::json(http.get(location));
        QCOMPARE(page["Sheet"]["Title"].get<std::string>(), std::string("Q1 plan"));
        QCOMPARE(page["Truncated"].get<bool>(), true);
        QVERIFY(!page.contains("Warned"));
        const SheetRef copy{page["Sheet"]["ID"].get<std::uint64_t>(),
                            page["Sheet"]["TabID"].get<std::uint64_t>()};

        const auto before = grid(*source);
        const auto after = grid(copy);
        for (const auto &[r, c] : std::vector<std::pair<int, int>>{
                 {0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 1}, {3, 1}, {3, 2}, {4, 1}, {5, 0}}) {
            const std::string where = "cell " + std::to_string(r) + "," + std::to_string(c);
            QVERIFY2(text(after, r, c, "raw") == text(before, r, c, "raw"), where.c_str());
            QVERIFY2(text(after, r, c, "display") == text(before, r, c, "display"), where.c_str());
            // Bold, italic, alignment and number format come back as they were; colours are checked below.
            for (const char *key : {"b", "i", "a", "n"})
                QVERIFY2(style(after, r, c).value(key, nlohmann::json()) ==
                             style(before, r, c).value(key, nlohmann::json()),
                         (where + " " + key).c_str());
        }
        QCOMPARE(text(grid(copy, 700, 250, 1, 1), 700, 250, "raw"), std::string("far away"));
        QCOMPARE(style(before, 3, 1)["n"].get<std::string>(), std::string("$#,##0.00"));
        const auto blue = Palette::fill("blue");
        QCOMPARE(style(after, 0, 0)["fx"].get<std::string>(),
                 Palette::hex(Palette::lightFillLightness, blue->chroma, blue->hue));
        QVERIFY(style(after, 1, 0)["k"].is_string());
        QCOMPARE(after["sizes"]["cols"]["0"].get<double>(), 160.0);
        QCOMPARE(after["sizes"]["rows"]["0"].get<double>(), 36.0);
        QVERIFY(!after["sizes"]["cols"].contains("1"));

        // The import is in the new sheet's history, under the importer's name, and undo leaves it.
        auto history = TestClient::json(http.get(copy.page() + "/history"))["Entries"];
        QCOMPARE(history.size(), std::size_t(10));
        QCOMPARE(history[0]["Who"].get<std::string>(), std::string("Ann"));
        QCOMPARE(http.postForm(copy.page() + "/undo", {})->status, 409);
    }

    void importsWorkbooksWrittenByLibreOffice() {
        nlohmann::json outcome;
        const auto styled = import("styled.xlsx", fixture("styled.xlsx"), outcome);
        QVERIFY2(styled, outcome.dump().c_str());
        auto http = ann();
        const auto page = TestClient::json(http.get(styled->page()));
        QCOMPARE(page["Sheet"]["Title"].get<std::string>(), std::string("styled"));
        QVERIFY(page["Warned"] == nlohmann::json::array({"A3"}));
        const auto cells = grid(*styled);
        QCOMPARE(text(cells, 0, 0, "raw"), std::string("Item"));
        QCOMPARE(style(cells, 0, 0)["b"].get<bool>(), true);
        QCOMPARE(style(cells, 0, 0)["a"].get<std::string>(), std::string("center"));
        QCOMPARE(style(cells, 0, 0)["fx"].get<std::string>(), std::string("#c6e0b4"));
        QCOMPARE(style(cells, 0, 0)["k"].get<std::string>(), std::string("#1f3864"));
        QVERIFY(!style(cells, 0, 0).contains("lc"));
        QCOMPARE(style(cells, 1, 0)["i"].get<bool>(), true);
        QCOMPARE(style(cells, 1, 0)["a"].get<std::string>(), std::string("right"));
        QCOMPARE(text(cells, 1, 1, "raw"), std::string("1250.5"));
        QCOMPARE(text(cells, 1, 1, "display"), std::string("1250.50"));
        QCOMPARE(text(cells, 1, 2, "raw"), std::string("=B2/B4"));
        QCOMPARE(text(cells, 1, 2, "display"), std::string("80.00%"));
        QCOMPARE(text(cells, 1, 3, "display"), std::string("2024-01-31"));
        QCOMPARE(text(cells, 3, 1, "raw"), std::string("=SUM(B2:B3)"));
        QCOMPARE(text(cells, 3, 1, "display"), std::string("1563.13"));
        QCOMPARE(style(cells, 2, 0)["lc"].get<bool>(), true);
        QCOMPARE(style(cells, 2, 0)["fx"].get<std::string>(), std::string("#ffff99"));
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
        QCOMPARE(text(rows, 0, 2, "raw"), std::string("Price"));
        QCOMPARE(text(rows, 3, 0, "raw"), std::string("Plums, ripe"));
        QCOMPARE(text(rows, 2, 1, "raw"), std::string("10"));
        QCOMPARE(SheetApi::cell(rows, 2, 1)["n"].get<bool>(), true);
        QCOMPARE(text(rows, 2, 2, "display"), std::string("0.25"));
    }

    void filesThatAreNotWorkbooksFailWithoutASheet_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error");
        QTest::newRow("text") << QByteArray("Name,Count\nPears,3\n")
                              << "This file is not an .xlsx or .xlsm workbook.";
        QTest::newRow("zip header then garbage")
            << QByteArray::fromStdString(std::string("PK\x03\x04", 4) + " this is not really a zip archive")
            << "This workbook could not be read: the file is damaged or is not an .xlsx or .xlsm workbook.";
        const std::string real = fixture("plain.xlsx");
        QTest::newRow("cut short")
            << QByteArray(real.data(), static_cast<int>(real.size() / 2))
            << "This workbook could not be read: the file is damaged or is not an .xlsx or .xlsm workbook.";
    }

    void filesThatAreNotWorkbooksFailWithoutASheet() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        const std::size_t sheets = sheetCount();
        nlohmann::json outcome;
        QVERIFY(!import("broken.xlsx", bytes.toStdString(), outcome));
        QCOMPARE(outcome["status"].get<std::string>(), std::string("failed"));
        QCOMPARE(QString::fromStdString(outcome["error"].get<std::string>()), error);
        QCOMPARE(outcome["location"].get<std::string>(), std::string());
        QCOMPARE(sheetCount(), sheets);
    }

    void uploadsAreCheckedBeforeAnyJob() {
        const std::size_t sheets = sheetCount();
        // One byte over 20 MB is refused at once; exactly 20 MB is taken (and then fails as garbage).
        const auto over = upload("big.xlsx", std::string(20 * 1024 * 1024 + 1, 'x'));
        QCOMPARE(over->status, 413);
        QCOMPARE(TestClient::json(over)["notice"].get<std::string>(), std::string("too-large"));
        nlohmann::json outcome;
        QVERIFY(!import("big.xlsx", "PK\x03\x04" + std::string(20 * 1024 * 1024 - 4, 'x'), outcome));
        QCOMPARE(outcome["status"].get<std::string>(), std::string("failed"));

        auto http = ann();
        const auto noPart = http.post("/sheets/import", "--" + boundary + "--\r\n",
                                      "multipart/form-data; boundary=" + boundary);
        QCOMPARE(noPart->status, 400);
        QVERIFY(!TestClient::json(noPart)["message"].get<std::string>().empty());
        QCOMPARE(http.post("/sheets/import", "file=x", "application/x-www-form-urlencoded")->status, 400);
        QCOMPARE(upload("empty.xlsx", "")->status, 400);
        QCOMPARE(sheetCount(), sheets);
    }

    void jobsAndExportsBelongToTheirAccounts() {
        const auto started = upload("plain.xlsx", fixture("plain.xlsx"));
        QCOMPARE(started->status, 202);
        const auto job = TestClient::json(started)["job"].get<std::string>();
        auto other = m_server->client(m_bob);
        QCOMPARE(other.get("/api/native/jobs/" + job)->status, 404);
        QCOMPARE(other.get("/api/native/jobs/unknown")->status, 404);
        auto anonymous = m_server->client();
        QCOMPARE(anonymous.get("/api/native/jobs/" + job)->status, 401);
        QCOMPARE(anonymous
                     .post("/sheets/import", multipart("a.xlsx", "PK"),
                           "multipart/form-data; boundary=" + boundary)
                     ->status,
                 401);
        const auto outcome = follow(job);
        QCOMPARE(outcome["status"].get<std::string>(), std::string("done"));
        const auto location = outcome["location"].get<std::string>();
        QCOMPARE(other.get(location + "/export.xlsx")->status, 404);
        auto http = ann();
        QCOMPARE(http.get(location + "/export.xlsx")->status, 200);
    }
};

QTEST_GUILESS_MAIN(TestWorkbooks)
#include "tst_Workbooks.moc"
