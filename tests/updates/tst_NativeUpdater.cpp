// The update controller starts only with a valid feed address and signing key, mirrors the feed
// updater's flags, and its two menu actions follow them.

#include "updates/NativeUpdateCommands.h"
#include "updates/NativeUpdater.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString validFeed = QStringLiteral("https://updates.brevane.net/tabrel/appcast.xml");
const QString validKey = QString::fromLatin1(QByteArray(32, '\x5a').toBase64());
} // namespace

class TestNativeUpdater : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;

    NativeFeedUpdater::Options options() {
        NativeFeedUpdater::Options options;
        options.settings = std::make_shared<QSettings>(m_scratch.filePath(QStringLiteral("settings.ini")),
                                                       QSettings::IniFormat);
        options.downloadFolder = m_scratch.filePath(QStringLiteral("downloads"));
        options.open = [](const QUrl &) { return false; };
        options.startDelay = std::chrono::hours(1);
        return options;
    }

    static QVariantMap info(const QVariant &feed, const QVariant &key) {
        QVariantMap map;
        if (feed.isValid())
            map.insert(QLatin1String(NativeUpdater::feedUrlKey), feed);
        if (key.isValid())
            map.insert(QLatin1String(NativeUpdater::publicKeyKey), key);
        return map;
    }

private Q_SLOTS:
    void init() {
        QSettings(m_scratch.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat).clear();
    }

    void configuration_data() {
        QTest::addColumn<QVariant>("feed");
        QTest::addColumn<QVariant>("key");
        QTest::addColumn<bool>("configured");
        const auto badFeed = [](const char *name, const QVariant &feed) {
            QTest::newRow(name) << feed << QVariant(validKey) << false;
        };
        const auto badKey = [](const char *name, const QVariant &key) {
            QTest::newRow(name) << QVariant(validFeed) << key << false;
        };
        QTest::newRow("valid") << QVariant(validFeed) << QVariant(validKey) << true;
        QTest::newRow("valid, with port and query")
            << QVariant("https://127.0.0.1:8443/feed?channel=beta") << QVariant(validKey) << true;
        badFeed("http scheme", "http://updates.brevane.net/appcast.xml");
        badFeed("user name", "https://ann@updates.brevane.net/appcast.xml");
        badFeed("empty user name", "https://@updates.brevane.net/appcast.xml");
        badFeed("password", "https://:secret@updates.brevane.net/appcast.xml");
        badFeed("fragment", "https://updates.brevane.net/appcast.xml#latest");
        badFeed("empty fragment", "https://updates.brevane.net/appcast.xml#");
        badFeed("no host", "https:///appcast.xml");
        badFeed("not a URL", "https://upd ates.brevane.net/");
        badFeed("feed not a string", QUrl(validFeed));
        badFeed("feed missing", QVariant());
        QTest::newRow("empty build settings") << QVariant(QString()) << QVariant(QString()) << false;
        badKey("key of 31 bytes", QString::fromLatin1(QByteArray(31, 'k').toBase64()));
        badKey("key of 33 bytes", QString::fromLatin1(QByteArray(33, 'k').toBase64()));
        badKey("key without padding", validKey.chopped(1));
        badKey("key in the URL-safe alphabet",
               QString::fromLatin1(QByteArray(32, '\xfb').toBase64(QByteArray::Base64UrlEncoding)));
        badKey("key with a line break", validKey.left(20) + "\n" + validKey.mid(20));
        badKey("key not a string", QByteArray(32, 'k'));
        badKey("key missing", QVariant());
    }

    void configuration() {
        QFETCH(QVariant, feed);
        QFETCH(QVariant, key);
        QFETCH(bool, configured);
        NativeUpdater updater(info(feed, key), options());
        QCOMPARE(updater.isConfigured(), configured);
        QCOMPARE(updater.controller() != nullptr, configured);
        QCOMPARE(updater.canCheckForUpdates(), configured);
        NativeUpdateCommands commands(updater);
        QCOMPARE(commands.checkAction()->isEnabled(), configured);
        QCOMPARE(commands.automaticAction()->isEnabled(), configured);
        // Unconfigured is permanent: asking does nothing.
        updater.setAutomaticallyChecksForUpdates(true);
        QCOMPARE(updater.automaticallyChecksForUpdates(), configured);
    }

    void defaultBuildIsUnconfigured() {
        NativeUpdater updater(NativeUpdater::bundleInfo(), options());
        QVERIFY(!updater.isConfigured());
    }

    void menuItemsCarryTheirTitles() {
        NativeUpdater updater(info(validFeed, validKey), options());
        NativeUpdateCommands commands(updater);
        QMenu menu;
        commands.addTo(&menu);
        QStringList titles;
        for (QAction *action : menu.actions())
            titles.append(action->text());
        QCOMPARE(titles, (QStringList{QString(), QStringLiteral("Check for Updates\u2026"),
                                      QStringLiteral("Automatically Check for Updates")}));
        QVERIFY(commands.automaticAction()->isCheckable());
    }

    void toggleFollowsTheUpdaterBothWays() {
        NativeUpdater updater(info(validFeed, validKey), options());
        NativeUpdateCommands commands(updater);
        QVERIFY(!commands.automaticAction()->isChecked());
        commands.automaticAction()->trigger();
        QVERIFY(updater.controller()->automaticallyChecksForUpdates());
        QVERIFY(updater.automaticallyChecksForUpdates());
        commands.automaticAction()->trigger();
        QVERIFY(!updater.controller()->automaticallyChecksForUpdates());
        // Changed elsewhere: the mirror and the toggle follow.
        updater.controller()->setAutomaticallyChecksForUpdates(true);
        QVERIFY(updater.automaticallyChecksForUpdates());
        QVERIFY(commands.automaticAction()->isChecked());
    }

    // While a check runs the item is disabled; the answer of a check the person asked for is shown.
    void checkItemIsDisabledWhileCheckingAndShowsTheResult() {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString feed = QStringLiteral("https://127.0.0.1:%1/appcast.xml").arg(closed.serverPort());
        closed.close();
        NativeUpdater updater(info(feed, validKey), options());
        QWidget window;
        NativeUpdateCommands commands(updater, &window);
        commands.checkAction()->trigger();
        QVERIFY(!updater.canCheckForUpdates());
        QVERIFY(!commands.checkAction()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(commands.checkAction()->isEnabled(), 20000);
        QMessageBox *alert = window.findChild<QMessageBox *>();
        QVERIFY(alert);
        QCOMPARE(alert->text(), updater.controller()->lastMessage());
        QVERIFY(alert->text().startsWith(QStringLiteral("The update feed could not be loaded")));
    }
};

QTEST_MAIN(TestNativeUpdater)
#include "tst_NativeUpdater.moc"
