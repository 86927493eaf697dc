#include "async/CancellationSource.h"
#include "connection/NativeFakeClock.h"
#include "connection/NativeFakePathSource.h"
#include "connection/NativeReconnect.h"

#include "ConnectivityTestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <limits>
#include <stdexcept>

using Status = NativePath::Status;
using Seconds = std::optional<double>;

namespace {
const NativePath wifi{Status::satisfied, false, false};
const NativePath noNetwork{Status::unsatisfied, false, false};
// Each delay is the lowest the jitter allows: 0.25, 0.5, 1, 2, ... seconds.
const Backoff::Random lowest = [](double lower, double) { return lower; };
} // namespace

// The backoff delays, and the pause between live-connection attempts built on them.
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
    void advance(double seconds) {
        m_clock->advance(seconds);
        settle();
    }

    // Runs one pause to its end, moving the clock from one sleep's end to the next.
    double pauseThrough() {
        const auto paused = launch(m_reconnect->pause());
        for (int step = 0; step < 10 && !paused->done; ++step) {
            settle();
            advance(m_clock->nextDeadline() - m_clock->now());
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
        m_reconnect = std::make_shared<NativeReconnect>(m_connectivity, Backoff(lowest), m_clock);
        report(wifi);
    }

    void cleanup() {
        m_reconnect.reset();
        m_connectivity.reset();
        settle();
    }

    void backoffSequence() {
        const auto delays = [](Backoff backoff) {
            QList<double> list;
            for (int i = 0; i < 8; ++i)
                list.append(backoff.next());
            return list;
        };
        QCOMPARE(delays(Backoff(lowest)), (QList<double>{0.25, 0.5, 1, 2, 4, 5, 5, 5}));
        QCOMPARE(delays(Backoff([](double, double upper) { return upper; })),
                 (QList<double>{0.5, 1, 2, 4, 8, 10, 10, 10}));
        // A random source that strays outside its range must not give a negative or runaway delay.
        QCOMPARE(Backoff([](double, double) { return -3.0; }).next(), 0.25);
        QCOMPARE(Backoff([](double, double) { return 1e9; }).next(), 0.5);
    }

    void backoffRetryAfter_data() {
        QTest::addColumn<Seconds>("retryAfter");
        QTest::addColumn<double>("expected");
        QTest::newRow("longer than the delay") << Seconds(120) << 120.0;
        QTest::newRow("capped at five minutes") << Seconds(900) << 300.0;
        QTest::newRow("zero is ignored") << Seconds(0) << 0.25;
        QTest::newRow("shorter than the delay") << Seconds(0.1) << 0.25;
        QTest::newRow("not a number is ignored") << Seconds(std::numeric_limits<double>::quiet_NaN()) << 0.25;
    }

    void backoffRetryAfter() {
        QFETCH(Seconds, retryAfter);
        QFETCH(double, expected);
        Backoff backoff(lowest);
        QCOMPARE(backoff.next(retryAfter), expected);
        // A Retry-After still counts as an attempt: the next delay grows as usual.
        QCOMPARE(backoff.next(), 0.5);
    }

    void backoffEndOfConnection_data() {
        QTest::addColumn<Seconds>("openedAt");
        QTest::addColumn<double>("endedAt");
        QTest::addColumn<int>("attemptAfter");
        QTest::newRow("stable for 6 s resets") << Seconds(100) << 106.0 << 0;
        QTest::newRow("exactly 5 s does not") << Seconds(100) << 105.0 << 3;
        QTest::newRow("never opened does not") << Seconds() << 1000.0 << 3;
    }

    void backoffEndOfConnection() {
        QFETCH(Seconds, openedAt);
        QFETCH(double, endedAt);
        QFETCH(int, attemptAfter);
        Backoff backoff(lowest);
        for (int i = 0; i < 3; ++i)
            backoff.next();
        if (openedAt)
            backoff.opened(*openedAt);
        backoff.ended(endedAt);
        QCOMPARE(backoff.attempt(), attemptAfter);
        // The opening is used up: a later end must not count it again.
        QCOMPARE(backoff.openedAt(), Seconds());
    }

    // A 429 asking for 30 s: the pause sleeps those 30 s and, as they are longer than the backoff
    // delay and the path is fine, ends right after.
    void retryAfterIsHonouredBeforeTheNextAttempt() {
        QSignalSpy sleeps(m_clock.get(), &NativeFakeClock::sleepStarted);
        const auto refusal = NativeClientError::forStatus(429, {{QStringLiteral("retry-after"), "30"}}, {},
                                                          QDateTime::currentDateTimeUtc());
        m_reconnect->failed(std::make_exception_ptr(refusal.value()));
        QCOMPARE(m_reconnect->notBefore(), Seconds(130));

        const auto paused = launch(m_reconnect->pause());
        advance(29);
        QVERIFY(!paused->done);
        advance(1);
        QCOMPARE(paused->value, Seconds(0.25));
        QCOMPARE(sleeps.count(), 1);
        QCOMPARE(sleeps.at(0).at(0).toDouble(), 30.0);
        QCOMPARE(m_clock->sleeperCount(), 0);
        QCOMPARE(m_reconnect->notBefore(), Seconds());
    }

    // The server asked for 30 s and the network went away meanwhile: the pause then waits, however
    // long, until the network comes back, and the delays start over.
    void retryAfterThenNoNetworkWaitsForThePath() {
        m_reconnect->failed(NativeClientError::rateLimited(30));
        const auto paused = launch(m_reconnect->pause());
        report(noNetwork);
        advance(30);
        advance(3600);
        QVERIFY(!paused->done);
        report(wifi);
        QCOMPARE(paused->value, Seconds(0.25));
        QCOMPARE(m_reconnect->backoff().attempt(), 0);
    }

    void earliestNextAttempt_data() {
        QTest::addColumn<QList<Seconds>>("retryAfters");
        QTest::addColumn<Seconds>("notBefore");
        QTest::newRow("429 without retry-after") << QList<Seconds>{std::nullopt} << Seconds();
        QTest::newRow("retry-after 0") << QList<Seconds>{0} << Seconds();
        QTest::newRow("a shorter one later keeps the longer") << QList<Seconds>{60, 10} << Seconds(160);
        QTest::newRow("a longer one later wins") << QList<Seconds>{10, 60} << Seconds(160);
        QTest::newRow("capped at five minutes") << QList<Seconds>{900} << Seconds(400);
    }

    void earliestNextAttempt() {
        QFETCH(QList<Seconds>, retryAfters);
        QFETCH(Seconds, notBefore);
        for (const auto &seconds : retryAfters)
            m_reconnect->failed(NativeClientError::rateLimited(seconds));
        // Other failures change nothing.
        m_reconnect->failed(NativeClientError::server(503));
        m_reconnect->failed(NativeClientError::offline(UrlErrorCode::timedOut));
        m_reconnect->failed(std::make_exception_ptr(std::runtime_error("disk full")));
        m_reconnect->failed(std::exception_ptr());
        QCOMPARE(m_reconnect->notBefore(), notBefore);
    }

    // Short connections make the delays grow; one that stayed open more than 5 s starts over.
    void delaysGrowAcrossShortConnectionsOnly() {
        QList<double> delays;
        for (const double open : {1, 1, 1, 1, 6}) {
            m_reconnect->opened();
            m_clock->advance(open);
            delays.append(pauseThrough());
        }
        delays.append(pauseThrough());
        QCOMPARE(delays, (QList<double>{0.25, 0.5, 1, 2, 0.25, 0.5}));
    }

    // The pause waits out the delay on a good path; a change during it (any that wakes a
    // connectivity wait) cuts it short and starts the delays over.
    void pauseWaitsOutTheDelay_data() {
        QTest::addColumn<bool>("pathChanges");
        QTest::newRow("nothing happens") << false;
        QTest::newRow("the path changes") << true;
    }

    void pauseWaitsOutTheDelay() {
        QFETCH(bool, pathChanges);
        m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::cannotConnectToHost),
                               QUrl("https://a.example"));
        const auto paused = launch(m_reconnect->pause());
        settle();
        QVERIFY(!paused->done);
        if (pathChanges)
            report(NativePath{Status::satisfied, true, false});
        else
            advance(0.25);
        QCOMPARE(paused->value, Seconds(0.25));
        QCOMPARE(m_reconnect->backoff().attempt(), pathChanges ? 0 : 1);
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
        QCOMPARE(paused->value, Seconds(0.25));
        QCOMPARE(m_clock->sleeperCount(), 0);
        QCOMPARE(m_reconnect->notBefore(), Seconds());
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
        advance(5);
        QCOMPARE(paused->value, Seconds(0.25));
        QVERIFY(weak.expired());
    }
};

QTEST_GUILESS_MAIN(TestNativeReconnect)
#include "tst_NativeReconnect.moc"
