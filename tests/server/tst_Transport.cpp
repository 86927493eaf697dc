// Attacks on the transport: bodies the server must refuse from their head alone (chunked,
// compressed, too long, without a session), answers that are always framed, slow request heads and a
// crowd from one address.

#include "RawConnection.h"
#include "ServerTest.h"

namespace {
constexpr auto answerLimit = std::chrono::seconds(20);
} // namespace

class TestTransport : public QObject, ServerTestBase {
    Q_OBJECT

    std::string head(const std::string &method, const std::string &path, const std::string &headers) const {
        return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: " + m_server->origin() +
               "\r\n" + headers + "\r\n";
    }
    std::string cookie() const { return "Cookie: " + m_ann->name + "=" + m_ann->value + "\r\n"; }
    int homePageFrom(const std::string &address) const {
        RawConnection connection(m_server->port(), address);
        connection.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        return connection.answer(answerLimit).value_or(RawConnection::Answer{}).status;
    }

private Q_SLOTS:
    void initTestCase() {
        // The default body limit; a short deadline for request heads and a small crowd per address.
        QVERIFY(startServer(1, {"--request-deadline-ms", "1500", "--connections-per-address", "8"}));
    }

    void cleanupTestCase() { QVERIFY(stopServer()); }
    // Only heads are sent: a server that waited for the body would not answer.
    void bodiesAreRefusedFromTheirHead() {
        const struct {
            bool signedIn;
            std::string path, headers;
            int status;
            std::string notice;
        } cases[] = {
            {true, "/sheets", "Transfer-Encoding: chunked\r\n", 411, "length-required"},
            {true, "/sheets", "", 411, "length-required"},
            {true, "/sheets", "Content-Encoding: gzip\r\nContent-Length: 2000000\r\n", 415,
             "unsupported-encoding"},
            {true, "/sheets", "Content-Length: 67108865\r\n", 413, "too-large"}, // over the default 64 MiB
            {true, "/sheets", "Expect: 100-continue\r\nContent-Length: 67108865\r\n", 413, "too-large"},
            {true, "/sheets/1/rename", "Content-Length: 1048577\r\n", 413, "too-large"}, // a form over 1 MiB
            {true, "/sheets", "Content-Length: 12x\r\n", 400, "bad-request"},
            {false, "/sheets", "Content-Length: 1000000\r\n", 401, "signed-out"},
            {false, "/native/request", "Content-Length: 65537\r\n", 413, "too-large"}}; // sign-in over 64 KiB
        for (const auto &refusal : cases) {
            RawConnection connection(m_server->port());
            QVERIFY(connection.send(head("POST", refusal.path,
                                         refusal.headers + (refusal.signedIn ? cookie() : std::string()) +
                                             "Content-Type: application/json\r\n")));
            const auto answer = connection.answer(answerLimit);
            QVERIFY2(answer, "no answer before the body");
            QCOMPARE(answer->status, refusal.status);
            QCOMPARE(nlohmann::json::parse(answer->body)["notice"].get<std::string>(), refusal.notice);
            // The unread body cannot be told from the next request: the connection ends.
            QCOMPARE(answer->header("connection"), std::string("close"));
            QVERIFY(connection.closedWithin(answerLimit));
        }
    }

    // Answers are packed with gzip when the client takes it, never with the library's slow brotli.
    void answersArePackedWithGzipAlone() {
        for (const auto &[accepted, packed] : {std::pair{"br, gzip", "gzip"}, {"br", ""}, {"gzip", "gzip"}}) {
            RawConnection connection(m_server->port());
            QVERIFY(connection.send(std::string("GET / HTTP/1.1\r\nHost: x\r\nAccept-Encoding: ") + accepted +
                                    "\r\n\r\n"));
            const auto answer = connection.answer(answerLimit);
            QVERIFY(answer);
            QCOMPARE(answer->header("content-encoding"), std::string(packed));
        }
    }

    // An answer's head waits for its body to go out with it; a head with no body to follow (HEAD)
    // still goes out when the answer ends, and the connection serves the next request.
    void headsGoOutWithTheirBodies() {
        RawConnection connection(m_server->port());
        QVERIFY(connection.send("HEAD / HTTP/1.1\r\nHost: x\r\n\r\n"));
        QVERIFY(connection.readUntil("\r\n\r\n", answerLimit));
        const std::string length = "Content-Length: ";
        const auto at = connection.received().find(length);
        QVERIFY(at != std::string::npos);
        const auto declared = std::stoul(connection.received().substr(at + length.size()));
        QVERIFY(declared > 0);
        QVERIFY(connection.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
        QVERIFY(connection.readUntil("</html>\n", answerLimit));
        const auto second = connection.received().find("HTTP/1.1 200", 1);
        QVERIFY(second != std::string::npos);
        const auto body = connection.received().find("\r\n\r\n", second) + 4;
        QCOMPARE(connection.received().size() - body, declared);
    }

    // Home page, refusal, unknown path, approval page, HTTP/1.0 and a request that is no request.
    void everyAnswerIsFramed() {
        for (const char *request :
             {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "GET /sheets HTTP/1.1\r\nHost: x\r\n\r\n",
              "GET /native/nothing HTTP/1.1\r\nHost: x\r\n\r\n",
              "GET /native/start?id=x HTTP/1.1\r\nHost: x\r\n\r\n", "GET / HTTP/1.0\r\n\r\n",
              "GARBAGE\r\n\r\n"}) {
            RawConnection connection(m_server->port());
            QVERIFY(connection.send(request));
            const auto answer = connection.answer(answerLimit);
            // Not framed: the answer's end is marked only by closing the connection.
            QVERIFY2(answer && answer->framed, request);
        }
    }

    void slowHeadsAreCutOffWhileOthersAreServed() {
        // Eight connections from one address trickle a request head; each would finish only after
        // a minute, and the server is not to wait that long.
        std::vector<std::unique_ptr<RawConnection>> slow;
        for (int i = 0; i < 8; ++i) {
            slow.push_back(std::make_unique<RawConnection>(m_server->port(), "127.0.0.9"));
            QVERIFY(slow.back()->send("GET /sheets HTTP/1.1\r\n"));
        }
        // The address's share is taken: one more is turned away at once, without a thread.
        RawConnection extra(m_server->port(), "127.0.0.9");
        QCOMPARE(extra.answer(answerLimit).value_or(RawConnection::Answer{}).status, 503);
        // Another address is answered meanwhile.
        QCOMPARE(homePageFrom("127.0.0.10"), 200);
        // Sending steadily does not keep a head alive past its deadline.
        int cut = 0;
        for (int tick = 0; tick < 120 && cut < 8; ++tick) {
            cut = 0;
            for (auto &connection : slow) {
                if (!connection->send("X") || connection->closedWithin(std::chrono::milliseconds(1)))
                    ++cut;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        QCOMPARE(cut, 8);
        // Its connections gone, the address is served again.
        QCOMPARE(homePageFrom("127.0.0.9"), 200);
    }
};

QTEST_GUILESS_MAIN(TestTransport)
#include "tst_Transport.moc"
