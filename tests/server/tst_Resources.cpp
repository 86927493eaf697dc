// Attacks on the server's shared resources: workbooks that unpack to far more than their size,
// one account filling the import queue or every stream slot, and a stream reader that stalls.

#include "EventStream.h"
#include "RawConnection.h"
#include "ServerTest.h"

#include <zlib.h>

namespace {
// Appends `value` little-endian in `bytes` bytes.
void put(std::string &out, std::uint32_t value, int bytes = 4) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

struct Part {
    std::string name;
    std::string content;
    std::uint32_t declared = 0; // the unpacked size the archive claims; 0: the true one
};

// A zip archive of deflated parts, with sizes that may lie.
std::string zip(const std::vector<Part> &parts) {
    std::string out;
    std::string directory;
    for (const auto &part : parts) {
        // zlib's format is a raw deflate stream between a 2-byte head and a 4-byte checksum.
        uLongf length = compressBound(part.content.size());
        std::string packed(length, '\0');
        compress2(reinterpret_cast<Bytef *>(packed.data()), &length,
                  reinterpret_cast<const Bytef *>(part.content.data()), part.content.size(), 9);
        packed = packed.substr(2, length - 6);
        const auto crc = static_cast<std::uint32_t>(crc32(
            0, reinterpret_cast<const Bytef *>(part.content.data()), static_cast<uInt>(part.content.size())));
        const std::uint32_t size =
            part.declared ? part.declared : static_cast<std::uint32_t>(part.content.size());
        const auto offset = static_cast<std::uint32_t>(out.size());
        std::string common;
        put(common, 20);   // version needed; no flags
        put(common, 8, 2); // deflate
        put(common, 0);    // time and date
        put(common, crc);
        put(common, static_cast<std::uint32_t>(packed.size()));
        put(common, size);
        put(common, static_cast<std::uint32_t>(part.name.size())); // no extra
        put(out, 0x04034b50);
        out += common + part.name + packed;
        put(directory, 0x02014b50);
        put(directory, 20, 2); // made by
        directory += common;
        directory += std::string(10, '\0'); // comment, disk, internal and external attributes
        put(directory, offset);
        directory += part.name;
    }
    const auto start = static_cast<std::uint32_t>(out.size());
    out += directory;
    put(out, 0x06054b50);
    put(out, 0);                                                  // disks
    put(out, static_cast<std::uint32_t>(parts.size() * 0x10001)); // parts here and in all
    put(out, static_cast<std::uint32_t>(directory.size()));
    put(out, start);
    put(out, 0, 2);
    return out;
}

} // namespace

class TestResources : public QObject, ServerTestBase {
    Q_OBJECT

    httplib::Result upload(const std::optional<ServerSession> &session, const std::string &bytes) {
        auto http = m_server->client(session);
        return ::upload(http, "book.xlsx", bytes);
    }

private Q_SLOTS:
    void initTestCase() {
        // Workbooks may unpack to 1 MiB, half of it in one part; three streams per account; a
        // stream may fall 64 KiB behind.
        QVERIFY(startServer(2, {"--max-unpacked-bytes", "1048576", "--streams-per-account", "3",
                                "--stream-queue-bytes", "65536"}));
    }

    void cleanupTestCase() { QVERIFY(stopServer()); }
    void workbooksAreUnpackedWithinLimits() {
        const std::string tooLarge =
            "This workbook unpacks to more than this server imports: at most 1 MB in "
            "all and 512 KB for one part.";
        const std::string damaged =
            "This workbook could not be read: the file is damaged or is not an .xlsx or .xlsm workbook.";
        // One part too large, parts too large together, a part larger than it says.
        const std::pair<std::string, std::string> cases[] = {
            {zip({{"xl/worksheets/sheet1.xml", std::string(600 * 1024, ' '), 0}}), tooLarge},
            {zip({{"a.xml", std::string(400 * 1024, ' '), 0},
                  {"b.xml", std::string(400 * 1024, ' '), 0},
                  {"c.xml", std::string(400 * 1024, ' '), 0}}),
             tooLarge},
            {zip({{"xl/worksheets/sheet1.xml", std::string(400 * 1024, ' '), 1000}}), damaged}};
        auto http = m_server->client(m_ann);
        for (const auto &[workbook, error] : cases) {
            const auto outcome = importBook(http, "book.xlsx", workbook);
            QCOMPARE(outcome.value("status", "") + "|" + outcome.value("error", ""), "failed|" + error);
        }
    }

    void oneAccountCannotFillTheImportQueue() {
        // A workbook that takes the import a while: ten thousand cells, exported by the server.
        auto http = m_server->client(m_ann);
        const SheetRef sheet = newSheet(http);
        for (int block = 0; block < 2; ++block) {
            std::vector<nlohmann::json> cells;
            for (int r = 0; r < 100; ++r) {
                for (int c = 0; c < 50; ++c)
                    cells.push_back(SheetApi::write(block * 100 + r, c, std::to_string(r * c)));
            }
            QCOMPARE(status(SheetApi::batch(http, sheet, cells)), 200);
        }
        const auto exported = http.get(sheet.page() + "/export.xlsx");
        QCOMPARE(status(exported), 200);
        int accepted = 0, refusal = 0;
        for (int attempt = 0; attempt < 25 && refusal == 0; ++attempt) {
            const int answer = status(upload(m_ann, exported->body));
            if (answer == 202)
                ++accepted;
            else
                refusal = answer;
        }
        QCOMPARE(refusal, 429);
        QVERIFY(accepted < 20);
        // Another account's upload is taken while Ann's wait.
        QCOMPARE(status(upload(m_bob, fixture("plain.xlsx"))), 202);
    }

    void oneAccountCannotTakeEveryStream() {
        auto http = m_server->client(m_ann);
        const SheetRef sheet = newSheet(http);
        QCOMPARE(status(http.postForm(sheet.page() + "/share",
                                      {{"address", "bob@example.com"}, {"role", "viewer"}})),
                 200);
        std::vector<std::unique_ptr<EventStream>> streams;
        for (int i = 0; i < 3; ++i) {
            streams.push_back(
                std::make_unique<EventStream>(m_server->origin(), *m_ann, sheet.tab() + "/stream"));
            QVERIFY(streams.back()->waitOpen());
        }
        EventStream refused(m_server->origin(), *m_ann, sheet.tab() + "/stream");
        QVERIFY(!refused.waitOpen());
        QCOMPARE(refused.status(), 429);
        EventStream bobs(m_server->origin(), *m_bob, sheet.tab() + "/stream");
        QVERIFY(bobs.waitOpen());
    }

    void aStalledReaderIsToldToReload() {
        // Bob's, since Ann's streams of the last test may still count until the server writes to them.
        auto http = m_server->client(m_bob);
        const SheetRef sheet = newSheet(http);
        RawConnection reader(m_server->port(), "127.0.0.61", 4096);
        QVERIFY(reader.send("GET " + sheet.tab() +
                            "/stream HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\nCookie: " +
                            m_bob->name + "=" + m_bob->value + "\r\n\r\n"));
        QCOMPARE(reader.answer().value_or(RawConnection::Answer{}).status, 200);
        // The reader stops reading while far more changes than any buffer holds go by.
        for (int change = 0; change < 12; ++change) {
            std::vector<nlohmann::json> cells;
            for (int r = 0; r < 100; ++r)
                cells.push_back(
                    SheetApi::write(r, change, std::string(8000, static_cast<char>('a' + change))));
            QCOMPARE(status(SheetApi::batch(http, sheet, cells)), 200);
        }
        // Reading again, it finds "resync" and the end of the stream, not the changes it missed.
        QVERIFY(reader.readUntil("event: resync", std::chrono::seconds(60)));
        const std::size_t resync = reader.received().find("event: resync");
        QVERIFY(reader.readUntil("\r\n0\r\n\r\n", std::chrono::seconds(30)));
        QVERIFY(reader.received().find("\r\n0\r\n\r\n", resync) != std::string::npos);
        QVERIFY(reader.received().find(std::string(100, 'l')) == std::string::npos);
    }
};

QTEST_GUILESS_MAIN(TestResources)
#include "tst_Resources.moc"
