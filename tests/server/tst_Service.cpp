// Running tabrel-server as a service: one log line per request (the root
// page among them), and backups taken while it serves, including ones that cannot be written.

#include "RawConnection.h"
#include "ServerTest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/resource.h>

#include <atomic>
#include <csignal>

namespace {
// What the data folder holds: names and sizes, and the database's bytes.
QStringList folderState(const QString &path) {
    QStringList state;
    for (const auto &entry :
         QDir(path).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        state << entry.fileName() + " " + QString::number(entry.size());
    QFile database(path + "/tabrel.db");
    if (database.open(QIODevice::ReadOnly))
        state << QString::fromLatin1(
            QCryptographicHash::hash(database.readAll(), QCryptographicHash::Sha256).toHex());
    return state;
}
} // namespace

class TestService : public QObject, ServerTestBase {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServer(1)); }

    void cleanupTestCase() { QVERIFY(stopServer()); }

    void eachRequestIsOneLogLine() {
        ServerProcess server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        auto http = server.client();
        QCOMPARE(status(http.get("/sheets?token=private")), 401);
        // The root page says how to connect.
        const auto page = http.get("/");
        QCOMPARE(status(page), 200);
        QCOMPARE(page->get_header_value("Content-Type"), std::string("text/html; charset=utf-8"));
        QVERIFY(page->body.find("Brevane Tabrel server") != std::string::npos);
        QVERIFY(page->body.find(server.origin()) != std::string::npos);
        QCOMPARE(status(http.get("/a%0Ab%1B")), 401);
        RawConnection chunked(server.port());
        chunked.send("POST /sheets HTTP/1.1\r\nHost: x\r\nOrigin: " + server.origin() +
                     "\r\nTransfer-Encoding: chunked\r\n\r\n");
        QVERIFY(chunked.answer());
        QVERIFY(server.stop());
        const QString output = server.output();
        for (const char *line :
             {"GET /sheets 401 ", "GET / 200 ", "GET /a%0Ab%1B 401 ", "POST /sheets 411 "}) {
            const QRegularExpression pattern("^" + QRegularExpression::escape(line) + "\\d+\\.\\dms$",
                                             QRegularExpression::MultilineOption);
            QVERIFY2(pattern.match(output).hasMatch(), qPrintable(line + QString(" in:\n") + output));
        }
        QVERIFY(!output.contains("private"));
    }

    void aBackupHoldsEveryWriteConfirmedBeforeIt() {
        auto http = m_server->client(m_ann);
        const SheetRef sheet = newSheet(http);
        // Writers keep the server busy before, during and after the backup.
        std::atomic<int> confirmed{0};
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            auto client = m_server->client(m_ann);
            for (int n = 1; n < 1250 && !stop; ++n) {
                if (status(SheetApi::batch(client, sheet,
                                           {SheetApi::write(n % 25, n / 25, std::to_string(n))})) != 200)
                    return;
                confirmed = n;
            }
        });
        while (confirmed < 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int before = confirmed;
        QTemporaryDir restored;
        const QString file = restored.path() + "/tabrel.db";
        QString output;
        const int code = m_server->run({"backup", "--data", m_server->dataDir(), file}, &output);
        stop = true;
        writer.join();
        QVERIFY2(code == 0, qPrintable(output));
        QVERIFY2(output.contains("backed up"), qPrintable(output));
        QCOMPARE(QFileInfo(file).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

        // The copy is a working data folder of its own.
        ServerProcess copy(ServerProcess::Options{{}, {}, restored.path()});
        QVERIFY2(copy.start(), qPrintable(copy.errorString()));
        auto reader = copy.client(m_ann);
        const auto grid = TestClient::json(SheetApi::tile(reader, sheet, 0, 0, 25, 50));
        for (int n = 1; n <= before; ++n)
            QVERIFY2(raw(grid, n % 25, n / 25) == std::to_string(n), qPrintable(QString::number(n)));
        QVERIFY(copy.stop());
    }

    void aBackupThatCannotBeWrittenChangesNothing_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("full");
        QTest::addColumn<QString>("reason");
        QTest::newRow("read-only place")
            << "/proc/self/tabrel.db" << false << "cannot write /proc/self/tabrel.db";
        QTest::newRow("full place") << "" << true << "there is no space left there";
    }

    void aBackupThatCannotBeWrittenChangesNothing() {
        QFETCH(QString, target);
        QFETCH(bool, full);
        QFETCH(QString, reason);
        QTemporaryDir elsewhere;
        if (target.isEmpty())
            target = elsewhere.path() + "/tabrel.db";
        const QStringList before = folderState(m_server->dataDir());
        QString output;
        // A full disk, as the backup sees it: no file may grow past 4 KiB.
        const auto fill = [] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4096, 4096};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        };
        const int code = m_server->run({"backup", "--data", m_server->dataDir(), target}, &output,
                                       full ? std::function<void()>(fill) : std::function<void()>());
        QCOMPARE(code, 1);
        QVERIFY2(output.contains("backup failed: ") && output.contains(reason), qPrintable(output));
        QVERIFY(!QFileInfo::exists(target));
        QVERIFY(!QFileInfo::exists(target + ".partial"));
        QCOMPARE(folderState(m_server->dataDir()), before);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_Service.moc"
