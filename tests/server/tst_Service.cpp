// Running tabrel-server as a service: one log line per request (the root page among them), backups
// taken while it serves (including ones that cannot be written), a data folder only its own user can
// read, exported workbooks that carry no formula another program would run but this server cannot,
// and https with its host-prefixed session cookie.

#include "RawConnection.h"
#include "ServerTest.h"
#include "workbooks/WorkbookReader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <sys/resource.h>
#include <sys/stat.h>

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
// The permission bits of a path, or -1 when it is missing.
int mode(const QString &path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return static_cast<int>(info.st_mode & 07777);
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

    // To a read-only place, and to a full one.
    void aBackupThatCannotBeWrittenChangesNothing() {
        QTemporaryDir elsewhere;
        const std::tuple<QString, bool, QString> cases[] = {
            {"/proc/self/tabrel.db", false, "cannot write /proc/self/tabrel.db"},
            {elsewhere.path() + "/tabrel.db", true, "there is no space left there"}};
        // A full disk, as the backup sees it: no file may grow past 4 KiB.
        const auto fill = [] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4096, 4096};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        };
        for (const auto &[target, full, reason] : cases) {
            const QStringList before = folderState(m_server->dataDir());
            QString output;
            const int code = m_server->run({"backup", "--data", m_server->dataDir(), target}, &output,
                                           full ? std::function<void()>(fill) : std::function<void()>());
            QCOMPARE(code, 1);
            QVERIFY2(output.contains("backup failed: ") && output.contains(reason), qPrintable(output));
            QVERIFY(!QFileInfo::exists(target) && !QFileInfo::exists(target + ".partial"));
            QCOMPARE(folderState(m_server->dataDir()), before);
        }
    }

    // The copy replaces an older backup, but never the live database nor what is not a plain file.
    void aBackupReplacesOnlyAPlainFile() {
        QTemporaryDir elsewhere;
        const QString data = m_server->dataDir();
        const QString older = elsewhere.path() + "/older.db";
        QVERIFY(QDir(elsewhere.path()).mkdir("folder"));
        QVERIFY(QFile::link(older, elsewhere.path() + "/link.db"));
        QVERIFY(::mkfifo(QFile::encodeName(elsewhere.path() + "/pipe").constData(), 0600) == 0);
        const std::pair<QString, QString> refused[] = {
            {data + "/tabrel.db", "it is the server's own database"},
            {data + "/../" + QFileInfo(data).fileName() + "/tabrel.db-wal",
             "it is the server's own database"},
            {elsewhere.path() + "/folder", "it is a folder"},
            {elsewhere.path() + "/link.db", "it is a link"},
            {elsewhere.path() + "/pipe", "it is not a plain file"}};
        QFile stale(older);
        QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write("stale") == 5);
        stale.close();
        for (const auto &[target, reason] : refused) {
            const QStringList before = folderState(data);
            QString output;
            QCOMPARE(m_server->run({"backup", "--data", data, target}, &output), 1);
            QVERIFY2(output.contains("cannot write " + target + ": " + reason), qPrintable(output));
            QCOMPARE(folderState(data), before);
            QVERIFY(QFileInfo(elsewhere.path() + "/link.db").isSymLink());
            QCOMPARE(QFileInfo(older).size(), 5);
        }
        QString output;
        QCOMPARE(m_server->run({"backup", "--data", data, older}, &output), 0);
        QVERIFY2(QFileInfo(older).size() > 5, qPrintable(output));
    }

    // A folder and database left open to others (by hand, or by an older server) are closed on
    // start; what the server creates afterwards is private from the start.
    void dataFolderIsPrivate() {
        QTemporaryDir parent;
        const QString folder = parent.path() + "/data";
        QVERIFY(QDir().mkpath(folder + "/scratch"));
        QFile database(folder + "/tabrel.db");
        QVERIFY(database.open(QIODevice::WriteOnly));
        database.close();
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder + "/scratch").constData(), 0777) == 0);
        QVERIFY(::chmod(QFile::encodeName(database.fileName()).constData(), 0644) == 0);
        ServerProcess server(ServerProcess::Options{{}, {}, folder});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const auto session = person(server, "ann");
        QVERIFY(session);
        auto http = server.client(session);
        const SheetRef sheet = newSheet(http);
        QCOMPARE(status(SheetApi::batch(http, sheet, {SheetApi::write(0, 0, "secret")})), 200);
        QCOMPARE(status(http.get(sheet.page() + "/export.xlsx")), 200);
        QCOMPARE(mode(folder), 0700);
        QCOMPARE(mode(folder + "/scratch"), 0700);
        for (const auto &name : {"tabrel.db", "tabrel.db-wal", "tabrel.db-shm", "tabrel-server.lock"})
            QCOMPARE(mode(folder + "/" + name), 0600);
        QVERIFY2(server.stop(), qPrintable(server.errorString()));
    }

    // Each formula the server cannot calculate (commands through DDE, alone or in an expression, a
    // web service, a function it lacks) leaves as the text it shows; one it can stays a formula.
    void exportCarriesOnlyFormulasTheServerCalculates() {
        const std::pair<std::string, bool> formulas[] = {{"=cmd|' /C calc'!A0", false},
                                                         {"=1+cmd|'/C calc'!A0", false},
                                                         {"=WEBSERVICE(\"http://example.com/\")", false},
                                                         {"=ABS(-1)", false},
                                                         {"=A1*2", true}};
        auto http = m_server->client(m_ann);
        const SheetRef sheet = newSheet(http);
        std::vector<nlohmann::json> cells{SheetApi::write(0, 0, "21")};
        for (std::size_t c = 0; c < std::size(formulas); ++c)
            cells.push_back(SheetApi::write(0, std::int64_t(c) + 1, formulas[c].first));
        const auto written = SheetApi::batch(http, sheet, cells);
        QCOMPARE(status(written), 200);
        const auto exported = http.get(sheet.page() + "/export.xlsx");
        QCOMPARE(status(exported), 200);
        const auto book = WorkbookReader::read(exported->body);
        for (std::int64_t c = 1; c <= std::int64_t(std::size(formulas)); ++c) {
            const auto cell = std::find_if(book.cells.begin(), book.cells.end(),
                                           [c](const auto &found) { return found.r == 0 && found.c == c; });
            QVERIFY(cell != book.cells.end());
            if (formulas[c - 1].second)
                QVERIFY2(cell->raw.starts_with("="), cell->raw.c_str());
            else
                QCOMPARE(cell->raw, display(TestClient::json(written), 0, c));
        }
    }

    void httpsSessionsUseTheHostPrefixedCookie() {
        QTemporaryDir keys;
        const QString certificate = keys.filePath("cert.pem");
        const QString key = keys.filePath("key.pem");
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                                  certificate, "-days", "1", "-subj", "/CN=127.0.0.1"});
        QVERIFY(openssl.waitForFinished(60000));
        QCOMPARE(openssl.exitCode(), 0);
        ServerProcess server(ServerProcess::Options{{}, {"--tls-cert", certificate, "--tls-key", key}, {}});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QVERIFY(server.origin().starts_with("https://127.0.0.1:"));
        const auto session = person(server, "ann");
        QVERIFY(session);
        QCOMPARE(session->name, std::string("__Host-larkspan_session"));
        QCOMPARE(server.client(session).get("/sheets")->status, 200);
        auto plainName = server.client(ServerSession{"larkspan_session", session->value});
        QCOMPARE(plainName.get("/sheets")->status, 401);
        QVERIFY2(server.stop(), qPrintable(server.errorString()));
    }

    // An unusable certificate, or a port another server listens on, stops the start; the other
    // server keeps its connections rather than sharing them.
    void aServerThatCannotServeDoesNotStart() {
        QTemporaryDir keys;
        ServerProcess badKeys(ServerProcess::Options{
            {}, {"--tls-cert", keys.filePath("missing.pem"), "--tls-key", keys.filePath("missing.key")}, {}});
        QVERIFY(!badKeys.start());
        QVERIFY2(badKeys.errorString().contains("TLS"), qPrintable(badKeys.errorString()));

        ServerProcess samePort(ServerProcess::Options{
            {}, {"--listen", QStringLiteral("127.0.0.1:%1").arg(m_server->port())}, {}});
        QVERIFY(!samePort.start());
        QVERIFY2(samePort.errorString().contains("the port is in use"), qPrintable(samePort.errorString()));
        QCOMPARE(status(m_server->client().get("/")), 200);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_Service.moc"
