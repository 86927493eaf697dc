// The live stream against the real server: "cells" events for every change, keep-alive comments,
// "resync" for large changes, "bye" when idle or signed out.

#include "ServerTest.h"

namespace {
const std::string email = "ann@example.com";

nlohmann::json data(const EventStream::Event &event) {
    return nlohmann::json::parse(event.data, nullptr, false);
}
} // namespace

class TestStream : public QObject, ServerTestBase {
    Q_OBJECT

    // Opens a stream of the sheet and waits until it is open.
    std::unique_ptr<EventStream> open(const SheetRef &sheet, const std::optional<ServerSession> &session) {
        auto stream = std::make_unique<EventStream>(m_server->origin(), *session, sheet.tab() + "/stream");
        return stream->waitOpen() ? std::move(stream) : nullptr;
    }

private Q_SLOTS:
    void initTestCase() {
        // Every case opens streams of one account from one address, more in all than the defaults allow.
        QVERIFY(startServer(
            1, {"--keep-alive", "1", "--streams-per-account", "200", "--connections-per-address", "300"}));
    }

    void cleanupTestCase() { QVERIFY(stopServer()); }
    void everyWatcherReceivesTheSameCellsEvent() {
        const SheetRef sheet = this->sheet();
        const auto other = m_server->signIn(email, password);
        QVERIFY(other);
        auto own = open(sheet, m_ann);
        auto second = open(sheet, other);
        QVERIFY(own && second);
        auto http = m_server->client(m_ann);
        const auto answer =
            SheetApi::batch(http, sheet, {SheetApi::write(0, 0, "4"), SheetApi::write(0, 1, "=A1*A1")});
        QCOMPARE(status(answer), 200);
        const auto first = own->waitForEvent("cells");
        const auto seen = second->waitForEvent("cells");
        QVERIFY(first && seen);
        QCOMPARE(first->data, seen->data);
        const auto grid = data(*first);
        QCOMPARE(grid["version"].dump() + " " + grid["stamps"].dump(), std::string("2 2"));
        QCOMPARE(display(grid, 0, 1), std::string("16"));
        // The event carries what the writer's answer carries.
        QVERIFY(TestClient::json(answer) == grid);
        // A recalculated dependant arrives with the change that caused it.
        SheetApi::batch(http, sheet, {SheetApi::write(0, 0, "5")});
        QVERIFY(second->waitFor([](const auto &events) { return events.size() >= 2; }));
        QCOMPARE(display(data(second->events()[1]), 0, 1), std::string("25"));
    }

    void formatAndSizeChangesAreStreamed() {
        const SheetRef sheet = this->sheet();
        auto stream = open(sheet, m_ann);
        QVERIFY(stream);
        auto http = m_server->client(m_ann);
        http.postJson(sheet.tab() + "/format",
                      {{"r1", 0}, {"c1", 0}, {"r2", 0}, {"c2", 0}, {"italic", true}});
        http.postJson(sheet.tab() + "/size", {{"row", 3}, {"size", 50}});
        QVERIFY(stream->waitFor([](const auto &events) { return events.size() >= 2; }));
        const auto events = stream->events();
        const auto formatted = data(events[0]);
        const std::string key = SheetApi::cell(formatted, 0, 0)["f"].get<std::string>();
        QCOMPARE(formatted["formats"][key]["i"].get<bool>(), true);
        QCOMPARE(data(events[1])["sizes"]["rows"]["3"].get<double>(), 50.0);
    }

    void quietStreamsGetKeepAliveComments() {
        const SheetRef sheet = this->sheet();
        auto stream = open(sheet, m_ann);
        QVERIFY(stream);
        // This server sends a comment after one quiet second.
        QTRY_VERIFY_WITH_TIMEOUT(stream->comments() >= 2, 20000);
        QVERIFY(stream->events().empty());
    }

    void largeChangesAskForAResync() {
        const SheetRef sheet = this->sheet();
        auto http = m_server->client(m_ann);
        // 5,001 formulas depend on A1, so changing A1 changes 5,002 cells.
        for (int start = 1; start <= 5001; start += 2501) {
            std::vector<nlohmann::json> writes;
            for (int r = start; r < std::min(start + 2501, 5002); ++r)
                writes.push_back(SheetApi::write(r, 0, "=$A$1+1"));
            QCOMPARE(status(SheetApi::batch(http, sheet, writes)), 200);
        }
        auto stream = open(sheet, m_ann);
        QVERIFY(stream);
        // The writer's answer and the event both say so, with the new version.
        for (auto said : {TestClient::json(SheetApi::batch(http, sheet, {SheetApi::write(0, 0, "7")})),
                          nlohmann::json::parse(eventData(*stream, "resync"), nullptr, false)})
            QCOMPARE(said["resync"].dump() + " " + said["version"].dump(), std::string("true 5002"));
        // The new values are there for the reload.
        QCOMPARE(display(TestClient::json(SheetApi::tile(http, sheet, 5000, 0, 2, 1)), 5001, 0),
                 std::string("8"));
    }

    void signingOutEndsTheStreamsOfThatSession() {
        const SheetRef sheet = this->sheet();
        const auto session = m_server->signIn(email, password);
        QVERIFY(session);
        auto stream = open(sheet, session);
        QVERIFY(stream);
        QCOMPARE(status(m_server->client(session).post("/signout", "")), 200);
        QCOMPARE(eventData(*stream, "bye"), std::string("signed-out"));
        QVERIFY(stream->waitEnded());
    }

    void streamsAreRefusedWithoutAccess() {
        const SheetRef sheet = this->sheet();
        EventStream signedOut(m_server->origin(), {"larkspan_session", std::string(43, 'B')},
                              sheet.tab() + "/stream");
        QVERIFY(!signedOut.waitOpen());
        QCOMPARE(signedOut.status(), 401);
        SheetRef missing{sheet.id + 1000, sheet.tabId};
        EventStream elsewhere(m_server->origin(), *m_ann, missing.tab() + "/stream");
        QVERIFY(!elsewhere.waitOpen());
        QCOMPARE(elsewhere.status(), 404);
    }

    void idleStreamsSayByeIdle() {
        ServerProcess quiet(ServerProcess::Options{{}, {"--idle-timeout", "2", "--keep-alive", "1"}, {}});
        QVERIFY2(quiet.start(), qPrintable(quiet.errorString()));
        const auto session = person(quiet, "ann");
        QVERIFY(session);
        auto http = quiet.client(session);
        EventStream stream(quiet.origin(), *session, newSheet(http).tab() + "/stream");
        QVERIFY(stream.waitOpen());
        QCOMPARE(eventData(stream, "bye"), std::string("idle"));
        QVERIFY(stream.waitEnded());
        QVERIFY2(quiet.stop(), qPrintable(quiet.errorString()));
    }
};

QTEST_GUILESS_MAIN(TestStream)
#include "tst_Stream.moc"
