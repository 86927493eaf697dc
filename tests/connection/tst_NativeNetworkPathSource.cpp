#include "connection/NativeNetworkPathSource.h"

#include "ConnectivityTestSupport.h"

#include <QTest>

using Reachability = QNetworkInformation::Reachability;
using Medium = QNetworkInformation::TransportMedium;
using Status = NativePath::Status;

class TestNativeNetworkPathSource : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void mapping_data() {
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

    void mapping() {
        QFETCH(Reachability, reachability);
        QFETCH(Medium, medium);
        QFETCH(bool, metered);
        QFETCH(std::optional<NativePath>, expected);
        QVERIFY(NativeNetworkPathSource::pathFor(reachability, medium, metered) == expected);
    }

    // Against whatever network information this machine offers (on a build machine often none).
    void reportsOnlyUntilCancelled() {
        NativeNetworkPathSource source;
        int reports = 0;
        source.start([&reports](const NativePath &) { ++reports; });
        settle();
        QVERIFY(reports <= 1);
        source.cancel();
        const int afterCancel = reports;
        QNetworkInformation *information = QNetworkInformation::instance();
        if (!information)
            QSKIP("No network-information backend here: nothing could report after cancelling.");
        Q_EMIT information->reachabilityChanged(Reachability::Disconnected);
        settle();
        QCOMPARE(reports, afterCancel);
    }
};

QTEST_GUILESS_MAIN(TestNativeNetworkPathSource)
#include "tst_NativeNetworkPathSource.moc"
