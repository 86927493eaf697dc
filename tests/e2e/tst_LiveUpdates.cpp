#include "E2eAccount.h"
#include "SheetApi.h"
#include "TaskRunner.h"

#include "async/CancellationSource.h"
#include "async/DetachedTask.h"

#include <QTest>

namespace {
// Passes every request to the real transport but answers the Nth batch write itself with 503,
// as an overloaded server or proxy would, so that a batch fails half-way through a large write.
class RefusingTransport final : public NativeTransport {
public:
    RefusingTransport(std::shared_ptr<NativeTransport> inner, int refusedBatch)
        : m_inner(std::move(inner)), m_refusedBatch(refusedBatch) {}

    QUrl origin() const override { return m_inner->origin(); }
    QCoro::Task<NativeResponse> responseDetails(QString path, QString method, std::optional<QByteArray> body,
                                                QString contentType, qint64 maxBytes,
                                                CancellationToken token) override {
        if (path.endsWith(QStringLiteral("/cells/batch")) && ++m_batches == m_refusedBatch)
            co_return NativeResponse(QByteArray(), 503, {});
        co_return co_await m_inner->responseDetails(std::move(path), std::move(method), std::move(body),
                                                    std::move(contentType), maxBytes, token);
    }
    QCoro::Task<> stream(QString path, OpenHandler onOpen, LineHandler onLine, CancellationToken token) override {
        return m_inner->stream(std::move(path), std::move(onOpen), std::move(onLine), token);
    }
    QCoro::Task<> download(QString path, QString destination, CancellationToken token) override {
        return m_inner->download(std::move(path), std::move(destination), token);
    }

private:
    std::shared_ptr<NativeTransport> m_inner;
    int m_refusedBatch;
    int m_batches = 0;
};

// Watches a model's sheet in the background until the returned source is cancelled.
std::shared_ptr<CancellationSource> startWatching(const std::shared_ptr<SheetModel> &model) {
    auto stop = std::make_shared<CancellationSource>();
    startDetached(model, [model, token = stop->token()]() { return model->watch(token); });
    return stop;
}

QList<CellWrite> numberedWrites(int count) {
    QList<CellWrite> writes;
    for (int i = 0; i < count; ++i)
        writes.append({i / 10, i % 10, QString::number(i), std::nullopt, std::nullopt});
    return writes;
}
} // namespace

class TestLiveUpdates : public QObject {
    Q_OBJECT

    std::unique_ptr<E2eAccount> account;

private Q_SLOTS:
    void init() {
        account = std::make_unique<E2eAccount>();
        QVERIFY2(account->ok(), qPrintable(account->error()));
    }
    void cleanup() { account.reset(); }

    void aWriteInOneModelArrivesInTheOther() {
        const auto sheet = account->createSheet();
        QVERIFY(sheet);
        auto writer = account->model();
        auto watcher = account->model();
        runTask(writer->open(*sheet));
        runTask(watcher->open(*sheet));
        auto stopWriter = startWatching(writer);
        auto stopWatcher = startWatching(watcher);
        QTRY_COMPARE_WITH_TIMEOUT(watcher->live(), QStringLiteral("Live"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(writer->live(), QStringLiteral("Live"), 20000);

        QVERIFY(runTask(writer->write({CellWrite{0, 0, "21", {}, {}}, CellWrite{0, 1, "=A1*2", {}, {}}}, false)));
        QTRY_COMPARE_WITH_TIMEOUT(watcher->cells().value({0, 1}).display, QStringLiteral("42"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(watcher->version(), writer->version(), 20000);
        // A dependant recalculated by the server reaches both.
        QVERIFY(runTask(writer->write({CellWrite{0, 0, "5", {}, {}}}, false)));
        QTRY_COMPARE_WITH_TIMEOUT(watcher->cells().value({0, 1}).display, QStringLiteral("10"), 20000);
        QCOMPARE(writer->cells().value({0, 1}).display, QStringLiteral("10"));
        QTRY_COMPARE_WITH_TIMEOUT(watcher->version(), writer->version(), 20000);
        stopWriter->cancel();
        stopWatcher->cancel();
    }

    void aWatcherReconnectsAfterARestartAndMissesNothing() {
        const auto sheet = account->createSheet();
        QVERIFY(sheet);
        auto watcher = account->model();
        runTask(watcher->open(*sheet));
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
        const auto written = SheetApi::batch(other, ref, {SheetApi::write(4, 2, "written meanwhile")});
        QVERIFY(written && written->status == 200);
        QTRY_COMPARE_WITH_TIMEOUT(watcher->live(), QStringLiteral("Live"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(watcher->cells().value({4, 2}).raw, QStringLiteral("written meanwhile"), 20000);
        stop->cancel();
    }

    void aBatchRefusedHalfWayKeepsTheRestForRetry() {
        const auto sheet = account->createSheet();
        QVERIFY(sheet);
        auto model = account->model(std::make_shared<RefusingTransport>(account->client(), 2));
        runTask(model->open(*sheet));
        const auto writes = numberedWrites(1200);
        QVERIFY(!runTask(model->write(writes, false)));
        QCOMPARE(model->failedWrites(), writes.mid(500));
        QCOMPARE(model->error(),
                 QStringLiteral("500 cells confirmed; 700 still need saving. The server did not confirm the edit."));
        runTask(model->retryWrites());
        QVERIFY(model->failedWrites().isEmpty());

        auto reader = account->model();
        runTask(reader->open(*sheet));
        QCOMPARE(reader->cells().size(), 1200);
        QCOMPARE(reader->cells().value({119, 9}).raw, QStringLiteral("1199"));
        QCOMPARE(reader->version(), model->version());
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
