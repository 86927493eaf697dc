// Commits on the server's database: batches of several writers share one COMMIT, none is visible
// before that commit, a failed commit fails every batch it held, and a writer outside the group
// never has its changes left waiting in it. The log is copied back into the database file by a
// thread of its own.

#include "storage/Database.h"
#include "storage/DatabaseError.h"
#include "storage/GroupTransaction.h"
#include "storage/Statement.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

namespace {

// A database with a table of numbers and a table whose rows must name an existing parent by
// the time of COMMIT, which lets a test make a commit fail.
struct Fixture {
    QTemporaryDir folder;
    Database db{folder.filePath("test.db").toStdString()};

    Fixture() {
        auto lock = db.lock();
        db.exec("CREATE TABLE numbers (n INTEGER NOT NULL)");
        db.exec("CREATE TABLE parents (id INTEGER PRIMARY KEY)");
        db.exec("CREATE TABLE children (parent INTEGER REFERENCES parents(id) DEFERRABLE INITIALLY DEFERRED)");
    }

    // Adds `n` as one batch of the open group; the batch is not committed yet.
    Database::Ticket batch(const std::string &sql) {
        auto lock = db.lockToJoin();
        GroupTransaction transaction(db);
        db.exec(sql);
        return transaction.join();
    }

    // What a reader sees: only committed rows.
    std::int64_t count(const std::string &table) {
        auto reading = db.read();
        auto query = db.prepare("SELECT COUNT(*) FROM " + table);
        return query.step() ? query.integer(0) : -1;
    }
};

bool failed(Database &db, const Database::Ticket &ticket) {
    try {
        db.waitDurable(ticket);
        return false;
    } catch (const DatabaseError &) {
        return true;
    }
}

} // namespace

class TestGroupCommit : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void batchesAreStoredTogetherAndOnlyOnceCommitted() {
        Fixture f;
        const auto first = f.batch("INSERT INTO numbers VALUES (1)");
        const auto second = f.batch("INSERT INTO numbers VALUES (2)");
        QCOMPARE(first, second);
        QCOMPARE(f.count("numbers"), 0);
        f.db.waitDurable(second);
        QVERIFY(first->done);
        QCOMPARE(f.count("numbers"), 2);
        f.db.waitDurable(first);
        // The next batch opens a group of its own.
        const auto third = f.batch("INSERT INTO numbers VALUES (3)");
        QVERIFY(third != first);
        f.db.waitDurable(third);
        QCOMPARE(f.count("numbers"), 3);
    }

    void aFailedCommitFailsEveryBatchItHeld() {
        Fixture f;
        const auto good = f.batch("INSERT INTO numbers VALUES (1)");
        const auto orphan = f.batch("INSERT INTO children VALUES (42)"); // no parent 42: COMMIT fails
        QVERIFY(failed(f.db, good));
        QVERIFY(failed(f.db, orphan));
        QCOMPARE(f.count("numbers"), 0);
        QCOMPARE(f.count("children"), 0);
        // Nothing of the failed group lingers in the next one.
        const auto next = f.batch("INSERT INTO numbers VALUES (2)");
        f.db.waitDurable(next);
        QCOMPARE(f.count("numbers"), 1);
        QCOMPARE(f.count("children"), 0);
    }

    void aBatchGivenUpLeavesTheOthers() {
        Fixture f;
        const auto kept = f.batch("INSERT INTO numbers VALUES (1)");
        {
            auto lock = f.db.lockToJoin();
            GroupTransaction dropped(f.db);
            f.db.exec("INSERT INTO numbers VALUES (2)");
        }
        f.db.waitDurable(kept);
        QCOMPARE(f.count("numbers"), 1);
        // Given up alone, the group ends: a plain write after it is committed at once.
        {
            auto lock = f.db.lockToJoin();
            GroupTransaction alone(f.db);
            f.db.exec("INSERT INTO numbers VALUES (3)");
        }
        auto lock = f.db.lockToJoin();
        f.db.exec("INSERT INTO numbers VALUES (4)");
        lock.unlock();
        QCOMPARE(f.count("numbers"), 2);
    }

    void aWriterOutsideTheGroupCommitsItFirst() {
        Fixture f;
        const auto waiting = f.batch("INSERT INTO numbers VALUES (1)");
        {
            auto lock = f.db.lock();
            QVERIFY(waiting->done);
            f.db.exec("INSERT INTO numbers VALUES (2)");
        }
        QCOMPARE(f.count("numbers"), 2);
        f.db.waitDurable(waiting);
    }

    // A group's COMMIT leaves the sync of the log to its committer, outside the writing lock;
    // however a group ends, every write after it syncs its own again.
    void onlyGroupsLeaveTheirSyncToTheCommitter() {
        Fixture f;
        const auto level = [&] { // of the writing connection: 1 normal, 2 full
            auto lock = f.db.lockToJoin();
            auto query = f.db.prepare("PRAGMA synchronous");
            return query.step() ? query.integer(0) : -1;
        };
        const auto committed = f.batch("INSERT INTO numbers VALUES (1)");
        QCOMPARE(level(), 1);
        f.db.waitDurable(committed);
        QCOMPARE(level(), 2);
        f.batch("INSERT INTO numbers VALUES (2)");
        f.db.lock().unlock(); // a plain writer commits the group first
        QCOMPARE(level(), 2);
        QVERIFY(failed(f.db, f.batch("INSERT INTO children VALUES (42)")));
        QCOMPARE(level(), 2);
        {
            auto lock = f.db.lockToJoin();
            GroupTransaction givenUp(f.db);
        }
        QCOMPARE(level(), 2);
        QCOMPARE(f.count("numbers"), 2);
    }

    void concurrentWritersAllGetTheirBatchesStored() {
        Fixture f;
        constexpr int threads = 6;
        constexpr int batches = 40;
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([&f, t] {
                for (int b = 0; b < batches; ++b)
                    f.db.waitDurable(f.batch("INSERT INTO numbers VALUES (" + std::to_string(t * batches + b) + ")"));
            });
        }
        for (auto &writer : writers)
            writer.join();
        QCOMPARE(f.count("numbers"), threads * batches);
    }

    void aLongLogIsCopiedIntoTheDatabaseFile() {
        Fixture f;
        const QString file = f.folder.filePath("test.db");
        const qint64 before = QFileInfo(file).size();
        // Some 1500 pages of log, in commits of their own.
        for (int i = 0; i < 30; ++i) {
            auto lock = f.db.lock();
            f.db.exec("WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM k WHERE n < 50) "
                      "INSERT INTO numbers SELECT zeroblob(3000) FROM k");
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(file).size() > before + 1024 * 1024, 20000);
    }
};

QTEST_GUILESS_MAIN(TestGroupCommit)
#include "tst_GroupCommit.moc"
