// Cell content meant to break the server: long chains of formulas (typed and imported), functions
// the engine cannot calculate, and formulas over huge ranges. None may crash it, make a sheet
// unwritable, or hold it busy; each shows an error value or is refused with a reason.

#include "ServerTest.h"
#include "workbooks/WorkbookWriter.h"

#include <QTemporaryDir>

namespace {
using Cells = std::vector<nlohmann::json>;

// A2 = A1+1, A3 = A2+1, ... for rows [first, last), in column 0.
Cells chain(std::int64_t first, std::int64_t last) {
    Cells cells;
    for (std::int64_t r = first; r < last; ++r)
        cells.push_back(SheetApi::write(r, 0, "=A" + std::to_string(r) + "+1"));
    return cells;
}

int write(TestClient &http, const SheetRef &sheet, const Cells &cells) {
    return status(SheetApi::batch(http, sheet, cells));
}

// What the cell at (r, c) shows, read from the sheet.
std::string shown(TestClient &http, const SheetRef &sheet, std::int64_t r, std::int64_t c) {
    return display(TestClient::json(SheetApi::tile(http, sheet, 0, 0, 30, 10)), r, c);
}

std::string shownIn(const httplib::Result &written, std::int64_t r, std::int64_t c) {
    return display(TestClient::json(written), r, c);
}

bool startWithUser(std::unique_ptr<ServerProcess> &server, std::optional<ServerSession> &session,
                   const QStringList &arguments) {
    server = std::make_unique<ServerProcess>(ServerProcess::Options{{}, arguments, {}});
    if (!server->start())
        return false;
    session = person(*server, "ann");
    return session.has_value();
}
} // namespace

class TestContentAttacks : public QObject, ServerTestBase {
    Q_OBJECT

    // Ann's server has low limits so that large cases stay small; another one has the defaults.
    std::unique_ptr<ServerProcess> m_plain;
    std::optional<ServerSession> m_plainSession;

    TestClient plain() const { return m_plain->client(m_plainSession); }
    TestClient low() const { return ann(); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(startWithUser(m_plain, m_plainSession, {}));
        QVERIFY(
            startServer(1, {"--max-chain", "20", "--calculation-cells", "5000", "--formula-memory", "50"}));
    }

    void cleanupTestCase() {
        QVERIFY2(m_plain->stop(), qPrintable(m_plain->errorString()));
        QVERIFY(stopServer());
    }

    // Every way of making a chain too long is refused with nothing stored; a write that shortens
    // a chain, or leaves it as it was, is not.
    void chainsPastTheLimitAreRefused() {
        auto http = low();
        const SheetRef sheet = newSheet(http);
        QCOMPARE(write(http, sheet, chain(1, 31)), 422); // in one batch
        QCOMPARE(shown(http, sheet, 1, 0), std::string("<absent>"));
        QCOMPARE(write(http, sheet, chain(1, 21)), 200);  // 20 links
        QCOMPARE(write(http, sheet, chain(21, 22)), 422); // one link more
        // A formula put under the chain's start lengthens every link.
        QCOMPARE(write(http, sheet, {SheetApi::write(0, 0, "=B1+1"), SheetApi::write(0, 1, "=C1")}), 422);
        // A range counts every formula in it.
        QCOMPARE(write(http, sheet, {SheetApi::write(0, 2, "=SUM(A1:A21)")}), 422);
        QCOMPARE(shown(http, sheet, 0, 0) + shown(http, sheet, 0, 2), std::string("<absent><absent>"));
        QCOMPARE(write(http, sheet, {SheetApi::write(0, 0, "2")}), 200);
        QCOMPARE(shown(http, sheet, 19, 0), std::string("21"));
        // Cutting the chain and joining it again both stay allowed.
        QCOMPARE(write(http, sheet, {SheetApi::write(10, 0, "100")}), 200);
        QCOMPARE(shown(http, sheet, 19, 0), std::string("109"));
        QCOMPARE(write(http, sheet, {SheetApi::write(10, 0, "=A10+1")}), 200);
        QCOMPARE(shown(http, sheet, 20, 0), std::string("22"));
    }

    // Chains made under a higher limit stay usable: writes that leave them as long, or shorten
    // them, pass; only lengthening one is refused.
    void chainsFromBeforeALowerLimitStayWritable() {
        std::unique_ptr<ServerProcess> before;
        std::optional<ServerSession> session;
        QVERIFY(startWithUser(before, session, {"--max-chain", "30"}));
        auto http = before->client(session);
        const SheetRef sheet = newSheet(http);
        QCOMPARE(write(http, sheet, chain(1, 26)), 200); // 25 links
        QVERIFY2(before->stop(), qPrintable(before->errorString()));
        ServerProcess after(ServerProcess::Options{{}, {"--max-chain", "10"}, before->dataDir()});
        QVERIFY2(after.start(), qPrintable(after.errorString()));
        auto again = after.client(session);
        QCOMPARE(write(again, sheet, {SheetApi::write(0, 0, "5")}), 200);
        QCOMPARE(shown(again, sheet, 25, 0), std::string("30"));
        QCOMPARE(write(again, sheet, {SheetApi::write(20, 0, "=A20+1")}), 200);
        QCOMPARE(write(again, sheet, chain(26, 27)), 422);
        QCOMPARE(write(again, sheet, {SheetApi::write(12, 0, "")}), 200);
        QCOMPARE(shown(again, sheet, 25, 0), std::string("13"));
        QVERIFY2(after.stop(), qPrintable(after.errorString()));
    }

    void importedChainFailsCleanly() {
        QTemporaryDir folder;
        WorkbookWriter::Content content;
        content.tabName = "Chain";
        content.cells.push_back(StoredCell{0, 0, "1", "1", 1.0, true, {}});
        for (std::int64_t r = 1; r < 40; ++r)
            content.cells.push_back(
                StoredCell{r, 0, "=A" + std::to_string(r) + "+1", "", std::nullopt, false, {}});
        auto http = low();
        const std::size_t before = TestClient::json(http.get("/sheets"))["Sheets"].size();
        const auto outcome =
            importBook(http, "chain.xlsx", WorkbookWriter::write(content, folder.path().toStdString()));
        QCOMPARE(outcome["status"].get<std::string>(), std::string("failed"));
        QVERIFY(!outcome["error"].get<std::string>().empty());
        QCOMPARE(TestClient::json(http.get("/sheets"))["Sheets"].size(), before);
        QVERIFY(m_server->running());
    }

    // The failing formula shows its error in its own cell; the sheet stays writable for every
    // kind of write.
    void unevaluableFormulasShowErrorValues() {
        // Functions the engine does not have (WAIT only sleeps), bad arguments, IF without an else, a
        // failing cell used, and what works still working.
        const std::pair<std::string, std::string> cases[] = {
            {"=ABS(-1)", "#NAME?"},      {"=INDIRECT(\"A1\")", "#NAME?"},     {"=WAIT(1)", "#NAME?"},
            {"=MMULT(1, 2)", "#VALUE!"}, {"=MMULT(NOW(), A1:A2)", "#VALUE!"}, {"=IF(A1>0, 1)", "#VALUE!"},
            {"=C1+1", "#VALUE!"},        {"=IF(A1>1, 10, 20)", "10"},         {"=SUM(A1:A3)+PI()*0", "2.5"}};
        auto http = low();
        for (const auto &[formula, shown] : cases) {
            const SheetRef sheet = newSheet(http);
            QCOMPARE(write(http, sheet, {SheetApi::write(0, 0, "2.5"), SheetApi::write(0, 2, "=ABS(1)")}),
                     200);
            const auto written = SheetApi::batch(http, sheet, {SheetApi::write(0, 1, formula)});
            QCOMPARE(status(written), 200);
            QCOMPARE(shownIn(written, 0, 1), shown);
            QCOMPARE(write(http, sheet, {SheetApi::write(0, 0, "3")}), 200);
            QCOMPARE(status(http.postForm(sheet.page() + "/undo", {})), 200);
            QCOMPARE(write(http, sheet, {SheetApi::write(0, 1, "")}), 200);
            QCOMPARE(status(http.postForm(sheet.page() + "/undo", {})), 200);
            QCOMPARE(::shown(http, sheet, 0, 1), shown);
            const auto history = TestClient::json(http.get(sheet.page() + "/history"));
            const auto first = history["Entries"].back()["ID"].get<std::uint64_t>();
            QCOMPARE(status(http.postForm(sheet.page() + "/restore", {{"event", std::to_string(first)}})),
                     200);
        }
    }

    // Text that grows from cell to cell stops at a bound instead of filling memory.
    void longTextResultsAreBounded() {
        auto http = low();
        const SheetRef sheet = newSheet(http);
        const auto written = SheetApi::batch(
            http, sheet,
            {SheetApi::write(0, 0, std::string(8000, 'x')), SheetApi::write(1, 0, "=LEN(A1&A1&A1&A1)"),
             SheetApi::write(2, 0, "=A1&A1&A1&A1&A1"), SheetApi::write(3, 0, "=A3&A3")});
        QCOMPARE(status(written), 200);
        QCOMPARE(shownIn(written, 1, 0) + " " + shownIn(written, 2, 0) + " " + shownIn(written, 3, 0),
                 std::string("32000 #VALUE! #VALUE!"));
    }

    // The whole sheet, whole columns and a column within the default budget; past and within a low one.
    void hugeRangesShowAnErrorValue() {
        const std::tuple<bool, std::string, std::string> cases[] = {
            {false, "=SUM($A$1:$XFC$1048576)", "#VALUE!"},
            {false, "=SUM(A:XFC)", "#VALUE!"},
            {false, "=SUM(A:A)", "3"},
            {true, "=SUM(A1:B3000)", "#VALUE!"},
            {true, "=SUM(A1:A4000)", "3"}};
        for (const auto &[lowLimits, formula, shown] : cases) {
            auto http = lowLimits ? low() : plain();
            const SheetRef sheet = newSheet(http);
            QCOMPARE(write(http, sheet, {SheetApi::write(0, 0, "1"), SheetApi::write(1, 0, "2")}), 200);
            const auto written = SheetApi::batch(http, sheet, {SheetApi::write(0, 2, formula)});
            QCOMPARE(status(written), 200);
            QCOMPARE(shownIn(written, 0, 2), shown);
            // The budget is per recalculation: later writes still calculate what fits.
            QCOMPARE(shownIn(SheetApi::batch(http, sheet, {SheetApi::write(0, 3, "=A1+A2")}), 0, 3),
                     std::string("3"));
        }
    }
};

QTEST_GUILESS_MAIN(TestContentAttacks)
#include "tst_ContentAttacks.moc"
