#include "async/CancellationSource.h"
#include "connection/NativeFakeClock.h"
#include "connection/NativeFakePathSource.h"
#include "connection/NativeReconnect.h"

#include "ConnectivityTestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <stdexcept>

using Status = NativePath::Status;

namespace {
const NativePath wifi{Status::satisfied, false, false};
const NativePath noNetwork{Status::unsatisfied, false, false};
const QUrl origin(QStringLiteral("https://a.example"));
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

    // Runs one pause to its end, moving the clock from one sleep's end to the next.
    double pauseThrough() {
        const auto paused = launch(m_reconnect->pause());
        for (int step = 0; step < 10 && !paused->done; ++step) {
            settle();
            m_clock->advance(m_clock->nextDeadline() - m_clock->now());
            settle();
        }
        if (!paused->value)
            throw std::runtime_error("the pause did not end");
        return *paused->value;
    }

private Q_SLOTS:
    void init() {
        m_source = std::make_shared<NativeFakePathSource>();
        m_clock = std::make_shared<NativeFakeClock>(100.0);
        m_connectivity = NativeConnectivity::create(m_source, m_clock);
        // Each delay is the lowest the jitter allows: 0.25, 0.5, 1, 2, ... seconds.
        m_reconnect = std::make_shared<NativeReconnect>(
            m_connectivity, Backoff([](double lower, double) { return lower; }), m_clock);
        report(wifi);
    }

    void cleanup() {
        m_reconnect.reset();
        m_connectivity.reset();
        settle();
    }

    // A 429 asking for 30 s: the pause sleeps those 30 s and, as they are longer than the backoff
    // delay and the path is fine, ends right after.
    void retryAfterIsHonouredBeforeTheNextAttempt() {
        QSignalSpy sleeps(m_clock.get(), &NativeFakeClock::sleepStarted);
        const auto refusal =
            NativeClientError::forStatus(429, {{QStringLiteral("retry-after"), QStringLiteral("30")}}, {},
                                         QDateTime::currentDateTimeUtc());
        m_reconnect->failed(std::make_exception_ptr(refusal.value()));
        QCOMPARE(m_reconnect->notBefore(), std::optional<double>(130));

        const auto paused = launch(m_reconnect->pause());
        m_clock->advance(29);
        settle();
        QVERIFY(!paused->done);
        m_clock->advance(1);
        settle();
        QCOMPARE(paused->value, std::optional<double>(0.25));
        QCOMPARE(sleeps.count(), 1);
        QCOMPARE(sleeps.at(0).at(0).toDouble(), 30.0);
        QCOMPARE(m_clock->sleeperCount(), 0);
        QCOMPARE(m_reconnect->notBefore(), std::optional<double>());
    }

    // The server asked for 30 s and the network went away meanwhile: the pause then waits, however
    // long, until the network comes back, and the delays start over.
    void retryAfterThenNoNetworkWaitsForThePath() {
        m_reconnect->failed(NativeClientError::rateLimited(30));
        const auto paused = launch(m_reconnect->pause());
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

    void earliestNextAttempt_data() {
        QTest::addColumn<QList<std::optional<double>>>("retryAfters");
        QTest::addColumn<std::optional<double>>("notBefore");
        using Times = QList<std::optional<double>>;
        QTest::newRow("429 without retry-after") << Times{std::nullopt} << std::optional<double>();
        QTest::newRow("retry-after 0") << Times{0} << std::optional<double>();
        QTest::newRow("a shorter one later keeps the longer") << Times{60, 10} << std::optional<double>(160);
        QTest::newRow("a longer one later wins") << Times{10, 60} << std::optional<double>(160);
        QTest::newRow("capped at five minutes") << Times{900} << std::optional<double>(400);
    }

    void earliestNextAttempt() {
        QFETCH(QList<std::optional<double>>, retryAfters);
        QFETCH(std::optional<double>, notBefore);
        for (const auto &seconds : retryAfters)
            m_reconnect->failed(NativeClientError::rateLimited(seconds));
        QCOMPARE(m_reconnect->notBefore(), notBefore);
    }

    void otherFailuresChangeNothing() {
        m_reconnect->failed(NativeClientError::server(503));
        m_reconnect->failed(NativeClientError::offline(UrlErrorCode::timedOut));
        m_reconnect->failed(std::make_exception_ptr(std::runtime_error("disk full")));
        m_reconnect->failed(std::exception_ptr());
        QCOMPARE(m_reconnect->notBefore(), std::optional<double>());
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
        delays.append(pauseThrough());
        QCOMPARE(delays, (QList<double>{0.25, 0.5, 1, 2, 0.25, 0.5}));
    }

    // The pause waits out the delay on a good path; a change during it (any that wakes a
    // connectivity wait) cuts it short and starts the delays over.
    void pauseWaitsOutTheDelay_data() {
        QTest::addColumn<QString>("during");
        QTest::addColumn<int>("attemptAfter");
        QTest::newRow("nothing happens") << "nothing" << 1;
        QTest::newRow("the path changes") << "path" << 0;
    }

    void pauseWaitsOutTheDelay() {
        QFETCH(QString, during);
        QFETCH(int, attemptAfter);
        m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::cannotConnectToHost), origin);
        const auto paused = launch(m_reconnect->pause());
        settle();
        QVERIFY(!paused->done);
        if (during == QLatin1String("path"))
            report(NativePath{Status::satisfied, true, false});
        else
            m_clock->advance(0.25);
        settle();
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
        QVERIFY(!paused->error);
        QCOMPARE(paused->value, std::optional<double>(0.25));
        QCOMPARE(m_clock->sleeperCount(), 0);
        QCOMPARE(m_reconnect->notBefore(), std::optional<double>());
        // Not woken by a change, so the delays keep growing.
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
