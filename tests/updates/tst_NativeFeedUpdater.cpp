// The feed updater against a loopback HTTPS server: a newer, correctly signed package is offered to
// the desktop; anything else is refused or reported, and never leaves a file behind. The update
// controller starts only with a valid feed address and signing key, and its menu actions follow it.

#include "LoopbackHttpServer.h"
#include "TlsFeedServer.h"
#include "UpdateSigning.h"

#include "updates/NativeFeedUpdater.h"
#include "updates/NativeUpdateCommands.h"
#include "updates/NativeUpdater.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
struct Result {
    NativeFeedUpdater::Outcome outcome;
    QString message;
    bool userInitiated;
};

const QByteArray package = QByteArray("!<arch>\ndebian-binary   ") + QByteArray(40000, 'p');

const QString validFeed = QStringLiteral("https://updates.brevane.net/tabrel/appcast.xml");
const QString validKey = QString::fromLatin1(QByteArray(32, '\x5a').toBase64());

QVariantMap info(const QVariant &feed, const QVariant &key) {
    QVariantMap map{{QLatin1String(NativeUpdater::feedUrlKey), feed}};
    if (key.isValid())
        map.insert(QLatin1String(NativeUpdater::publicKeyKey), key);
    return map;
}
} // namespace

class TestNativeFeedUpdater : public QObject {
    Q_OBJECT

    TlsFeedServer m_server;
    UpdateSigning m_keys;
    std::unique_ptr<QTemporaryDir> m_scratch;
    QList<QUrl> m_opened;
    bool m_openSucceeds = true;

    QString downloads() const { return m_scratch->filePath(QStringLiteral("downloads")); }
    QStringList downloadedFiles() const { return QDir(downloads()).entryList(QDir::Files); }
    std::shared_ptr<QSettings> settings() const {
        return std::make_shared<QSettings>(m_scratch->filePath(QStringLiteral("settings.ini")),
                                           QSettings::IniFormat);
    }

    // The controller's tests wait an hour before any automatic check: they never reach a feed.
    NativeFeedUpdater::Options options(bool trustTestCertificate = true,
                                       std::chrono::milliseconds startDelay = {}) {
        NativeFeedUpdater::Options options;
        options.currentVersion = QStringLiteral("1.0.0");
        options.downloadFolder = downloads();
        options.open = [this](const QUrl &url) {
            m_opened.append(url);
            return m_openSucceeds;
        };
        options.settings = settings();
        if (trustTestCertificate)
            options.extraCertificates = {m_server.certificate()};
        options.startDelay = startDelay;
        return options;
    }

    std::unique_ptr<NativeFeedUpdater> updater(NativeFeedUpdater::Options options,
                                               const QString &feed = "/appcast.xml") {
        return std::make_unique<NativeFeedUpdater>(m_server.url(feed), m_keys.publicKey, std::move(options));
    }

    static Result finished(QSignalSpy &spy) {
        if (spy.isEmpty() && !spy.wait(30000))
            return Result{NativeFeedUpdater::Outcome::Failed, QStringLiteral("(no result)"), false};
        const QList<QVariant> arguments = spy.takeFirst();
        return Result{arguments.at(0).value<NativeFeedUpdater::Outcome>(), arguments.at(1).toString(),
                      arguments.at(2).toBool()};
    }

    static Result check(NativeFeedUpdater &updater) {
        QSignalSpy spy(&updater, &NativeFeedUpdater::checkFinished);
        updater.checkForUpdates();
        return finished(spy);
    }

    void offer(const QString &path, const QByteArray &version, const QByteArray &bytes,
               const QByteArray &signature) {
        m_server.setAnswer(path, {200, bytes, false});
        m_server.setAnswer(
            "/appcast.xml",
            {200, UpdateSigning::feed({{version, m_server.url(path).toEncoded(), bytes.size(), signature}})});
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_server.start(), qPrintable(m_server.errorString())); }

    void init() {
        m_scratch = std::make_unique<QTemporaryDir>();
        m_opened.clear();
        m_openSucceeds = true;
    }

    // A verified package the desktop cannot open is kept and its place named; one that does not
    // verify is removed.
    void offersASignedPackageAndRefusesATamperedOne() {
        auto feedUpdater = updater(options());
        offer(QStringLiteral("/tabrel-1.1.0.deb"), "1.1.0", package, m_keys.sign(package));
        m_openSucceeds = false;
        const Result unopened = check(*feedUpdater);
        QCOMPARE(unopened.outcome, NativeFeedUpdater::Outcome::Failed);
        QVERIFY2(unopened.message.contains(downloads()), qPrintable(unopened.message));
        QCOMPARE(downloadedFiles(), QStringList{QStringLiteral("tabrel-1.1.0.deb")});
        m_openSucceeds = true;
        const Result offered = check(*feedUpdater);
        QCOMPARE(offered.outcome, NativeFeedUpdater::Outcome::Offered);
        QVERIFY(offered.userInitiated);
        QCOMPARE(m_opened.size(), 2);
        QFile file(m_opened.last().toLocalFile());
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == package);
        QCOMPARE(feedUpdater->packagePath(), file.fileName());
        // Same length, one bit changed, the signature of the real package.
        QByteArray tampered = package;
        tampered[tampered.size() / 2] = char(tampered[tampered.size() / 2] ^ 1);
        offer(QStringLiteral("/tabrel-1.2.0.deb"), "1.2.0", tampered, m_keys.sign(package));
        const Result refused = check(*feedUpdater);
        QCOMPARE(refused.outcome, NativeFeedUpdater::Outcome::Refused);
        QVERIFY2(refused.message.contains("could not be verified"), qPrintable(refused.message));
        QCOMPARE(feedUpdater->lastMessage(), refused.message);
        QCOMPARE(m_opened.size(), 2);
        QCOMPARE(downloadedFiles(), QStringList{QStringLiteral("tabrel-1.1.0.deb")});
        QVERIFY(m_server.requests().endsWith(QStringLiteral("/tabrel-1.2.0.deb")));
    }

    void picksTheNewestItemAndSkipsCurrentOnes_data() {
        QTest::addColumn<QByteArray>("versions");
        QTest::addColumn<QString>("newest"); // empty: up to date
        QTest::newRow("same version") << QByteArray("1.0.0") << QString();
        QTest::newRow("older version") << QByteArray("0.9.9") << QString();
        QTest::newRow("numeric, not text, order") << QByteArray("1.0.10") << "1.0.10";
        QTest::newRow("newest of several") << QByteArray("0.9,1.3.0,1.0.0") << "1.3.0";
    }
    void picksTheNewestItemAndSkipsCurrentOnes() {
        QFETCH(QByteArray, versions);
        QFETCH(QString, newest);
        const bool offered = !newest.isEmpty();
        QList<UpdateSigning::Item> items;
        for (const QByteArray &version : versions.split(',')) {
            const QString path = QStringLiteral("/tabrel-%1.deb").arg(QString::fromLatin1(version));
            m_server.setAnswer(path, {200, package + version, false});
            items.append({version, m_server.url(path).toEncoded(), package.size() + version.size(),
                          m_keys.sign(package + version)});
        }
        m_server.setAnswer(QStringLiteral("/appcast.xml"), {200, UpdateSigning::feed(items), false});
        auto feedUpdater = updater(options());
        const int before = m_server.requests().size();
        const Result result = check(*feedUpdater);
        QCOMPARE(result.outcome,
                 offered ? NativeFeedUpdater::Outcome::Offered : NativeFeedUpdater::Outcome::UpToDate);
        QCOMPARE(m_server.requests().size() - before, offered ? 2 : 1);
        if (offered)
            QCOMPARE(m_opened.first().fileName(), QStringLiteral("tabrel-%1.deb").arg(newest));
    }

    // Every way a check can go wrong ends with a message, nothing opened and nothing left on disk.
    void failuresLeaveNothingBehind_data() {
        QTest::addColumn<int>("feedStatus");
        QTest::addColumn<QByteArray>("feedBody"); // "%URL%", "%LEN%" and "%SIG%" are filled in
        QTest::addColumn<int>("downloadStatus");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("message");
        const QByteArray feed = UpdateSigning::feed({{"2.0", "%URL%", -1, "%SIG%"}}).replace("-1", "%LEN%");
        const auto failed = int(NativeFeedUpdater::Outcome::Failed);
        const auto refused = int(NativeFeedUpdater::Outcome::Refused);
        const auto withFeed = [&](const char *name, const char *field, const QByteArray &value, int outcome,
                                  const char *message) {
            QTest::newRow(name) << 200 << QByteArray(feed).replace(field, value) << 200 << outcome << message;
        };
        QTest::newRow("feed missing") << 404 << QByteArray() << 200 << failed << "404";
        QTest::newRow("feed not XML")
            << 200 << QByteArray("<rss><channel><item>") << 200 << failed << "not valid XML";
        QTest::newRow("feed over 1 MiB")
            << 200 << QByteArray(2 << 20, ' ') << 200 << failed << "larger than 1 MiB";
        QTest::newRow("download fails") << 200 << feed << 500 << failed << "500";
        withFeed("download shorter than announced", "%LEN%", QByteArray::number(package.size() + 1), failed,
                 "ended before");
        withFeed("download longer than announced", "%LEN%", QByteArray::number(package.size() - 1), failed,
                 "larger than the feed");
        withFeed("download over plain HTTP", "%URL%", "http://127.0.0.1:9/p.deb", refused, "not on HTTPS");
        withFeed("signature by another key", "%SIG%", UpdateSigning().sign(package), refused,
                 "could not be verified");
        withFeed("signature of an empty file", "%SIG%", m_keys.sign({}), refused, "could not be verified");
    }
    void failuresLeaveNothingBehind() {
        QFETCH(int, feedStatus);
        QFETCH(QByteArray, feedBody);
        QFETCH(int, downloadStatus);
        QFETCH(int, outcome);
        QFETCH(QString, message);
        const QString downloadPath = QStringLiteral("/failing.deb");
        feedBody.replace("%URL%", m_server.url(downloadPath).toEncoded())
            .replace("%LEN%", QByteArray::number(package.size()))
            .replace("%SIG%", m_keys.sign(package));
        m_server.setAnswer(QStringLiteral("/appcast.xml"), {feedStatus, feedBody, false});
        m_server.setAnswer(downloadPath, {downloadStatus, package, false});
        auto feedUpdater = updater(options());
        const Result result = check(*feedUpdater);
        QCOMPARE(int(result.outcome), outcome);
        QVERIFY2(result.message.contains(message), qPrintable(result.message));
        QVERIFY(m_opened.isEmpty());
        QCOMPARE(downloadedFiles(), QStringList());
        QVERIFY(feedUpdater->canCheckForUpdates());
    }

    // Without the test hook the throwaway certificate is not trusted: nothing reaches the server.
    void untrustedCertificateIsReported() {
        offer(QStringLiteral("/tabrel-1.1.0.deb"), "1.1.0", package, m_keys.sign(package));
        const int before = m_server.requests().size();
        auto feedUpdater = updater(options(false));
        const Result result = check(*feedUpdater);
        QCOMPARE(result.outcome, NativeFeedUpdater::Outcome::Failed);
        QVERIFY2(result.message.startsWith("The update feed could not be loaded: "),
                 qPrintable(result.message));
        QCOMPARE(m_server.requests().size(), before);
        QVERIFY(m_opened.isEmpty());
    }

    void oneCheckAtATimeAndDestroyingCancels() {
        m_server.setAnswer(QStringLiteral("/held.xml"), {200, {}, true});
        auto feedUpdater = updater(options(), QStringLiteral("/held.xml"));
        QSignalSpy canCheck(feedUpdater.get(), &NativeFeedUpdater::canCheckForUpdatesChanged);
        QSignalSpy done(feedUpdater.get(), &NativeFeedUpdater::checkFinished);
        const int before = m_server.requests().size();
        feedUpdater->checkForUpdates();
        QVERIFY(!feedUpdater->canCheckForUpdates());
        QCOMPARE(canCheck.size(), 1);
        feedUpdater->checkForUpdates();
        QTRY_COMPARE_WITH_TIMEOUT(m_server.requests().size(), before + 1, 20000);
        QTest::qWait(100);
        QCOMPARE(m_server.requests().size(), before + 1);
        feedUpdater.reset();
        QCOMPARE(done.size(), 0);
    }

    void automaticChecksRunByThemselvesAndAreRemembered() {
        offer(QStringLiteral("/tabrel-1.1.0.deb"), "1.1.0", package, m_keys.sign(package));
        auto feedUpdater = updater(options());
        QVERIFY(!feedUpdater->automaticallyChecksForUpdates());
        QSignalSpy done(feedUpdater.get(), &NativeFeedUpdater::checkFinished);
        feedUpdater->setAutomaticallyChecksForUpdates(true);
        const Result result = finished(done);
        QCOMPARE(result.outcome, NativeFeedUpdater::Outcome::Offered);
        QVERIFY(!result.userInitiated);
        const auto stored = settings();
        QCOMPARE(stored->value(QLatin1String(NativeFeedUpdater::automaticChecksKey)).toBool(), true);
        const QDateTime last = stored->value(QLatin1String(NativeFeedUpdater::lastCheckKey)).toDateTime();
        QVERIFY(last.isValid() && last.secsTo(QDateTime::currentDateTimeUtc()) < 600);
        // A new run reads the toggle back; just checked, it waits a day before the next check.
        feedUpdater.reset();
        auto again = updater(options());
        QVERIFY(again->automaticallyChecksForUpdates());
        QSignalSpy quiet(again.get(), &NativeFeedUpdater::checkFinished);
        QTest::qWait(300);
        QCOMPARE(quiet.size(), 0);
        again->setAutomaticallyChecksForUpdates(false);
        QCOMPARE(settings()->value(QLatin1String(NativeFeedUpdater::automaticChecksKey)).toBool(), false);
    }

    void configuration_data() {
        QTest::addColumn<QVariant>("feed");
        QTest::addColumn<QVariant>("key");
        QTest::addColumn<bool>("configured");
        QTest::newRow("valid") << QVariant(validFeed) << QVariant(validKey) << true;
        QTest::newRow("valid, with port and query")
            << QVariant("https://127.0.0.1:8443/feed?channel=beta") << QVariant(validKey) << true;
        for (const char *feed :
             {"http://updates.brevane.net/appcast.xml", "https://ann@updates.brevane.net/appcast.xml",
              "https://@updates.brevane.net/appcast.xml", "https://:secret@updates.brevane.net/appcast.xml",
              "https://updates.brevane.net/appcast.xml#latest", "https://updates.brevane.net/appcast.xml#",
              "https:///appcast.xml", "https://upd ates.brevane.net/"})
            QTest::newRow(feed) << QVariant(feed) << QVariant(validKey) << false;
        // 31 and 33 bytes, no padding, the URL-safe alphabet, characters outside the alphabet.
        for (const QString &key :
             {QString::fromLatin1(QByteArray(31, 'k').toBase64()),
              QString::fromLatin1(QByteArray(33, 'k').toBase64()), validKey.chopped(1),
              QString::fromLatin1(QByteArray(32, '\xfb').toBase64(QByteArray::Base64UrlEncoding)),
              validKey.left(20) + "!!!!" + validKey.mid(20)})
            QTest::addRow("key %s", qPrintable(key)) << QVariant(validFeed) << QVariant(key) << false;
        QTest::newRow("feed not a string") << QVariant(QUrl(validFeed)) << QVariant(validKey) << false;
        QTest::newRow("key not a string") << QVariant(validFeed) << QVariant(QByteArray(32, 'k')) << false;
        QTest::newRow("key missing") << QVariant(validFeed) << QVariant() << false;
    }
    void configuration() {
        QFETCH(QVariant, feed);
        QFETCH(QVariant, key);
        QFETCH(bool, configured);
        NativeUpdater updater(info(feed, key), options(true, std::chrono::hours(1)));
        NativeUpdateCommands commands(updater);
        updater.setAutomaticallyChecksForUpdates(true); // unconfigured is permanent: asking does nothing
        const QList<bool> all = {updater.isConfigured(),
                                 updater.controller() != nullptr,
                                 updater.canCheckForUpdates(),
                                 commands.checkAction()->isEnabled(),
                                 commands.automaticAction()->isEnabled(),
                                 updater.automaticallyChecksForUpdates()};
        QCOMPARE(all, QList<bool>(6, configured));
    }

    // The menu holds both items after a separator, and the toggle follows the updater both ways.
    void menuItemsFollowTheUpdater() {
        QVERIFY(
            !NativeUpdater(NativeUpdater::bundleInfo(), options(true, std::chrono::hours(1))).isConfigured());
        NativeUpdater updater(info(validFeed, validKey), options(true, std::chrono::hours(1)));
        NativeUpdateCommands commands(updater);
        QMenu menu;
        commands.addTo(&menu);
        QVERIFY(menu.actions().value(0)->isSeparator());
        QCOMPARE(menu.actions(), (QList<QAction *>{menu.actions().first(), commands.checkAction(),
                                                   commands.automaticAction()}));
        QVERIFY(commands.automaticAction()->isCheckable() && !commands.automaticAction()->isChecked());
        commands.automaticAction()->trigger();
        QVERIFY(updater.controller()->automaticallyChecksForUpdates() &&
                updater.automaticallyChecksForUpdates());
        commands.automaticAction()->trigger();
        QVERIFY(!updater.controller()->automaticallyChecksForUpdates());
        // Changed elsewhere: the mirror and the toggle follow.
        updater.controller()->setAutomaticallyChecksForUpdates(true);
        QVERIFY(updater.automaticallyChecksForUpdates() && commands.automaticAction()->isChecked());
    }

    // While a check runs the item is disabled; the answer of a check the person asked for is shown.
    void checkItemIsDisabledWhileCheckingAndShowsTheResult() {
        const QString feed =
            QStringLiteral("https://127.0.0.1:%1/appcast.xml").arg(LoopbackHttpServer::closedPort());
        NativeUpdater updater(info(feed, validKey), options(true, std::chrono::hours(1)));
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

QTEST_MAIN(TestNativeFeedUpdater)
#include "tst_NativeFeedUpdater.moc"
