// What the server leaves on disk and hands out as files: a data folder only its own user can read,
// and exported workbooks that carry no formula another program would run but this server cannot.

#include "ServerTest.h"
#include "workbooks/WorkbookReader.h"

#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {
// The permission bits of a path, or -1 when it is missing.
int mode(const QString &path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return static_cast<int>(info.st_mode & 07777);
}
} // namespace

class TestFiles : public QObject, ServerTestBase {
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

    // Each formula the server cannot calculate leaves as the text it shows; those it can stay
    // formulas with their results.
    void exportCarriesOnlyFormulasTheServerCalculates_data() {
        QTest::addColumn<QString>("formula");
        QTest::addColumn<bool>("live");
        QTest::newRow("command through DDE") << "=cmd|' /C calc'!A0" << false;
        QTest::newRow("DDE in an expression") << "=1+cmd|'/C calc'!A0" << false;
        QTest::newRow("web service") << "=WEBSERVICE(\"http://example.com/\")" << false;
        QTest::newRow("not implemented") << "=ABS(-1)" << false;
        QTest::newRow("arithmetic") << "=A1*2" << true;
    }

    void exportCarriesOnlyFormulasTheServerCalculates() {
        QFETCH(QString, formula);
        QFETCH(bool, live);
        auto http = m_server->client(m_ann);
        const SheetRef sheet = newSheet(http);
        const auto written = SheetApi::batch(
            http, sheet, {SheetApi::write(0, 0, "21"), SheetApi::write(0, 1, formula.toStdString())});
        QCOMPARE(status(written), 200);
        const std::string shown = display(TestClient::json(written), 0, 1);

        const auto exported = http.get(sheet.page() + "/export.xlsx");
        QCOMPARE(status(exported), 200);
        const auto book = WorkbookReader::read(exported->body);
        const auto cell = std::find_if(book.cells.begin(), book.cells.end(),
                                       [](const auto &c) { return c.r == 0 && c.c == 1; });
        QVERIFY(cell != book.cells.end());
        if (live)
            QVERIFY2(cell->raw.starts_with("="), cell->raw.c_str());
        else
            QCOMPARE(cell->raw, shown);
    }

    void initTestCase() { QVERIFY(startServer(1)); }

    void cleanupTestCase() { QVERIFY(stopServer()); }
};

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_Files.moc"
