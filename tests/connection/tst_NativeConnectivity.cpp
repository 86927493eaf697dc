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
using OfflineCase = std::tuple<QString, bool, bool, bool>;
using Reachability = QNetworkInformation::Reachability;
using Medium = QNetworkInformation::TransportMedium;

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

    void pathSourceMapping_data() {
        QTest::addColumn<Reachability>("reachability");
        QTest::addColumn<Medium>("medium");
        QTest::addColumn<bool>("metered");
        QTest::addColumn<std::optional<NativePath>>("expected");
        QTest::newRow("online over cellular") << Reachability::Online << Medium::Cellular << false
                                              << std::optional(NativePath{Status::satisfied, true, false});
        QTest::newRow("metered wifi on a site network")
            << Reachability::Site << Medium::WiFi << true
            << std::optional(NativePath{Status::satisfied, true, false});
        // A LAN without internet, or this machine only, still reaches a server there.
        QTest::newRow("local only") << Reachability::Local << Medium::Ethernet << false
                                    << std::optional(NativePath{Status::satisfied, false, false});
        QTest::newRow("disconnected") << Reachability::Disconnected << Medium::Unknown << false
                                      << std::optional(NativePath{Status::unsatisfied, false, false});
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
};

int main(int argc, char *argv[]) {
    ActivatingApplication application(argc, argv);
    TestNativeConnectivity test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_NativeConnectivity.moc"
