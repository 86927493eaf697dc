// What one account may take of the server: how much it stores (cells per sheet, sheets per
// account), what its formula models hold in memory, and the database, where a long write keeps no
// reader waiting. And what a server killed at any moment keeps: every confirmed write, whole.

#include "ServerTest.h"
#include "formulas/FormulaEngine.h"
#include "sheets/GridStore.h"
#include "sheets/GridWriter.h"
#include "sheets/SheetStore.h"
#include "signin/Accounts.h"
#include "storage/Database.h"
#include "storage/Transaction.h"

#include <QTemporaryDir>

#include <atomic>
#include <future>

class TestResourceLimits : public QObject, ServerTestBase {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(startServer(1, {"--max-sheet-cells", "10", "--max-sheets", "4", "--formula-memory", "12"}));
    }

    void cleanupTestCase() { QVERIFY(stopServer()); }

    // Up to the limit, and changes of cells already there, pass; a change that would store one cell
    // more is refused whole, by cell writes and by formats alike.
    void cellsPerSheetAreBounded() {
        const SheetRef sheet = this->sheet();
        auto http = ann();
        std::vector<nlohmann::json> ten;
        for (int c = 0; c < 10; ++c)
            ten.push_back(SheetApi::write(0, c, std::to_string(c)));
        QCOMPARE(status(SheetApi::batch(http, sheet, ten)), 200);
        const auto bold = [&](int r2, int c1, int c2, bool on) {
            return http.postJson(sheet.tab() + "/format",
                                 {{"r1", 0}, {"c1", c1}, {"r2", r2}, {"c2", c2}, {"bold", on}});
        };
        const auto refused = SheetApi::batch(
            http, sheet, {SheetApi::write(0, 0, "changed"), SheetApi::write(1, 0, "one more")});
        QCOMPARE(answered(refused), std::string("422 sheet-full"));
        QVERIFY(QString::fromStdString(field(refused, "message")).contains("10"));
        QCOMPARE(status(bold(1, 0, 0, true)), 422);
        const auto grid = TestClient::json(SheetApi::tile(http, sheet, 0, 0, 5, 12));
        QCOMPARE(display(grid, 0, 0) + " " + display(grid, 1, 0), std::string("0 <absent>"));
        QVERIFY(!SheetApi::cell(grid, 0, 0).contains("f"));
        // Formatting cells already there, changing them, or clearing one to make room all pass.
        QCOMPARE(status(bold(0, 0, 9, true)), 200);
        QCOMPARE(status(SheetApi::batch(http, sheet, {SheetApi::write(0, 0, "changed")})), 200);
        QCOMPARE(status(SheetApi::batch(http, sheet, {SheetApi::write(0, 9, "")})), 200);
        QCOMPARE(status(bold(0, 9, 9, false)), 200);
        QCOMPARE(status(SheetApi::batch(http, sheet, {SheetApi::write(1, 0, "one more")})), 200);
    }

    // The models of the sheets used least lately are dropped once all take more than the budget,
    // never the one being written; a model rebuilt after it was dropped holds every confirmed
    // write, also while the sheets are written at once.
    void formulaModelsStayWithinTheirBudget() {
        QTemporaryDir folder;
        Database db(folder.path().toStdString() + "/budget.db");
        GridStore grid(db);
        SheetStore sheets(db, grid);
        const std::int64_t owner = Accounts(db).create("ann@example.com", "Ann", password).id;
        GridWriter writer(db, grid, [](std::int64_t, const GridChange &) {});
        ContentLimits limits;
        // Room for two small models, not three.
        limits.formulaMemoryBytes = std::int64_t(FormulaEngine::emptyModelBytes) * 5 / 2;
        writer.setLimits(limits);
        // Row r of column A holds r + 1; B1 sums the column. Answers with B1's display.
        std::vector<std::int64_t> tabs;
        const auto write = [&](std::size_t tab, std::int64_t r, std::int64_t c, std::string raw) {
            GridWriter::CellWrite cell;
            cell.r = r;
            cell.c = c;
            cell.raw = std::move(raw);
            for (const auto &written : writer.writeCells(tabs[tab], owner, {cell}).cells) {
                if (written.r == 0 && written.c == 1)
                    return written.display;
            }
            return std::string("<not recalculated>");
        };
        constexpr std::size_t tabCount = 4;
        for (std::size_t i = 0; i < tabCount; ++i) {
            tabs.push_back(sheets.create(owner, "Budget").tabId);
            QCOMPARE(write(i, 0, 1, "=SUM(A1:A100)"), std::string("0"));
        }
        auto held = writer.held();
        QCOMPARE(held.tabs, (std::set<std::int64_t>{tabs[2], tabs[3]}));
        QVERIFY(held.bytes <= limits.formulaMemoryBytes);
        constexpr int rows = 10;
        std::vector<std::vector<std::string>> sums(tabCount);
        std::vector<std::thread> writers;
        for (std::size_t i = 0; i < tabCount; ++i) {
            writers.emplace_back([&, i] {
                for (int r = 0; r < rows; ++r) {
                    try {
                        sums[i].push_back(write(i, r, 0, std::to_string(r + 1)));
                    } catch (const std::exception &error) {
                        sums[i].push_back(error.what());
                    }
                }
            });
        }
        for (auto &thread : writers)
            thread.join();
        for (std::size_t i = 0; i < tabCount; ++i) {
            for (int r = 0; r < rows; ++r)
                QCOMPARE(sums[i][r], std::to_string((r + 1) * (r + 2) / 2));
        }
        // One more write to each tab in turn settles the models held on the last two.
        for (std::size_t i = 0; i < tabCount; ++i)
            QCOMPARE(write(i, rows, 0, std::to_string(rows + 1)),
                     std::to_string((rows + 1) * (rows + 2) / 2));
        held = writer.held();
        QCOMPARE(held.tabs, (std::set<std::int64_t>{tabs[2], tabs[3]}));
        QVERIFY(held.bytes <= limits.formulaMemoryBytes);
    }

    // Creating and importing both stop at the limit, with a reason.
    void sheetsPerAccountAreBounded() {
        auto http = ann();
        while (TestClient::json(http.get("/sheets"))["Sheets"].size() < 4)
            QVERIFY(SheetApi::create(http));
        QCOMPARE(answered(http.post("/sheets", "", "application/x-www-form-urlencoded")),
                 std::string("422 too-many-sheets"));
        const auto progress = importBook(http, "plain.xlsx", fixture("plain.xlsx"));
        QCOMPARE(progress["status"].get<std::string>(), std::string("failed"));
        QVERIFY(QString::fromStdString(progress["error"].get<std::string>()).contains("at most 4"));
        QCOMPARE(TestClient::json(http.get("/sheets"))["Sheets"].size(), std::size_t(4));
    }

    // A reader neither waits for a write in progress nor sees any of it.
    void readsDoNotWaitBehindAWrite() {
        QTemporaryDir folder;
        Database db(folder.path().toStdString() + "/test.db");
        {
            auto lock = db.lock();
            db.exec("CREATE TABLE things (name TEXT)");
            db.exec("INSERT INTO things VALUES ('committed')");
        }
        auto lock = db.lock();
        Transaction transaction(db);
        db.exec("INSERT INTO things VALUES ('in progress')");
        auto names = std::async(std::launch::async, [&db] {
            auto reading = db.read();
            auto query = db.prepare("SELECT group_concat(name) FROM things");
            return query.step() ? query.text(0) : std::string();
        });
        // Only a guard against hanging the test run: a reader waiting for the lock never ends.
        QVERIFY(names.wait_for(std::chrono::seconds(30)) == std::future_status::ready);
        QCOMPARE(names.get(), std::string("committed"));
        transaction.commit();
    }

    // Batches are written while the server is killed at once. After a restart every confirmed
    // batch is there in full, and no batch is there in part.
    void killedServerKeepsEveryConfirmedWriteWhole() {
        ServerProcess server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const auto session = person(server, "ann");
        auto http = server.client(session);
        const SheetRef sheet = newSheet(http);
        constexpr int width = 400;
        std::atomic<int> confirmed = -1;
        std::atomic<bool> finished = false;
        std::thread writer([&, origin = server.origin()] {
            TestClient batches(origin);
            batches.setSession(session);
            for (int row = 0; row < 200; ++row) {
                std::vector<nlohmann::json> cells;
                for (int c = 0; c < width; ++c)
                    cells.push_back(
                        SheetApi::write(row, c, "=" + std::to_string(row) + "+0*" + std::to_string(c)));
                if (status(SheetApi::batch(batches, sheet, cells)) != 200)
                    break;
                confirmed = row;
            }
            finished = true;
        });
        while (confirmed < 3 && !finished)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server.kill();
        writer.join();
        const int last = confirmed;
        QVERIFY(last >= 3);
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        auto after = server.client(session);
        const auto grid = TestClient::json(SheetApi::tile(after, sheet, 0, 0, 200, width));
        std::map<std::int64_t, int> perRow;
        for (const auto &cell : grid["cells"]) {
            ++perRow[cell["r"].get<std::int64_t>()];
            QCOMPARE(cell["display"].get<std::string>(), std::to_string(cell["r"].get<std::int64_t>()));
        }
        for (int row = 0; row <= last; ++row)
            QCOMPARE(perRow[row], width);
        for (const auto &[row, count] : perRow)
            QCOMPARE(count, width);
        QVERIFY2(server.stop(), qPrintable(server.errorString()));
    }
};

QTEST_GUILESS_MAIN(TestResourceLimits)
#include "tst_ResourceLimits.moc"
