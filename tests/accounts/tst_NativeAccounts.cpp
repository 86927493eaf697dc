#include "ConnectionFixture.h"
#include "KeyringHelpers.h"
#include "TaskRunner.h"

#include "async/DetachedTask.h"
#include "connection/NativeCredentials.h"

#include <QSignalSpy>
#include <QTest>

namespace {
constexpr int patience = 20000;

NativeSession httpsSession(char fill) {
    return NativeSession{QStringLiteral("__Host-larkspan_session"), token(fill)};
}

std::optional<NativeSession> stored(const QString &key) {
    return runTask(NativeCredentials::read(key)).session;
}
} // namespace

// Accounts and their sessions in a real Secret Service (gnome-keyring in a private D-Bus session):
// separate items per account, sign-out, a missing session, a bad account list, and the move from the
// single-server layout.
class TestNativeAccounts : public QObject {
    Q_OBJECT

    std::unique_ptr<ConnectionFixture> fixture;

    std::shared_ptr<NativeConnection>
    started(const QString &defaultServer = QLatin1String(ConnectionFixture::server)) {
        auto connection = fixture->make(defaultServer);
        runTask(connection->start());
        return connection;
    }

    // Signs in through the scripted server and returns the new account.
    NativeAccount signIn(const std::shared_ptr<NativeConnection> &connection, const NativeSession &session) {
        fixture->scripted.handler = approvingServer(token('i'), session);
        const auto before = connection->activeAccountID();
        connection->signIn();
        [&] {
            QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn() && connection->activeAccountID() != before,
                                     patience);
        }();
        return connection->accounts().isEmpty() ? NativeAccount{} : connection->accounts().first();
    }

    QList<NativeAccount> storedList() const {
        return NativeAccount::decodeList(
                   fixture->settings->value(QStringLiteral("native.accounts")).toByteArray())
            .value_or(QList<NativeAccount>{});
    }

private Q_SLOTS:
    void init() {
        fixture = std::make_unique<ConnectionFixture>();
        setEscapedErrorHandler([](std::exception_ptr) { QFAIL("an exception escaped a background task"); });
    }
    void cleanup() {
        fixture.reset();
        KeyringHelpers::removeAll();
        setEscapedErrorHandler({});
    }

    void foreignItemReadsAsMissing_data() {
        QTest::addColumn<QString>("data");
        QTest::newRow("not JSON") << "session";
        QTest::newRow("missing value") << "{\"name\":\"__Host-larkspan_session\"}";
        QTest::newRow("number value") << "{\"name\":\"n\",\"value\":3}";
    }
    void foreignItemReadsAsMissing() {
        QFETCH(QString, data);
        const QString key = QStringLiteral("account:FOREIGN|https://sheets.example");
        runTask(KeyringHelpers::writeRaw(key, data));
        QCOMPARE(runTask(NativeCredentials::read(key)).status, NativeKeyringStatus::missing);
    }

    // Two sign-ins to one server are two accounts with their own items; signing one out leaves the
    // other, and the server still hears from the old session.
    void twoAccountsOnOneOrigin() {
        const auto connection = started();
        const NativeAccount first = signIn(connection, httpsSession('a'));
        const NativeAccount second = signIn(connection, httpsSession('b'));
        QVERIFY(first.id != second.id);
        QCOMPARE(connection->accounts(), (QList<NativeAccount>{second, first}));
        QCOMPARE(stored(first.key()), httpsSession('a'));
        QCOMPARE(stored(second.key()), httpsSession('b'));

        runTask(connection->signOut());
        QCOMPARE(connection->accounts(), QList<NativeAccount>{first});
        QVERIFY(!connection->activeAccountID());
        QVERIFY(!connection->client());
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList{first.key()});
        QVERIFY(!fixture->settings->contains(QStringLiteral("native.activeAccount")));
        QCOMPARE(storedList(), QList<NativeAccount>{first});
        QTRY_COMPARE_WITH_TIMEOUT(fixture->scripted.requestsTo(QStringLiteral("/signout")).size(), 1,
                                  patience);
        QCOMPARE(fixture->scripted.requestsTo(QStringLiteral("/signout")).first().credential,
                 httpsSession('b'));

        // Without an active client, signing out forgets nothing.
        connection->showAccounts();
        runTask(connection->signOut());
        QCOMPARE(connection->accounts(), QList<NativeAccount>{first});
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList{first.key()});
    }

    // An account whose item is gone stays listed; choosing it asks for a new sign-in and keeps
    // the account in use. So does an account that is not in the list.
    void missingSessionKeepsThePreviousClient() {
        const auto connection = started();
        const NativeAccount first = signIn(connection, httpsSession('a'));
        const NativeAccount second = signIn(connection, httpsSession('b'));
        runTask(NativeCredentials::remove(first.key()));
        const NativeAccount stranger = NativeAccount::create(first.origin, QStringLiteral("x"));
        runTask(NativeCredentials::save(httpsSession('c'), stranger.key(), QStringLiteral("x")));
        const auto client = connection->client();
        QSignalSpy clientChanges(connection.get(), &NativeConnection::clientChanged);

        for (const NativeAccount &account : {first, stranger}) {
            connection->setError(QString());
            runTask(connection->selectAccount(account));
            QCOMPARE(connection->error(), QStringLiteral("This account needs to sign in again."));
            QCOMPARE(connection->activeAccountID(), second.id);
            QCOMPARE(connection->accounts(), (QList<NativeAccount>{second, first}));
        }
        QCOMPARE(clientChanges.size(), 0);
    }

    // Choosing an account moves it to the front; leaving it keeps it for the next start.
    void selectShowAndRestart() {
        const auto connection = started();
        const NativeAccount first = signIn(connection, httpsSession('a'));
        const NativeAccount second = signIn(connection, httpsSession('b'));
        runTask(connection->selectAccount(first));
        QCOMPARE(connection->accounts(), (QList<NativeAccount>{first, second}));
        connection->showAccounts();
        QVERIFY(!connection->client());
        QVERIFY(!connection->activeAccountID());

        const auto restarted = started();
        QCOMPARE(restarted->accounts(), (QList<NativeAccount>{first, second}));
        QCOMPARE(restarted->activeAccountID(), first.id);
        QCOMPARE(fixture->scripted.clients.last().second, httpsSession('a'));
    }

    // A slow answer for an earlier choice must not undo a later one.
    void laterChoiceWins() {
        const auto connection = started();
        const NativeAccount first = signIn(connection, httpsSession('a'));
        const NativeAccount second = signIn(connection, httpsSession('b'));
        auto slow = connection->selectAccount(first);
        connection->showAccounts();
        runTask(std::move(slow));
        QVERIFY(!connection->activeAccountID());
        QVERIFY(!connection->client());

        auto earlier = connection->selectAccount(first);
        auto later = connection->selectAccount(second);
        runTask(std::move(earlier));
        runTask(std::move(later));
        QCOMPARE(connection->activeAccountID(), second.id);
        QCOMPARE(connection->accounts().first(), second);
    }

    void corruptAccountListIsIgnored_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("not JSON") << QVariant(QByteArray("{{{"));
        QTest::newRow("entry without origin") << QVariant(QByteArray("[{\"id\":\"A\",\"name\":\"A\"}]"));
        QTest::newRow("number") << QVariant(42);
    }
    void corruptAccountListIsIgnored() {
        QFETCH(QVariant, stored);
        fixture->settings->setValue(QStringLiteral("native.accounts"), stored);
        const auto connection = started();
        QVERIFY(connection->accounts().isEmpty());
        QCOMPARE(connection->error(), QString());

        // The next change overwrites the bad value; a bad value written later leaves the list as it was.
        const NativeAccount account = signIn(connection, httpsSession('a'));
        QCOMPARE(storedList(), QList<NativeAccount>{account});
        fixture->settings->setValue(QStringLiteral("native.accounts"), stored);
        connection->showAccounts();
        QCOMPARE(connection->accounts(), QList<NativeAccount>{account});
    }

    // The single-server layout kept one session under the origin's text.
    void migratesTheSingleServerSession_data() {
        QTest::addColumn<QString>("storedServer");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("name");
        QTest::newRow("stored server") << "https://team.example:8443"
                                       << "https://team.example:8443"
                                       << "team.example";
        QTest::newRow("default server") << ""
                                        << "https://sheets.example"
                                        << "sheets.example";
    }
    void migratesTheSingleServerSession() {
        QFETCH(QString, storedServer);
        QFETCH(QString, origin);
        QFETCH(QString, name);
        if (!storedServer.isEmpty())
            fixture->settings->setValue(QStringLiteral("native.server"), storedServer);
        runTask(NativeCredentials::save(httpsSession('m'), origin, origin));

        const auto connection = started();
        QCOMPARE(connection->accounts().size(), 1);
        const NativeAccount account = connection->accounts().first();
        QCOMPARE(account.origin, QUrl(origin));
        QCOMPARE(account.name, name);
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList{account.key()});
        QCOMPARE(stored(account.key()), httpsSession('m'));
        QCOMPARE(storedList(), connection->accounts());
        QCOMPARE(connection->activeAccountID(), account.id);
    }

    void noMigrationWhenAccountsExist() {
        const QString legacy = QStringLiteral("https://sheets.example");
        runTask(NativeCredentials::save(httpsSession('m'), legacy, legacy));
        const NativeAccount account = NativeAccount::create(QUrl(legacy), QStringLiteral("Work"));
        runTask(NativeCredentials::save(httpsSession('w'), account.key(), account.name));
        fixture->settings->setValue(QStringLiteral("native.accounts"), NativeAccount::encodeList({account}));

        const auto connection = started();
        QCOMPARE(connection->accounts(), QList<NativeAccount>{account});
        QCOMPARE(stored(legacy), httpsSession('m'));
        QCOMPARE(fixture->scripted.clients.last().second, httpsSession('w'));
    }
};

QTEST_GUILESS_MAIN(TestNativeAccounts)
#include "tst_NativeAccounts.moc"
