#include "async/CancellationError.h"
#include "async/CancellationSource.h"
#include "connection/NativeConnectivity.h"
#include "connection/NativeFakeClock.h"
#include "connection/NativeFakePathSource.h"
#include "connection/NativeNetworkPathSource.h"
#include "connection/NativeReconnect.h"

#include <QCoroTask>
#include <QSignalSpy>
#include <QTest>

#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

using Status = NativePath::Status;
using Seconds = std::optional<double>;
using OfflineCase = std::tuple<QString, bool, bool, bool>;
using Reachability = QNetworkInformation::Reachability;
using Medium = QNetworkInformation::TransportMedium;

namespace {
const NativePath wifi{Status::satisfied, false, false};
const NativePath cellular{Status::satisfied, true, false};
const NativePath noNetwork{Status::unsatisfied, false, false};

const QUrl serverA(QStringLiteral("https://a.example"));
const QUrl serverB(QStringLiteral("http://127.0.0.1:8080"));

// Each delay is the lowest the jitter allows: 0.25, 0.5, 1, 2, ... seconds.
const Backoff::Random lowest = [](double lower, double) { return lower; };

template <typename T> struct Launched {
    bool done = false;
    std::optional<T> value;
    std::exception_ptr error;
};

template <typename T> QCoro::Task<> recordInto(QCoro::Task<T> task, std::shared_ptr<Launched<T>> outcome) {
    try {
        outcome->value = co_await std::move(task);
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->done = true;
}

// Lets `task` run on its own; the returned record fills in when it ends.
template <typename T> std::shared_ptr<Launched<T>> launch(QCoro::Task<T> task) {
    auto outcome = std::make_shared<Launched<T>>();
    recordInto(std::move(task), outcome);
    return outcome;
}

// Runs everything the event loop has queued, including what that queues in turn. Nothing in
// these tests depends on real time, so this settles every hop and coroutine resumption.
void settle() {
    for (int round = 0; round < 20; ++round)
        QCoreApplication::processEvents();
}
} // namespace

// Stands in for QGuiApplication: the one signal the connectivity follows, without linking QtGui.
class ActivatingApplication : public QCoreApplication {
    Q_OBJECT
public:
    using QCoreApplication::QCoreApplication;
Q_SIGNALS:
    void applicationStateChanged(Qt::ApplicationState state);
};

// What the connectivity makes of path reports and transport outcomes, and the pause between
// live-connection attempts built on it and on the backoff delays.
class TestNativeConnectivity : public QObject {
    Q_OBJECT

    std::shared_ptr<NativeFakePathSource> m_source;
    std::shared_ptr<NativeFakeClock> m_clock;
    std::shared_ptr<NativeConnectivity> m_connectivity;
    std::shared_ptr<NativeReconnect> m_reconnect;

    // One step of a scripted scenario: "wifi", "cellular", "none" (path reports), "answer A 500",
    // "offline B", "offline <origin>", "active", "inactive", "foreground".
    void apply(const QString &step) {
        const QStringList words = step.split(u' ');
        const QString verb = words[0], where = words.value(1);
        const QUrl server = where == u"B" ? serverB : where.contains(u':') ? QUrl(where) : serverA;
        const QMap<QString, NativePath> paths{{"wifi", wifi}, {"cellular", cellular}, {"none", noNetwork}};
        if (paths.contains(verb))
            m_source->report(paths[verb]);
        else if (verb == u"answer")
            m_connectivity->record(NativeTransportOutcome::responded(words[2].toInt()), server);
        else if (verb == u"offline")
            m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::timedOut), server);
        else if (verb == u"foreground")
            m_connectivity->foregrounded();
        else
            Q_EMIT static_cast<ActivatingApplication *>(QCoreApplication::instance())
                ->applicationStateChanged(verb == u"active" ? Qt::ApplicationActive
                                                            : Qt::ApplicationInactive);
        settle();
    }
    void applyAll(const QString &steps) {
        for (const QString &step : steps.split(u',', Qt::SkipEmptyParts))
            apply(step.trimmed());
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
        apply("wifi");
    }
    void cleanup() {
        m_reconnect.reset();
        m_connectivity.reset();
        settle();
    }

    void offlineState_data() {
        QTest::addColumn<OfflineCase>("row");
        const auto row = [](const char *name, const char *steps, bool path, bool a, bool b) {
            QTest::newRow(name) << OfflineCase{QString(steps), path, a, b};
        };
        row("offline failure marks only its origin", "wifi, offline A", true, true, false);
        row("a 500 answer is reachable", "offline A, answer A 500", true, false, false);
        row("no path: every remote origin offline, answers or not; this machine is not", "none, answer A 200",
            false, true, false);
        row("no path: this machine offline only by its own failure", "none, offline B", false, true, true);
        row("path back: failures forgotten", "wifi, offline A, offline B, none, wifi", true, false, false);
        row("flag change only forgets failures", "wifi, offline A, cellular", true, false, false);
        row("same path again keeps failures", "wifi, offline A, wifi", true, true, false);
        // Origins are compared by scheme, host and port.
        row("same origin with a path", "offline https://a.example/sheets/1", true, true, false);
        row("same origin, default port and host case", "offline https://A.Example:443", true, true, false);
        row("other port", "offline https://a.example:8443", true, false, false);
    }
    void offlineState() {
        QFETCH(OfflineCase, row);
        const auto &[steps, pathSatisfied, offlineA, offlineB] = row;
        applyAll(steps);
        QCOMPARE(m_connectivity->isPathSatisfied(), pathSatisfied);
        QCOMPARE(m_connectivity->isOffline(serverA), offlineA);
        QCOMPARE(m_connectivity->isOffline(serverB), offlineB);
    }

    // The offline banner redraws on these signals: they fire whenever isOffline may change.
    void signalsFollowTheOfflineState() {
        QSignalSpy path(m_connectivity.get(), &NativeConnectivity::pathChanged);
        QSignalSpy reachability(m_connectivity.get(), &NativeConnectivity::reachabilityChanged);
        applyAll("offline A, offline A");
        QCOMPARE(reachability.count(), 1);
        applyAll("answer A 503, answer A 200");
        QCOMPARE(reachability.count(), 2);
        applyAll("none, none");
        QCOMPARE(path.count(), 1);
        QCOMPARE(reachability.count(), 3);
        QCOMPARE(m_connectivity->property("pathSatisfied").toBool(), false);
    }

    void waitIsWokenOrTimesOut_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<bool>("woken");
        const auto row = [](const char *name, const char *before, const char *trigger, bool woken) {
            QTest::newRow(name) << QString(before) << QString(trigger) << woken;
        };
        row("path change", "", "none", true);
        row("flag change", "", "cellular", true);
        row("answer after an offline failure", "offline A", "answer A 204", true);
        row("application became active", "", "active", true);
        row("foregrounded", "", "foreground", true);
        row("same path again", "", "wifi", false);
        row("offline failure", "", "offline A", false);
        row("answer from a reachable server", "answer A 200", "answer A 200", false);
        row("application became inactive", "", "inactive", false);
    }
    void waitIsWokenOrTimesOut() {
        QFETCH(QString, before);
        QFETCH(QString, trigger);
        QFETCH(bool, woken);
        applyAll("wifi," + before);
        const auto waited = launch(m_connectivity->wait(10));
        settle();
        apply(trigger);
        if (!woken) {
            m_clock->advance(9.5);
            settle();
            QVERIFY(!waited->done);
            m_clock->advance(0.5);
            settle();
        }
        QCOMPARE(waited->value, std::optional<bool>(woken));
        // The timer of the race is stopped, not left running.
        QCOMPARE(m_clock->sleeperCount(), 0);
    }

    // A change between subscribing and reading is kept; several count as one; every subscriber
    // is told; a cancelled read throws; the end of the connectivity ends every subscription.
    void changeSubscriptions() {
        const auto one = m_connectivity->changes();
        const auto two = m_connectivity->changes();
        applyAll("foreground, none");
        QCOMPARE(launch(one->next())->value, std::optional<bool>(true));
        QCOMPARE(launch(two->next())->value, std::optional<bool>(true));
        const auto waitingOne = launch(one->next());
        settle();
        QVERIFY(!waitingOne->done);
        CancellationSource cancel;
        const auto waitingTwo = launch(two->next(cancel.token()));
        cancel.cancel();
        settle();
        QVERIFY_THROWS_EXCEPTION(CancellationError, std::rethrow_exception(waitingTwo->error));
        m_reconnect.reset();
        m_connectivity.reset();
        settle();
        QCOMPARE(waitingOne->value, std::optional<bool>(false));
        QCOMPARE(launch(two->next())->value, std::optional<bool>(false));
    }

    // Transports call the observer on their own threads, and the system's path monitor reports
    // from its own; both land on the GUI thread.
    void reportsFromOtherThreads() {
        const NativeTransportObserver observer = m_connectivity->observer(serverA);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([observer] {
                for (int i = 0; i < 50; ++i)
                    observer(NativeTransportOutcome::responded(200));
            });
        }
        threads.emplace_back([source = m_source] { source->report(noNetwork); });
        for (auto &thread : threads)
            thread.join();
        QCOMPARE(m_connectivity->serverReachable(serverA), std::optional<bool>());
        settle();
        QCOMPARE(m_connectivity->path(), std::optional<NativePath>(noNetwork));
    }

    void observerAndSourceOutliveTheConnectivity() {
        QVERIFY(m_source->isStarted());
        const NativeTransportObserver observer = m_connectivity->observer(serverA);
        observer(NativeTransportOutcome::responded(200));
        m_source->report(noNetwork);
        m_reconnect.reset();
        m_connectivity.reset();
        QVERIFY(m_source->isCancelled());
        settle();
        std::thread([observer] { observer(NativeTransportOutcome::responded(200)); }).join();
        m_source->report(wifi);
        settle();
    }

    void pathSourceMapping_data() {
        QTest::addColumn<Reachability>("reachability");
        QTest::addColumn<Medium>("medium");
        QTest::addColumn<bool>("metered");
        QTest::addColumn<std::optional<NativePath>>("expected");
        QTest::newRow("online over cellular")
            << Reachability::Online << Medium::Cellular << false << std::optional(cellular);
        QTest::newRow("metered wifi on a site network")
            << Reachability::Site << Medium::WiFi << true << std::optional(cellular);
        // A LAN without internet, or this machine only, still reaches a server there.
        QTest::newRow("local only") << Reachability::Local << Medium::Ethernet << false
                                    << std::optional(wifi);
        QTest::newRow("disconnected")
            << Reachability::Disconnected << Medium::Unknown << false << std::optional(noNetwork);
        QTest::newRow("unknown is no report")
            << Reachability::Unknown << Medium::Unknown << false << std::optional<NativePath>();
    }
    void pathSourceMapping() {
        QFETCH(Reachability, reachability);
        QFETCH(Medium, medium);
        QFETCH(bool, metered);
        QFETCH(std::optional<NativePath>, expected);
        QVERIFY(NativeNetworkPathSource::pathFor(reachability, medium, metered) == expected);
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
    // delay and the path is fine, ends right after. The watcher may drop its reference meanwhile.
    void retryAfterIsHonouredBeforeTheNextAttempt() {
        QSignalSpy sleeps(m_clock.get(), &NativeFakeClock::sleepStarted);
        const auto refusal = NativeClientError::forStatus(429, {{QStringLiteral("retry-after"), "30"}}, {},
                                                          QDateTime::currentDateTimeUtc());
        m_reconnect->failed(std::make_exception_ptr(refusal.value()));
        QCOMPARE(m_reconnect->notBefore(), Seconds(130));
        const auto paused = launch(m_reconnect->pause());
        const std::weak_ptr<NativeReconnect> weak = std::exchange(m_reconnect, nullptr);
        advance(29);
        QVERIFY(!paused->done && !weak.expired());
        advance(1);
        QCOMPARE(paused->value, Seconds(0.25));
        QVERIFY(weak.expired());
        QCOMPARE(sleeps.count(), 1);
        QCOMPARE(sleeps.at(0).at(0).toDouble(), 30.0);
        QCOMPARE(m_clock->sleeperCount(), 0);
    }

    // The server asked for 30 s and the network went away meanwhile: the pause then waits, however
    // long, until the network comes back, and the delays start over.
    void retryAfterThenNoNetworkWaitsForThePath() {
        m_reconnect->failed(NativeClientError::rateLimited(30));
        const auto paused = launch(m_reconnect->pause());
        apply("none");
        advance(30);
        advance(3600);
        QVERIFY(!paused->done);
        apply("wifi");
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
            apply("cellular");
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
            apply("none");
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
};

int main(int argc, char *argv[]) {
    ActivatingApplication application(argc, argv);
    TestNativeConnectivity test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_NativeConnectivity.moc"
