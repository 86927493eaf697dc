#include "ConnectionFixture.h"
#include "TaskRunner.h"

#include "async/DetachedTask.h"
#include "connection/NativeCredentials.h"

#include <QDirIterator>
#include <QTest>

// Runs with a session bus address that leads nowhere: no Secret Service can be reached, and the
// session must not end up anywhere else (no plain-text fallback).
class TestNativeNoSecretService : public QObject {
    Q_OBJECT

    std::unique_ptr<ConnectionFixture> fixture;
    QTemporaryDir configHome;

    // Every file under the user's configuration folder (where a plain-text fallback would go).
    QStringList configFiles() const {
        QStringList files;
        QDirIterator it(configHome.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files.append(it.next());
        return files;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS").contains(u"no-such-bus"));
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
        QCoreApplication::setOrganizationName(QStringLiteral("brevane"));
        QCoreApplication::setApplicationName(QStringLiteral("tabrel-tests"));
    }

    void init() {
        fixture = std::make_unique<ConnectionFixture>();
        setEscapedErrorHandler([](std::exception_ptr) { QFAIL("an exception escaped a background task"); });
    }
    void cleanup() {
        fixture.reset();
        setEscapedErrorHandler({});
    }

    void storeOperationsFail() {
        const NativeSession session{QStringLiteral("__Host-larkspan_session"), token('a')};
        const QString key = QStringLiteral("account:NOSTORE|https://sheets.example");
        try {
            runTask(NativeCredentials::save(session, key));
            QFAIL("saving succeeded without a secret store");
        } catch (const NativeClientError &error) {
            QCOMPARE(error.errorDescription(), QStringLiteral("Could not update this session in Keychain."));
        }
        QCOMPARE(runTask(NativeCredentials::read(key)), std::nullopt);
        runTask(NativeCredentials::remove(key));
        QCOMPARE(configFiles(), QStringList());
    }

    // The approved session cannot be kept: the sign-in fails and no account appears.
    void signInFailsWithoutAddingTheAccount() {
        fixture->scripted.handler = approvingServer(token('i'), {"__Host-larkspan_session", token('s')});
        const auto connection = fixture->make();
        runTask(connection->start());
        connection->signIn();
        QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), 20000);
        QCOMPARE(connection->error(), QStringLiteral("Could not update this session in Keychain."));
        QVERIFY(connection->accounts().isEmpty());
        QVERIFY(!connection->activeAccountID());
        QVERIFY(!connection->client());
        QVERIFY(!fixture->settings->contains(QStringLiteral("native.accounts")));
        QVERIFY(!fixture->settings->contains(QStringLiteral("native.server")));
        QCOMPARE(configFiles(), QStringList());
    }

    void storedAccountNeedsSignIn() {
        const NativeAccount account =
            NativeAccount::create(QUrl(QStringLiteral("https://sheets.example")), "Work");
        fixture->settings->setValue(QStringLiteral("native.accounts"), NativeAccount::encodeList({account}));
        const auto connection = fixture->make();
        runTask(connection->start());
        QCOMPARE(connection->accounts(), QList<NativeAccount>{account});
        QVERIFY(!connection->client());
        QCOMPARE(connection->error(), QStringLiteral("This account needs to sign in again."));
    }
};

QTEST_GUILESS_MAIN(TestNativeNoSecretService)
#include "tst_NativeNoSecretService.moc"
