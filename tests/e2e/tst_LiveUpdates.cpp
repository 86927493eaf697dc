#include "E2eAccount.h"
#include "SheetApi.h"
#include "TaskRunner.h"

#include <QTest>

// Live updates through the real server and network stack; event handling, batching and refusals are
// covered against scripted servers in the model's own tests.
class TestLiveUpdates : public QObject {
    Q_OBJECT

    std::unique_ptr<E2eAccount> account;

private Q_SLOTS:
    void init() {
        account = std::make_unique<E2eAccount>();
        QVERIFY2(account->ok(), qPrintable(account->error()));
    }
    void cleanup() { account.reset(); }

    void aWatcherReconnectsAfterARestartAndMissesNothing() {
        const auto sheet = account->createSheet();
        QVERIFY(sheet);
        auto watcher = account->opened(*sheet);
        auto stop = startWatching(watcher);
        QTRY_COMPARE_WITH_TIMEOUT(watcher->live(), QStringLiteral("Live"), 20000);
        QVERIFY(account->server().stop());
        QTRY_VERIFY_WITH_TIMEOUT(watcher->live() == QStringLiteral("Reconnecting") ||
                                     watcher->live() == QStringLiteral("Offline"),
                                 20000);
        QVERIFY2(account->server().start(), qPrintable(account->server().errorString()));
        // Written while the watcher is still disconnected: the reload on reconnecting brings it.
        TestClient other = account->testClient();
        const SheetRef ref{sheet->ID, sheet->TabID};
        QCOMPARE(SheetApi::batch(other, ref, {SheetApi::write(4, 2, "written meanwhile")})->status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(watcher->live(), QStringLiteral("Live"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(watcher->cells().value({4, 2}).raw, QStringLiteral("written meanwhile"),
                                  20000);
        stop->cancel();
    }

    void tenWatchedSheetsDoNotStarveRequests() {
        // One transport for the account, shared by every window as in the application.
        const auto client = account->client();
        QList<std::shared_ptr<SheetModel>> watchers;
        QList<std::shared_ptr<CancellationSource>> stops;
        for (int i = 0; i < 10; ++i) {
            const auto sheet = account->createSheet();
            QVERIFY(sheet);
            auto watcher = account->model(client);
            runTask(watcher->open(*sheet));
            stops.append(startWatching(watcher));
            watchers.append(watcher);
        }
        for (const auto &watcher : watchers)
            QTRY_COMPARE_WITH_TIMEOUT(watcher->live(), QStringLiteral("Live"), 30000);
        auto worker = account->model(client);
        runTask(worker->loadList());
        QCOMPARE(worker->listState(), SheetModel::ListState::loaded);
        QCOMPARE(worker->sheets().size(), 10);
        runTask(worker->open(worker->sheets().first()));
        QVERIFY(runTask(worker->write({CellWrite{1, 1, "still answered", {}, {}}}, false)));
        runTask(worker->refresh());
        QCOMPARE(worker->cells().value({1, 1}).raw, QStringLiteral("still answered"));
        QCOMPARE(worker->error(), QString());
        for (const auto &stop : stops)
            stop->cancel();
    }
};

QTEST_GUILESS_MAIN(TestLiveUpdates)
#include "tst_LiveUpdates.moc"
