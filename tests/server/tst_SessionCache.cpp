// Sessions are remembered between requests: an ended or expired session must still be refused at
// once, and a lookup that raced with the ending must not bring it back.

#include "base/Clock.h"
#include "base/Tokens.h"
#include "signin/Accounts.h"
#include "signin/SessionCache.h"
#include "storage/Database.h"

#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

#include <thread>

class TestSessionCache : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    void endedSessionIsRefusedAtOnce() {
        QTemporaryDir folder;
        Database db(folder.filePath("test.db").toStdString());
        Accounts accounts(db);
        const auto account = accounts.create("a@example.com", "A", "correct horse");
        const auto kept = accounts.startSession(account.id);
        const auto ended = accounts.startSession(account.id);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(accounts.sessionAccount(ended)->id, account.id);
            QCOMPARE(accounts.sessionAccount(kept)->email, std::string("a@example.com"));
        }
        accounts.endSession(ended);
        QVERIFY(!accounts.sessionAccount(ended));
        QCOMPARE(accounts.sessionAccount(kept)->id, account.id);
    }

    void expiredSessionIsRefusedAtOnce() {
        QTemporaryDir folder;
        Database db(folder.filePath("test.db").toStdString());
        Accounts accounts(db);
        const auto account = accounts.create("a@example.com", "A", "correct horse");
        const std::string token = Tokens::random();
        {
            auto lock = db.lock();
            auto insert = db.prepare("INSERT INTO sessions VALUES (?1, ?2, 0, ?3)");
            insert.bindBlob(1, Tokens::sha256(token)).bind(2, account.id).bind(3, nowMillis() + 300);
            insert.run();
        }
        QVERIFY(accounts.sessionAccount(token));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        QVERIFY(!accounts.sessionAccount(token));
    }

    // A lookup read the session from the database just before it ended, and remembers it after.
    void lookupBeforeAnEndingIsNotRemembered() {
        SessionCache cache;
        const Account account{7, "a@example.com", "A"};
        const auto before = cache.generation();
        cache.forget("hash");
        cache.remember("hash", account, nowMillis() + 60'000, before);
        QVERIFY(!cache.find("hash", nowMillis()));
        cache.remember("hash", account, nowMillis() + 60'000, cache.generation());
        QCOMPARE(cache.find("hash", nowMillis())->id, 7);
    }
};

QTEST_GUILESS_MAIN(TestSessionCache)
#include "tst_SessionCache.moc"
