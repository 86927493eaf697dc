#include "async/CancellationError.h"
#include "async/CancellationSource.h"
#include "connection/NativeConnectivity.h"
#include "connection/NativeFakeClock.h"
#include "connection/NativeFakePathSource.h"

#include "ConnectivityTestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <thread>
#include <vector>

using Status = NativePath::Status;

namespace {
const NativePath wifi{Status::satisfied, false, false};
const NativePath cellular{Status::satisfied, true, false};
const NativePath noNetwork{Status::unsatisfied, false, false};

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

    // One step of a scripted scenario: "wifi", "cellular", "none" (path reports), "answer A 500",
    // "offline B", "offline <origin>", "active", "inactive", "foreground".
    void apply(const QString &step) {
        const QStringList words = step.split(QLatin1Char(' '));
        const QUrl server = words.value(1) == QLatin1String("B")        ? serverB
                            : words.value(1).contains(QLatin1Char(':')) ? QUrl(words[1])
                                                                        : serverA;
        const QString verb = words[0];
        if (verb == QLatin1String("wifi") || verb == QLatin1String("cellular") ||
            verb == QLatin1String("none"))
            m_source->report(verb == QLatin1String("wifi")   ? wifi
                             : verb == QLatin1String("none") ? noNetwork
                                                             : cellular);
        else if (verb == QLatin1String("answer"))
            m_connectivity->record(NativeTransportOutcome::responded(words[2].toInt()), server);
        else if (verb == QLatin1String("offline"))
            m_connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::timedOut), server);
        else if (verb == QLatin1String("active") || verb == QLatin1String("inactive"))
            Q_EMIT static_cast<ActivatingApplication *>(QCoreApplication::instance())
                ->applicationStateChanged(verb == QLatin1String("active") ? Qt::ApplicationActive
                                                                          : Qt::ApplicationInactive);
        else if (verb == QLatin1String("foreground"))
            m_connectivity->foregrounded();
        settle();
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

    void offlineState_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<bool>("pathSatisfied");
        QTest::addColumn<bool>("offlineA");
        QTest::addColumn<bool>("offlineB");
        QTest::newRow("nothing known") << QStringList{} << true << false << false;
        QTest::newRow("offline failure marks only its origin")
            << QStringList{"wifi", "offline A"} << true << true << false;
        QTest::newRow("a 500 answer is reachable")
            << QStringList{"offline A", "answer A 500"} << true << false << false;
        QTest::newRow("no path: every remote origin offline, answers or not; this machine is not")
            << QStringList{"none", "answer A 200"} << false << true << false;
        QTest::newRow("no path: this machine offline only by its own failure")
            << QStringList{"none", "offline B"} << false << true << true;
        QTest::newRow("path back: failures forgotten")
            << QStringList{"wifi", "offline A", "offline B", "none", "wifi"} << true << false << false;
        QTest::newRow("flag change only forgets failures")
            << QStringList{"wifi", "offline A", "cellular"} << true << false << false;
        QTest::newRow("same path again keeps failures")
            << QStringList{"wifi", "offline A", "wifi"} << true << true << false;
        // Origins are compared by scheme, host and port.
        QTest::newRow("same origin with a path")
            << QStringList{"offline https://a.example/sheets/1"} << true << true << false;
        QTest::newRow("same origin, default port and host case")
            << QStringList{"offline https://A.Example:443"} << true << true << false;
        QTest::newRow("other port") << QStringList{"offline https://a.example:8443"} << true << false
                                    << false;
        QTest::newRow("other scheme") << QStringList{"offline http://a.example"} << true << false << false;
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

    // The offline banner redraws on these signals: they fire whenever isOffline may change.
    void signalsFollowTheOfflineState() {
        QSignalSpy path(m_connectivity.get(), &NativeConnectivity::pathChanged);
        QSignalSpy reachability(m_connectivity.get(), &NativeConnectivity::reachabilityChanged);
        apply(QStringLiteral("offline A"));
        apply(QStringLiteral("offline A"));
        QCOMPARE(reachability.count(), 1);
        apply(QStringLiteral("answer A 503"));
        apply(QStringLiteral("answer A 200"));
        QCOMPARE(reachability.count(), 2);
        apply(QStringLiteral("none"));
        apply(QStringLiteral("none"));
        QCOMPARE(path.count(), 1);
        QCOMPARE(reachability.count(), 3);
        QCOMPARE(m_connectivity->property("pathSatisfied").toBool(), false);
    }

    void waitIsWokenOrTimesOut_data() {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<bool>("woken");
        QTest::newRow("path change") << QStringList{} << "none" << true;
        QTest::newRow("flag change") << QStringList{} << "cellular" << true;
        QTest::newRow("answer after an offline failure")
            << QStringList{"offline A"} << "answer A 204" << true;
        QTest::newRow("application became active") << QStringList{} << "active" << true;
        QTest::newRow("foregrounded") << QStringList{} << "foreground" << true;
        QTest::newRow("same path again") << QStringList{} << "wifi" << false;
        QTest::newRow("offline failure") << QStringList{} << "offline A" << false;
        QTest::newRow("answer from a reachable server")
            << QStringList{"answer A 200"} << "answer A 200" << false;
        QTest::newRow("application became inactive") << QStringList{} << "inactive" << false;
    }

    void waitIsWokenOrTimesOut() {
        QFETCH(QStringList, before);
        QFETCH(QString, trigger);
        QFETCH(bool, woken);
        apply(QStringLiteral("wifi"));
        for (const QString &step : before)
            apply(step);
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
        QVERIFY(waited->done);
        QCOMPARE(waited->value, std::optional<bool>(woken));
        // The timer of the race is stopped, not left running.
        QCOMPARE(m_clock->sleeperCount(), 0);
    }

    // A change between subscribing and reading is kept; several count as one; every subscriber
    // is told; a cancelled read throws; the end of the connectivity ends every subscription.
    void changeSubscriptions() {
        const auto one = m_connectivity->changes();
        const auto two = m_connectivity->changes();
        apply(QStringLiteral("foreground"));
        apply(QStringLiteral("none"));
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
        m_connectivity.reset();
        QVERIFY(m_source->isCancelled());
        settle();
        std::thread([observer] { observer(NativeTransportOutcome::responded(200)); }).join();
        m_source->report(wifi);
        settle();
    }
};

int main(int argc, char *argv[]) {
    ActivatingApplication application(argc, argv);
    TestNativeConnectivity test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_NativeConnectivity.moc"
