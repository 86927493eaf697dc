#include "PanelServer.h"

#include "connection/NativeFakeClock.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace fixtures;

namespace {
NativeResponse job(const char *status, const char *progress, const char *error = "",
                   const char *location = "") {
    return reply(200, {{"status", status}, {"progress", progress}, {"error", error}, {"location", location}});
}

// A download that writes `content` to its destination, waits for `gate` if one is given, then ends
// cancelled when its token is, or throws `error` if one is given.
FakeTransport::DownloadHandler writes(QByteArray content, QString error = {},
                                      std::shared_ptr<PanelServer::Gate> gate = {}) {
    return [=](QString, QString destination, CancellationToken token) -> QCoro::Task<> {
        QFile file(destination);
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
        if (gate)
            co_await gate->pass();
        token.throwIfCancelled();
        if (!error.isEmpty())
            throw NativeClientError::message(error);
    };
}

QString writeFile(const QString &path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        qFatal("cannot write the test workbook");
    return path;
}
} // namespace

class TestSheetFiles : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> temporary; // TMPDIR of the code under test: must stay empty
    std::unique_ptr<QTemporaryDir> files;     // workbooks to import and save destinations
    QString outside;                          // where `files` go, away from TMPDIR
    std::shared_ptr<FakeTransport> transport;
    std::shared_ptr<NativeFakeClock> clock;
    std::unique_ptr<PanelServer> server;
    std::shared_ptr<SheetModel> model;
    SheetFiles *sheetFiles = nullptr;
    int sleeps = 0;

    QStringList leftovers() const {
        return QDir(temporary->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

    // A job that runs `runningPolls` times and then ends with `last`.
    void scriptJob(int runningPolls, NativeResponse last) {
        server->on("POST /sheets/import", answer(202, R"({"job":"j1"})"));
        transport->setReplies(
            [this, runningPolls, last, polls = std::make_shared<int>(0)](const auto &request) {
                if (request.path == u"/api/native/jobs/j1")
                    return ++*polls <= runningPolls ? job("running", "Reading cells") : last;
                return server->respond(request);
            });
    }
    void listSheet77(const char *title) {
        const json sheet = {{"ID", 77}, {"Title", title}, {"TabID", 177}, {"TabName", "T"}};
        server->on("GET /sheets", reply(200, {{"Sheets", json::array({sheet})}}));
    }

private Q_SLOTS:
    void initTestCase() {
        outside = QDir::tempPath();
        temporary = std::make_unique<QTemporaryDir>();
        qputenv("TMPDIR", QFile::encodeName(temporary->path()));
    }

    void init() {
        files = std::make_unique<QTemporaryDir>(outside + "/files-XXXXXX");
        transport = std::make_shared<FakeTransport>();
        clock = std::make_shared<NativeFakeClock>();
        sleeps = 0;
        // Each poll's one-second wait passes at once.
        connect(clock.get(), &NativeFakeClock::sleepStarted, this, [this](double seconds) {
            QCOMPARE(seconds, 1.0);
            ++sleeps;
            QTimer::singleShot(0, clock.get(), [c = clock.get()] { c->advance(1.0); });
        });
        server = std::make_unique<PanelServer>(transport);
        model = SheetModel::make(transport, {.reconnectClock = clock});
        sheetFiles = &model->sheetFiles();
        sheetFiles->setActive(true);
        server->open(*model, 42);
    }

    void cleanup() {
        model.reset();
        QCOMPARE(leftovers(), QStringList());
    }

    // Slash and colon, only dots and spaces, an own extension, control characters, 200 bytes kept,
    // and a cut by whole characters.
    void filenames() {
        const QString smile = QString::fromUtf8("\xF0\x9F\x98\x80");
        for (const auto &[title, name] : {std::pair<QString, QString>("Q1/Q2: plan.", "Q1-Q2- plan.xlsx"),
                                          {" . .. ", "Workbook.xlsx"},
                                          {"Report.XLSX", "Report.XLSX"},
                                          {"a\tb\x01\n", "ab.xlsx"},
                                          {QString(100, QChar(0xE9)), QString(100, QChar(0xE9)) + ".xlsx"},
                                          {"a" + smile.repeated(50), "a" + smile.repeated(49) + ".xlsx"}})
            QCOMPARE(WorkbookExport::filenameFor(title), name);
    }

    void multipartBodyEscapesTheName() {
        const QByteArray sent = SheetFiles::multipartBody("a\"b\\c\r\n.xlsx", "PK\x03\x04", "B0");
        QCOMPARE(
            sent,
            QByteArray(
                "--B0\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a\\\"b\\\\c.xlsx\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\nPK\x03\x04\r\n--B0--\r\n"));
    }

    void importChecksSizeThenExtension_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("message");
        QTest::newRow("20 MB exactly") << "book.xlsx" << qint64(20'971'520) << QString();
        QTest::newRow("one byte more") << "book.xlsx" << qint64(20'971'521) << "The workbook exceeds 20 MB.";
        QTest::newRow("capital XLSM") << "macro.XLSM" << qint64(10) << QString();
        QTest::newRow("csv") << "plain.csv" << qint64(10) << "Choose an .xlsx or .xlsm workbook.";
    }
    void importChecksSizeThenExtension() {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QString, message);
        scriptJob(0, job("failed", "", "Stopped here."));
        const QString path = writeFile(files->filePath(name), size);
        runTask(sheetFiles->importWorkbook(path));
        const bool uploaded = transport->paths().contains("POST /sheets/import");
        QCOMPARE(uploaded, message.isEmpty());
        QCOMPARE(sheetFiles->progress(), message.isEmpty() ? "Stopped here." : message);
        QVERIFY(!sheetFiles->working());
        if (uploaded) {
            const FakeTransport::Request &upload = transport->requests().at(0);
            QVERIFY(upload.contentType.startsWith("multipart/form-data; boundary="));
            QCOMPARE(upload.body->size(),
                     SheetFiles::multipartBody(name, QByteArray(size, 0), QString(36, u'B')).size());
        }
    }

    // Opening the sheet without a callback is checked against the real server by the e2e import test.
    void importFollowsTheJobAndHandsOverTheSheet() {
        scriptJob(2, job("done", "Imported 3 cells", "", "/sheets/77"));
        listSheet77("Budget");
        QList<std::pair<quint64, QString>> opened;
        QSignalSpy working(sheetFiles, &SheetFiles::workingChanged);
        runTask(sheetFiles->importWorkbook(writeFile(files->filePath("Budget.xlsx"), 100),
                                           [&opened](quint64 id, QString title) {
                                               opened.append({id, title});
                                           }));
        QCOMPARE(transport->paths().count("GET /api/native/jobs/j1"), 3);
        QCOMPARE(sleeps, 2);
        QCOMPARE(sheetFiles->progress(), "Imported");
        QCOMPARE(working.count(), 2);
        QCOMPARE(opened, (QList<std::pair<quint64, QString>>{{77, "Budget"}}));
        QCOMPARE(model->page()->Sheet.ID, quint64(42));
    }

    // A finished job whose sheet cannot be found opens nothing (a failed job is covered end to end).
    void importEndsWithoutOpening() {
        listSheet77("B");
        for (const char *location : {"/sheets/78", "/sheets/x77"}) { // not listed; not a number
            scriptJob(0, job("done", "", "", location));
            bool opened = false;
            runTask(sheetFiles->importWorkbook(writeFile(files->filePath("b.xlsx"), 10),
                                               [&](quint64, QString) { opened = true; }));
            QVERIFY(!opened);
            QCOMPARE(sheetFiles->progress(), "Imported");
            QCOMPARE(model->page()->Sheet.ID, quint64(42));
        }
    }

    void importRequestFailuresAndCancelling() {
        // The upload refused.
        server->on("POST /sheets/import", notice(503, "busy", "Too many imports are waiting."));
        runTask(sheetFiles->importWorkbook(writeFile(files->filePath("a.xlsx"), 10)));
        QVERIFY(!sheetFiles->progress().isEmpty());
        QVERIFY(!transport->paths().contains("GET /api/native/jobs/j1"));
        // Cancelled while waiting between polls: no message, no more polls.
        scriptJob(1000, job("done", ""));
        disconnect(clock.get(), nullptr, this, nullptr);
        connect(clock.get(), &NativeFakeClock::sleepStarted, this, [this] {
            if (++sleeps == 2)
                sheetFiles->cancelImport();
            else
                QTimer::singleShot(0, clock.get(), [c = clock.get()] { c->advance(1.0); });
        });
        transport->clearRequests();
        runTask(sheetFiles->importWorkbook(writeFile(files->filePath("a.xlsx"), 10)));
        QCOMPARE(transport->paths().count("GET /api/native/jobs/j1"), 2);
        QCOMPARE(sheetFiles->progress(), "Reading cells");
        QVERIFY(!sheetFiles->working());
    }

    void jobNameStaysOneSegment() {
        server->on("POST /sheets/import", answer(202, R"({"job":"../../sheets/1?x"})"));
        server->on("GET /api/native/jobs/..%2F..%2Fsheets%2F1%3Fx", job("failed", "", "Stopped."));
        runTask(sheetFiles->importWorkbook(writeFile(files->filePath("a.xlsx"), 10)));
        QCOMPARE(sheetFiles->progress(), "Stopped.");
    }

    void exportThenSave_data() {
        QTest::addColumn<bool>("saves");
        QTest::newRow("saved") << true;
        QTest::newRow("saving failed") << false;
    }
    void exportThenSave() {
        QFETCH(bool, saves);
        transport->setDownloadHandler(writes("PK workbook"));
        const QString target =
            saves ? writeFile(files->filePath("saved.xlsx"), 1000) : files->filePath("missing/x.xlsx");
        runTask(sheetFiles->exportWorkbook());
        QCOMPARE(transport->downloads.size(), 1);
        QCOMPARE(transport->downloads.first().first, "/sheets/42/export.xlsx");
        const QFileInfo downloaded(transport->downloads.first().second);
        QCOMPARE(downloaded.fileName(), "export.xlsx");
        QVERIFY(downloaded.absolutePath().startsWith(temporary->path() + "/brevane-tabrel-export-"));
        QCOMPARE(QFile::permissions(downloaded.absolutePath()) & 0x0077, QFileDevice::Permissions());
        QVERIFY(sheetFiles->workbook());
        QCOMPARE(sheetFiles->workbook()->filename, "Sheet 42.xlsx");
        QVERIFY(!sheetFiles->working());
        QCOMPARE(sheetFiles->saveExport(target), saves);
        QCOMPARE(sheetFiles->progress(), saves ? QString() : "The workbook could not be saved.");
        QVERIFY(!sheetFiles->workbook() && !QFileInfo::exists(downloaded.absolutePath()));
        QCOMPARE(QDir(files->path()).entryList(QDir::Files | QDir::Hidden),
                 saves ? QStringList{"saved.xlsx"} : QStringList());
        QFile saved(target); // replaced by the workbook
        QVERIFY(!saves || (saved.open(QIODevice::ReadOnly) && saved.readAll() == "PK workbook"));
    }

    void exportLeavesNothingBehindWhenItFails() {
        // A download cut short after writing part of the file.
        transport->setDownloadHandler(writes("PK part", "The network connection was lost."));
        runTask(sheetFiles->exportWorkbook());
        QCOMPARE(sheetFiles->progress(), "The network connection was lost.");
        QVERIFY(!sheetFiles->workbook() && !sheetFiles->working());
        QCOMPARE(leftovers(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSheetFiles)
#include "tst_SheetFiles.moc"
