#include "async/CancellationError.h"
#include "async/CancellationSource.h"
#include "connection/NativeConnectivity.h"
#include "connection/NativeFakeClock.h"
#include "connection/NativeFakePathSource.h"
#include "connection/NativeNetworkPathSource.h"

#include "ConnectivityTestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <thread>
#include <vector>

using Status = NativePath::Status;

namespace {
const NativePath wifi{Status::satisfied, false, false};
const NativePath cellular{Status::satisfied, true, false};
const NativePath lowData{Status::satisfied, false, true};
const NativePath noNetwork{Status::unsatisfied, false, false};
const NativePath dialUp{Status::requiresConnection, false, false};

const QUrl serverA(QStringLiteral("https://a.example"));
const QUrl serverB(QStringLiteral("http://127.0.0.1:8080"));
} // namespace

// Stands in for QGuiApplication: the one signal the connectivity follows, without linking QtGui.
class ActivatingApplication : public QCoreApplication {
    Q_OBJECT
public:
    using QCoreApplication::QCoreApplication;
Q_SIGNALS:
    void applicationStateChanged(Qt::ApplicationState state);
};

class TestNativeConnectivity : public QObject {
    Q_OBJECT

    std::shared_ptr<NativeFakePathSource> m_source;
    std::shared_ptr<NativeFakeClock> m_clock;
    std::shared_ptr<NativeConnectivity> m_connectivity;

    void report(const NativePath &path) {
        m_source->report(path);
        settle();
    }

    // Applies one step of a scripted scenario: "path <name>", "answer <server> <status>" or
    // "offline <server>".
    void apply(const QString &step) {
        const QStringList words = step.split(QLatin1Char(' '));
        const QUrl &server = words.value(1) == QLatin1String("B") ? serverB : serverA;
        if (words[0] == QLatin1String("path")) {
            const QString name = words[1];
            report(name == QLatin1String("wifi")       ? wifi
                   : name == QLatin1String("cellular") ? cellular
                   : name == QLatin1String("dialUp")   ? dialUp
                                                       : noNetwork);
        } else if (words[0] == QLatin1String("answer")) {
            m_connectivity->record(NativeTransportOutcome::responded(words[2].toInt()), server);
        } else if (words[0] == QLatin1String("offline")) {
            m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::timedOut), server);
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }

private Q_SLOTS:
    void init() {
        m_source = std::make_shared<NativeFakePathSource>();
        m_clock = std::make_shared<NativeFakeClock>();
        m_connectivity = NativeConnectivity::create(m_source, m_clock);
    }

    void cleanup() {
        m_connectivity.reset();
        settle();
    }

    void sourceIsStartedAndCancelledWithTheObject() {
        QVERIFY(m_source->isStarted());
        QVERIFY(!m_source->isCancelled());
        m_connectivity.reset();
        QVERIFY(m_source->isCancelled());
    }

    void offlineState_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<bool>("pathSatisfied");
        QTest::addColumn<bool>("offlineA");
        QTest::addColumn<bool>("offlineB");
        QTest::newRow("nothing known") << QStringList{} << true << false << false;
        QTest::newRow("never contacted on a good path") << QStringList{"path wifi"} << true << false << false;
        QTest::newRow("offline failure marks only its origin")
            << QStringList{"path wifi", "offline A"} << true << true << false;
        QTest::newRow("a 500 answer is reachable")
            << QStringList{"offline A", "answer A 500"} << true << false << false;
        QTest::newRow("a 429 answer is reachable")
            << QStringList{"offline A", "answer A 429"} << true << false << false;
        QTest::newRow("offline again after an answer")
            << QStringList{"answer A 200", "offline A"} << true << true << false;
        QTest::newRow("no path: every origin offline")
            << QStringList{"answer A 200", "path none"} << false << true << true;
        QTest::newRow("requires connection is not satisfied")
            << QStringList{"path dialUp"} << false << true << true;
        QTest::newRow("path back: failures forgotten")
            << QStringList{"path wifi", "offline A", "offline B", "path none", "path wifi"} << true << false
            << false;
        QTest::newRow("flag change only forgets failures")
            << QStringList{"path wifi", "offline A", "path cellular"} << true << false << false;
        QTest::newRow("same path again keeps failures")
            << QStringList{"path wifi", "offline A", "path wifi"} << true << true << false;
        QTest::newRow("no path: an answer does not bring the origin online")
            << QStringList{"path none", "answer B 200"} << false << true << true;
    }

    void offlineState() {
        QFETCH(QStringList, steps);
        QFETCH(bool, pathSatisfied);
        QFETCH(bool, offlineA);
        QFETCH(bool, offlineB);
        for (const QString &step : steps)
            apply(step);
        QCOMPARE(m_connectivity->isPathSatisfied(), pathSatisfied);
        QCOMPARE(m_connectivity->isOffline(serverA), offlineA);
        QCOMPARE(m_connectivity->isOffline(serverB), offlineB);
    }

    void originsAreComparedBySchemeHostAndPort_data() {
        QTest::addColumn<QString>("recorded");
        QTest::addColumn<QString>("asked");
        QTest::addColumn<bool>("same");
        QTest::newRow("trailing slash") << "https://a.example/"
                                        << "https://a.example" << true;
        QTest::newRow("default port") << "https://a.example:443"
                                      << "https://a.example" << true;
        QTest::newRow("host case") << "https://A.Example"
                                   << "https://a.example" << true;
        QTest::newRow("path ignored") << "https://a.example/sheets/1"
                                      << "https://a.example" << true;
        QTest::newRow("other port") << "https://a.example:8443"
                                    << "https://a.example" << false;
        QTest::newRow("other scheme") << "http://a.example"
                                      << "https://a.example" << false;
        QTest::newRow("other host") << "https://b.example"
                                    << "https://a.example" << false;
        QTest::newRow("IPv6 loopback") << "http://[::1]:8080/"
                                       << "http://[::1]:8080" << true;
    }

    void originsAreComparedBySchemeHostAndPort() {
        QFETCH(QString, recorded);
        QFETCH(QString, asked);
        QFETCH(bool, same);
        m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::cannotConnectToHost),
                               QUrl(recorded));
        QCOMPARE(m_connectivity->isOffline(QUrl(asked)), same);
    }

    // The offline banner redraws on these signals, so they must fire whenever isOffline may change,
    // and only then.
    void signalsFollowTheOfflineState() {
        QSignalSpy path(m_connectivity.get(), &NativeConnectivity::pathChanged);
        QSignalSpy reachability(m_connectivity.get(), &NativeConnectivity::reachabilityChanged);
        m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::timedOut), serverA);
        m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::notConnectedToInternet),
                               serverA);
        QCOMPARE(reachability.count(), 1);
        m_connectivity->record(NativeTransportOutcome::responded(503), serverA);
        m_connectivity->record(NativeTransportOutcome::responded(200), serverA);
        QCOMPARE(reachability.count(), 2);
        report(noNetwork);
        QCOMPARE(path.count(), 1);
        QCOMPARE(reachability.count(), 3);
        report(noNetwork);
        QCOMPARE(path.count(), 1);
        QCOMPARE(m_connectivity->property("pathSatisfied").toBool(), false);
    }

    void waitIsWokenOrTimesOut_data() {
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<bool>("woken");
        QTest::newRow("path change") << "path change" << true;
        QTest::newRow("flag change") << "flag change" << true;
        QTest::newRow("first server answer") << "first answer" << true;
        QTest::newRow("answer after an offline failure") << "answer after offline" << true;
        QTest::newRow("application became active") << "activated" << true;
        QTest::newRow("foregrounded") << "foregrounded" << true;
        QTest::newRow("same path again") << "same path" << false;
        QTest::newRow("offline failure") << "offline" << false;
        QTest::newRow("answer from a reachable server") << "answer again" << false;
        QTest::newRow("application became inactive") << "deactivated" << false;
        QTest::newRow("nothing") << "nothing" << false;
    }

    void waitIsWokenOrTimesOut() {
        QFETCH(QString, trigger);
        QFETCH(bool, woken);
        report(wifi);
        if (trigger == QLatin1String("answer after offline"))
            apply(QStringLiteral("offline A"));
        if (trigger == QLatin1String("answer again"))
            apply(QStringLiteral("answer A 200"));

        const auto waited = launch(m_connectivity->wait(10));
        settle();
        QCOMPARE(m_clock->sleeperCount(), 1);

        auto *application = static_cast<ActivatingApplication *>(QCoreApplication::instance());
        if (trigger == QLatin1String("path change"))
            m_source->report(noNetwork);
        else if (trigger == QLatin1String("flag change"))
            m_source->report(lowData);
        else if (trigger == QLatin1String("same path"))
            m_source->report(wifi);
        else if (trigger.contains(QLatin1String("answer")))
            apply(QStringLiteral("answer A 204"));
        else if (trigger == QLatin1String("offline"))
            apply(QStringLiteral("offline A"));
        else if (trigger == QLatin1String("activated"))
            Q_EMIT application->applicationStateChanged(Qt::ApplicationActive);
        else if (trigger == QLatin1String("deactivated"))
            Q_EMIT application->applicationStateChanged(Qt::ApplicationInactive);
        else if (trigger == QLatin1String("foregrounded"))
            m_connectivity->foregrounded();
        settle();

        if (woken) {
            QVERIFY(waited->done);
            QCOMPARE(waited->value, std::optional<bool>(true));
            // The timer of the race is stopped, not left running.
            QCOMPARE(m_clock->sleeperCount(), 0);
            return;
        }
        QVERIFY(!waited->done);
        m_clock->advance(9.5);
        settle();
        QVERIFY(!waited->done);
        m_clock->advance(0.5);
        settle();
        QVERIFY(waited->done);
        QCOMPARE(waited->value, std::optional<bool>(false));
    }

    // Without a usable path the wait has no time limit: only a change ends it.
    void waitWithoutPathHasNoTimeLimit() {
        report(noNetwork);
        const auto waited = launch(m_connectivity->wait(1));
        m_clock->advance(3600);
        settle();
        QVERIFY(!waited->done);
        QCOMPARE(m_clock->sleeperCount(), 0);
        m_connectivity->foregrounded();
        settle();
        QCOMPARE(waited->value, std::optional<bool>(true));
    }

    void waitEndsWithFalseWhenCancelled_data() {
        QTest::addColumn<bool>("pathSatisfied");
        QTest::newRow("timed wait") << true;
        QTest::newRow("wait without limit") << false;
    }

    void waitEndsWithFalseWhenCancelled() {
        QFETCH(bool, pathSatisfied);
        report(pathSatisfied ? wifi : noNetwork);
        CancellationSource cancel;
        const auto waited = launch(m_connectivity->wait(30, cancel.token()));
        settle();
        QVERIFY(!waited->done);
        cancel.cancel();
        settle();
        QVERIFY(waited->done);
        QVERIFY(!waited->error);
        QCOMPARE(waited->value, std::optional<bool>(false));
        QCOMPARE(m_clock->sleeperCount(), 0);
    }

    // A change that happens between subscribing and waiting is kept, and several changes before
    // the next read count as one.
    void changesKeepTheNewestUndeliveredChange() {
        const auto changes = m_connectivity->changes();
        m_connectivity->foregrounded();
        report(noNetwork);
        QVERIFY(changes->hasPending());
        const auto first = launch(changes->next());
        QCOMPARE(first->value, std::optional<bool>(true));
        const auto second = launch(changes->next());
        settle();
        QVERIFY(!second->done);
        m_connectivity->foregrounded();
        settle();
        QCOMPARE(second->value, std::optional<bool>(true));
    }

    void everySubscriberIsWoken() {
        const auto one = m_connectivity->changes();
        const auto two = m_connectivity->changes();
        const auto first = launch(one->next());
        const auto second = launch(two->next());
        {
            // A subscription that went away is simply no longer told.
            const auto dropped = m_connectivity->changes();
        }
        m_connectivity->foregrounded();
        settle();
        QCOMPARE(first->value, std::optional<bool>(true));
        QCOMPARE(second->value, std::optional<bool>(true));
    }

    void changesEndWhenTheConnectivityGoesAway() {
        const auto changes = m_connectivity->changes();
        const auto waiting = launch(changes->next());
        settle();
        m_connectivity.reset();
        settle();
        QCOMPARE(waiting->value, std::optional<bool>(false));
        QVERIFY(changes->isEnded());
        const auto afterwards = launch(changes->next());
        QCOMPARE(afterwards->value, std::optional<bool>(false));
    }

    void nextThrowsCancellationWhenCancelled() {
        const auto changes = m_connectivity->changes();
        CancellationSource cancel;
        const auto waiting = launch(changes->next(cancel.token()));
        settle();
        cancel.cancel();
        settle();
        QVERIFY(waiting->done);
        QVERIFY_THROWS_EXCEPTION(CancellationError, std::rethrow_exception(waiting->error));
    }

    // Transports call the observer on their own threads; the outcome lands on the GUI thread.
    void observerMayBeCalledFromAnyThread() {
        const NativeTransportObserver observer = m_connectivity->observer(serverA);
        QSignalSpy changed(m_connectivity.get(), &NativeConnectivity::changed);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([observer, t] {
                for (int i = 0; i < 50; ++i)
                    observer(t == 0 && i == 0 ? NativeTransportOutcome::offline(UrlErrorCode::timedOut)
                                              : NativeTransportOutcome::responded(200));
            });
        }
        for (auto &thread : threads)
            thread.join();
        // Recorded only once the GUI thread runs its queue.
        QCOMPARE(m_connectivity->serverReachable(serverA), std::optional<bool>());
        settle();
        QVERIFY(m_connectivity->serverReachable(serverA).has_value());
        QVERIFY(changed.count() >= 1);
    }

    void observerAndSourceOutliveTheConnectivity() {
        const NativeTransportObserver observer = m_connectivity->observer(serverA);
        observer(NativeTransportOutcome::responded(200));
        m_source->report(noNetwork);
        m_connectivity.reset();
        settle();
        observer(NativeTransportOutcome::offline(UrlErrorCode::timedOut));
        std::thread([observer] { observer(NativeTransportOutcome::responded(200)); }).join();
        m_source->report(wifi);
        settle();
        QVERIFY(m_source->isCancelled());
    }

    void systemPathMapping_data() {
        using Reachability = QNetworkInformation::Reachability;
        using Medium = QNetworkInformation::TransportMedium;
        QTest::addColumn<Reachability>("reachability");
        QTest::addColumn<Medium>("medium");
        QTest::addColumn<bool>("metered");
        QTest::addColumn<bool>("known");
        QTest::addColumn<NativePath>("expected");
        QTest::newRow("online over ethernet") << Reachability::Online << Medium::Ethernet << false << true
                                              << NativePath{Status::satisfied, false, false};
        QTest::newRow("online over cellular") << Reachability::Online << Medium::Cellular << false << true
                                              << NativePath{Status::satisfied, true, false};
        QTest::newRow("metered wifi") << Reachability::Online << Medium::WiFi << true << true
                                      << NativePath{Status::satisfied, true, false};
        QTest::newRow("site network only") << Reachability::Site << Medium::WiFi << false << true
                                           << NativePath{Status::satisfied, false, false};
        QTest::newRow("machine only") << Reachability::Local << Medium::Unknown << false << true
                                      << NativePath{Status::unsatisfied, false, false};
        QTest::newRow("disconnected") << Reachability::Disconnected << Medium::Unknown << false << true
                                      << NativePath{Status::unsatisfied, false, false};
        QTest::newRow("unknown is no report")
            << Reachability::Unknown << Medium::Unknown << false << false << NativePath{};
    }

    void systemPathMapping() {
        QFETCH(QNetworkInformation::Reachability, reachability);
        QFETCH(QNetworkInformation::TransportMedium, medium);
        QFETCH(bool, metered);
        QFETCH(bool, known);
        QFETCH(NativePath, expected);
        const auto path = NativeNetworkPathSource::pathFor(reachability, medium, metered);
        QCOMPARE(path.has_value(), known);
        if (known)
            QVERIFY(*path == expected);
    }
};

int main(int argc, char *argv[]) {
    ActivatingApplication application(argc, argv);
    TestNativeConnectivity test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_NativeConnectivity.moc"
