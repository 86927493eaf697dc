// What the server leaves on disk and hands out as files: a data folder only its own user can read,
// and exported workbooks that carry no formula another program would run but this server cannot.

#include "ServerProcess.h"
#include "SheetApi.h"
#include "workbooks/WorkbookReader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {
const std::string email = "ann@example.com";
const std::string password = "correct horse battery";

// The permission bits of a path, or -1 when it is missing.
int mode(const QString &path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return static_cast<int>(info.st_mode & 07777);
}
} // namespace

class TestFiles : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
        QVERIFY(server.addUser(QString::fromStdString(email), "Ann", QString::fromStdString(password)));
        const auto session = server.signIn(email, password);
        QVERIFY(session);
        auto http = server.client(session);
        const auto sheet = SheetApi::create(http);
        QVERIFY(sheet);
        QCOMPARE(SheetApi::batch(http, *sheet, {SheetApi::write(0, 0, "secret")})->status, 200);
        QCOMPARE(http.get(sheet->page() + "/export.xlsx")->status, 200);

        QCOMPARE(mode(folder), 0700);
        QCOMPARE(mode(folder + "/scratch"), 0700);
        for (const auto &name : {"tabrel.db", "tabrel.db-wal", "tabrel.db-shm", "tabrel-server.lock"})
            QCOMPARE(mode(folder + "/" + name), 0600);
        QVERIFY2(server.stop(), qPrintable(server.errorString()));
    }

    // Each formula the server cannot calculate leaves as the text it shows; those it can stay
    // formulas with their results.
    void exportCarriesOnlyFormulasTheServerCalculates_data() {
        QTest::addColumn<QString>("formula");
        QTest::addColumn<bool>("live");
        QTest::newRow("command through DDE") << "=cmd|' /C calc'!A0" << false;
        QTest::newRow("DDE in an expression") << "=1+cmd|'/C calc'!A0" << false;
        QTest::newRow("web service") << "=WEBSERVICE(\"http://example.com/\")" << false;
        QTest::newRow("hyperlink") << "=HYPERLINK(\"http://example.com/\", \"here\")" << false;
        QTest::newRow("not implemented") << "=ABS(-1)" << false;
        QTest::newRow("unknown name") << "=NOSUCHTHING(1)" << false;
        QTest::newRow("arithmetic") << "=A1*2" << true;
        QTest::newRow("sum of a range") << "=SUM(A1:A3)" << true;
    }

    void exportCarriesOnlyFormulasTheServerCalculates() {
        QFETCH(QString, formula);
        QFETCH(bool, live);
        auto http = m_server->client(m_session);
        const auto sheet = SheetApi::create(http);
        QVERIFY(sheet);
        const auto written = SheetApi::batch(
            http, *sheet, {SheetApi::write(0, 0, "21"), SheetApi::write(0, 1, formula.toStdString())});
        QCOMPARE(written->status, 200);
        const std::string shown =
            SheetApi::cell(TestClient::json(written), 0, 1)["display"].get<std::string>();

        const auto exported = http.get(sheet->page() + "/export.xlsx");
        QCOMPARE(exported->status, 200);
        const auto book = WorkbookReader::read(exported->body);
        const auto cell = std::find_if(book.cells.begin(), book.cells.end(),
                                       [](const auto &c) { return c.r == 0 && c.c == 1; });
        QVERIFY(cell != book.cells.end());
        if (live)
            QVERIFY2(cell->raw.starts_with("="), cell->raw.c_str());
        else
            QCOMPARE(cell->raw, shown);
    }

    void initTestCase() {
        m_server = std::make_unique<ServerProcess>();
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
        QVERIFY(m_server->addUser(QString::fromStdString(email), "Ann", QString::fromStdString(password)));
        m_session = m_server->signIn(email, password);
        QVERIFY(m_session);
    }

    void cleanupTestCase() { QVERIFY2(m_server->stop(), qPrintable(m_server->errorString())); }

private:
    std::unique_ptr<ServerProcess> m_server;
    std::optional<ServerSession> m_session;
};

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_Files.moc"
