#include "async/CancellationSource.h"
#include "connection/NativeFakeClock.h"
#include "connection/NativeFakePathSource.h"
#include "connection/NativeReconnect.h"

#include "ConnectivityTestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <stdexcept>

using Status = NativePath::Status;

namespace {
const NativePath wifi{Status::satisfied, false, false};
const NativePath noNetwork{Status::unsatisfied, false, false};

// Each delay is the lowest the jitter allows: 0.25, 0.5, 1, 2, ... seconds.
Backoff lowestBackoff() {
    return Backoff([](double lower, double) { return lower; });
}
} // namespace

class TestNativeReconnect : public QObject {
    Q_OBJECT

    std::shared_ptr<NativeFakePathSource> m_source;
    std::shared_ptr<NativeFakeClock> m_clock;
    std::shared_ptr<NativeConnectivity> m_connectivity;
    std::shared_ptr<NativeReconnect> m_reconnect;

    void report(const NativePath &path) {
        m_source->report(path);
        settle();
    }

    // Runs one pause to its end by moving the clock from one sleep's end to the next.
    double pauseThrough() {
        const auto paused = launch(m_reconnect->pause());
        settle();
        for (int step = 0; step < 10 && !paused->done; ++step) {
            m_clock->advance(m_clock->nextDeadline() - m_clock->now());
            settle();
        }
        if (!paused->done || !paused->value)
            throw std::runtime_error("the pause did not end");
        return *paused->value;
    }

private Q_SLOTS:
    void init() {
        m_source = std::make_shared<NativeFakePathSource>();
        m_clock = std::make_shared<NativeFakeClock>(100.0);
        m_connectivity = NativeConnectivity::create(m_source, m_clock);
        m_reconnect = std::make_shared<NativeReconnect>(m_connectivity, lowestBackoff(), m_clock);
        report(wifi);
    }

    void cleanup() {
        m_reconnect.reset();
        m_connectivity.reset();
        settle();
    }

    // A 429 asking for 30 s: the pause sleeps those 30 s, and since they are longer than the
    // backoff delay and the path is fine, the next attempt starts right away.
    void retryAfterIsHonouredBeforeTheNextAttempt() {
        QSignalSpy sleeps(m_clock.get(), &NativeFakeClock::sleepStarted);
        m_reconnect->failed(NativeClientError::rateLimited(30));
        QCOMPARE(m_reconnect->notBefore(), std::optional<double>(130));

        const auto paused = launch(m_reconnect->pause());
        settle();
        QCOMPARE(sleeps.count(), 1);
        QCOMPARE(sleeps.at(0).at(0).toDouble(), 30.0);
        m_clock->advance(29);
        settle();
        QVERIFY(!paused->done);
        m_clock->advance(1);
        settle();
        QVERIFY(paused->done);
        QCOMPARE(paused->value, std::optional<double>(0.25));
        QCOMPARE(sleeps.count(), 1);
        QCOMPARE(m_clock->sleeperCount(), 0);
        QCOMPARE(m_reconnect->notBefore(), std::optional<double>());
        QCOMPARE(m_reconnect->backoff().attempt(), 1);
    }

    // The server asked for 30 s while the network went away: after the 30 s the pause keeps
    // waiting, however long, until the network comes back, and then starts over from 0.5 s.
    void retryAfterThenNoNetworkWaitsForThePath() {
        m_reconnect->failed(NativeClientError::rateLimited(30));
        const auto paused = launch(m_reconnect->pause());
        settle();
        report(noNetwork);
        m_clock->advance(30);
        settle();
        m_clock->advance(3600);
        settle();
        QVERIFY(!paused->done);
        report(wifi);
        QCOMPARE(paused->value, std::optional<double>(0.25));
        QCOMPARE(m_reconnect->backoff().attempt(), 0);
    }

    void failuresThatSetNoEarliestTime_data() {
        QTest::addColumn<std::function<void(NativeReconnect &)>>("fail");
        auto with = [](NativeClientError error) {
            return std::function<void(NativeReconnect &)>([error](NativeReconnect &r) { r.failed(error); });
        };
        QTest::newRow("429 without retry-after") << with(NativeClientError::rateLimited(std::nullopt));
        QTest::newRow("retry-after 0") << with(NativeClientError::rateLimited(0));
        QTest::newRow("negative retry-after") << with(NativeClientError::rateLimited(-5));
        QTest::newRow("server error") << with(NativeClientError::server(503));
        QTest::newRow("offline") << with(NativeClientError::offline(UrlErrorCode::timedOut));
        QTest::newRow("ended session") << with(NativeClientError::unauthorized());
        QTest::newRow("some other exception") << std::function<void(NativeReconnect &)>(
            [](NativeReconnect &r) { r.failed(std::make_exception_ptr(std::runtime_error("disk full"))); });
        QTest::newRow("no exception") << std::function<void(NativeReconnect &)>(
            [](NativeReconnect &r) { r.failed(std::exception_ptr()); });
    }

    void failuresThatSetNoEarliestTime() {
        QFETCH(std::function<void(NativeReconnect &)>, fail);
        fail(*m_reconnect);
        QCOMPARE(m_reconnect->notBefore(), std::optional<double>());
    }

    void earliestTimeKeepsTheLatestRequest_data() {
        QTest::addColumn<QList<double>>("retryAfters");
        QTest::addColumn<double>("notBefore");
        QTest::newRow("one") << QList<double>{60} << 160.0;
        QTest::newRow("a shorter one later keeps the longer") << QList<double>{60, 10} << 160.0;
        QTest::newRow("a longer one later wins") << QList<double>{10, 60} << 160.0;
        QTest::newRow("capped at five minutes") << QList<double>{900} << 400.0;
    }

    void earliestTimeKeepsTheLatestRequest() {
        QFETCH(QList<double>, retryAfters);
        QFETCH(double, notBefore);
        for (double seconds : retryAfters)
            m_reconnect->failed(std::make_exception_ptr(NativeClientError::rateLimited(seconds)));
        QCOMPARE(m_reconnect->notBefore(), std::optional<double>(notBefore));
    }

    // Short connections make the delays grow; one that stayed open more than 5 s starts over.
    void delaysGrowAcrossShortConnectionsOnly() {
        QList<double> delays;
        for (int attempt = 0; attempt < 4; ++attempt) {
            m_reconnect->opened();
            m_clock->advance(1);
            delays.append(pauseThrough());
        }
        m_reconnect->opened();
        m_clock->advance(6);
        delays.append(pauseThrough());
        // A failure that never opened does not count as a stable connection either.
        delays.append(pauseThrough());
        QCOMPARE(delays, (QList<double>{0.25, 0.5, 1, 2, 0.25, 0.5}));
    }

    // The pause waits out the backoff delay on a good path; a change during it cuts it short and
    // starts the delays over.
    void pauseWaitsOutTheDelay_data() {
        QTest::addColumn<QString>("during");
        QTest::addColumn<int>("attemptAfter");
        QTest::newRow("nothing happens") << "nothing" << 1;
        QTest::newRow("the path changes") << "path" << 0;
        QTest::newRow("a server answers again") << "answer" << 0;
        QTest::newRow("the application is activated") << "foreground" << 0;
        QTest::newRow("an offline failure elsewhere") << "offline" << 1;
    }

    void pauseWaitsOutTheDelay() {
        QFETCH(QString, during);
        QFETCH(int, attemptAfter);
        const QUrl origin(QStringLiteral("https://a.example"));
        m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::cannotConnectToHost), origin);
        const auto paused = launch(m_reconnect->pause());
        settle();
        QVERIFY(!paused->done);
        if (during == QLatin1String("path"))
            report(NativePath{Status::satisfied, true, false});
        else if (during == QLatin1String("answer"))
            m_connectivity->record(NativeTransportOutcome::responded(502), origin);
        else if (during == QLatin1String("foreground"))
            m_connectivity->foregrounded();
        else if (during == QLatin1String("offline"))
            m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::timedOut),
                                   QUrl(QStringLiteral("https://b.example")));
        settle();
        if (attemptAfter == 1) {
            QVERIFY(!paused->done);
            m_clock->advance(0.25);
            settle();
        }
        QVERIFY(paused->done);
        QCOMPARE(paused->value, std::optional<double>(0.25));
        QCOMPARE(m_reconnect->backoff().attempt(), attemptAfter);
        QCOMPARE(m_clock->sleeperCount(), 0);
    }

    void cancelledPauseReturnsWithoutError_data() {
        QTest::addColumn<bool>("duringRetryAfter");
        QTest::addColumn<bool>("pathSatisfied");
        QTest::newRow("during the server's retry-after") << true << true;
        QTest::newRow("during the backoff wait") << false << true;
        QTest::newRow("while waiting for the network") << false << false;
    }

    void cancelledPauseReturnsWithoutError() {
        QFETCH(bool, duringRetryAfter);
        QFETCH(bool, pathSatisfied);
        if (!pathSatisfied)
            report(noNetwork);
        if (duringRetryAfter)
            m_reconnect->failed(NativeClientError::rateLimited(120));
        CancellationSource cancel;
        const auto paused = launch(m_reconnect->pause(cancel.token()));
        settle();
        QVERIFY(!paused->done);
        cancel.cancel();
        settle();
        QVERIFY(paused->done);
        QVERIFY(!paused->error);
        QCOMPARE(paused->value, std::optional<double>(0.25));
        QCOMPARE(m_clock->sleeperCount(), 0);
        QCOMPARE(m_reconnect->notBefore(), std::optional<double>());
        // The pause was not woken by a change, so the delays keep growing.
        QCOMPARE(m_reconnect->backoff().attempt(), 1);
    }

    // The watcher may drop its reference while a pause is under way; the pause still ends cleanly.
    void pauseKeepsTheReconnectAlive() {
        m_reconnect->failed(NativeClientError::rateLimited(5));
        const auto paused = launch(m_reconnect->pause());
        const std::weak_ptr<NativeReconnect> weak = m_reconnect;
        m_reconnect.reset();
        QVERIFY(!weak.expired());
        m_clock->advance(5);
        settle();
        QCOMPARE(paused->value, std::optional<double>(0.25));
        QVERIFY(weak.expired());
    }
};

QTEST_GUILESS_MAIN(TestNativeReconnect)
#include "tst_NativeReconnect.moc"
