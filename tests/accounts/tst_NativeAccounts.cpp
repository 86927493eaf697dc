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
    NativeAccount signIn(const std::shared_ptr<NativeConnection> &connection, const NativeSession &session,
                         const QString &name = {}) {
        fixture->scripted.handler = approvingServer(token('i'), session);
        const auto before = connection->activeAccountID();
        connection->setAccountName(name);
        connection->signIn();
        [&] {
            QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn() && connection->activeAccountID() != before,
                                     patience);
        }();
        return connection->accounts().isEmpty() ? NativeAccount{} : connection->accounts().first();
    }

    void storeAccounts(const QList<NativeAccount> &accounts) {
        fixture->settings->setValue(QStringLiteral("native.accounts"), NativeAccount::encodeList(accounts));
    }

private Q_SLOTS:
    void init() {
        fixture = std::make_unique<ConnectionFixture>();
        setEscapedErrorHandler([](std::exception_ptr) { QFAIL("an exception escaped a background task"); });
    }
    void cleanup() {
        fixture.reset();
        for (const QString &key : KeyringHelpers::storedKeys())
            runTask(NativeCredentials::remove(key));
        setEscapedErrorHandler({});
    }

    void credentialsRoundTrip() {
        QCOMPARE(NativeCredentials::service(), QStringLiteral("brevane.native.session"));
        const QString key = QStringLiteral("account:ROUND|https://sheets.example");
        QCOMPARE(runTask(NativeCredentials::read(key)), std::nullopt);

        runTask(NativeCredentials::save(httpsSession('a'), key));
        QCOMPARE(runTask(NativeCredentials::read(key)), httpsSession('a'));
        // Saving again replaces the data of the one item.
        runTask(NativeCredentials::save(httpsSession('b'), key));
        QCOMPARE(runTask(NativeCredentials::read(key)), httpsSession('b'));
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList{key});

        runTask(NativeCredentials::remove(key));
        QCOMPARE(runTask(NativeCredentials::read(key)), std::nullopt);
        runTask(NativeCredentials::remove(key)); // deleting nothing is no failure
    }

    void foreignItemReadsAsNoSession_data() {
        QTest::addColumn<QString>("data");
        QTest::newRow("not JSON") << "session";
        QTest::newRow("array") << "[\"a\",\"b\"]";
        QTest::newRow("missing value") << "{\"name\":\"__Host-larkspan_session\"}";
        QTest::newRow("number value") << "{\"name\":\"n\",\"value\":3}";
    }

    void foreignItemReadsAsNoSession() {
        QFETCH(QString, data);
        const QString key = QStringLiteral("account:FOREIGN|https://sheets.example");
        runTask(KeyringHelpers::writeRaw(key, data));
        QCOMPARE(runTask(NativeCredentials::read(key)), std::nullopt);
    }

    // Two sign-ins to one server are two accounts with their own items; signing one out leaves the
    // other, and the server still hears from the old session.
    void twoAccountsOnOneOrigin() {
        const auto connection = started();
        const NativeAccount first = signIn(connection, httpsSession('a'), QStringLiteral("Work"));
        const NativeAccount second = signIn(connection, httpsSession('b'), QStringLiteral("Home"));
        QVERIFY(first.id != second.id);
        QCOMPARE(first.origin, second.origin);
        QCOMPARE(connection->accounts(), (QList<NativeAccount>{second, first}));
        QStringList keys{first.key(), second.key()};
        keys.sort();
        QCOMPARE(KeyringHelpers::storedKeys(), keys);
        QCOMPARE(runTask(NativeCredentials::read(first.key())), httpsSession('a'));
        QCOMPARE(runTask(NativeCredentials::read(second.key())), httpsSession('b'));
        QCOMPARE(connection->activeAccountID(), second.id);

        fixture->scripted.requests.clear();
        runTask(connection->signOut());
        QCOMPARE(connection->accounts(), QList<NativeAccount>{first});
        QVERIFY(!connection->activeAccountID());
        QVERIFY(!connection->client());
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList{first.key()});
        QVERIFY(!fixture->settings->contains(QStringLiteral("native.activeAccount")));
        QCOMPARE(NativeAccount::decodeList(
                     fixture->settings->value(QStringLiteral("native.accounts")).toByteArray()),
                 QList<NativeAccount>{first});

        QTRY_COMPARE_WITH_TIMEOUT(fixture->scripted.requestsTo(QStringLiteral("/signout")).size(), 1,
                                  patience);
        const ScriptedRequest signout = fixture->scripted.requestsTo(QStringLiteral("/signout")).first();
        QCOMPARE(signout.method, QStringLiteral("POST"));
        QCOMPARE(signout.credential, httpsSession('b'));
        QCOMPARE(signout.body, std::optional<QByteArray>(QByteArray()));
        QCOMPARE(signout.contentType, QStringLiteral("application/json"));

        // The remaining account can be chosen again.
        runTask(connection->selectAccount(first));
        QCOMPARE(connection->activeAccountID(), first.id);
        QCOMPARE(fixture->scripted.clients.last().second, httpsSession('a'));
    }

    void signOutFailureIsIgnored() {
        const auto connection = started();
        signIn(connection, httpsSession('a'));
        fixture->scripted.handler = [](ScriptedRequest) -> QCoro::Task<NativeResponse> {
            throw NativeClientError::offline(UrlErrorCode::notConnectedToInternet);
        };
        runTask(connection->signOut());
        QTRY_COMPARE_WITH_TIMEOUT(fixture->scripted.requestsTo(QStringLiteral("/signout")).size(), 1,
                                  patience);
        QVERIFY(connection->accounts().isEmpty());
        QCOMPARE(connection->error(), QString());
    }

    void signOutWithoutClientKeepsAccounts() {
        const auto connection = started();
        const NativeAccount account = signIn(connection, httpsSession('a'));
        connection->showAccounts();
        fixture->scripted.requests.clear();
        runTask(connection->signOut());
        QCOMPARE(connection->accounts(), QList<NativeAccount>{account});
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList{account.key()});
        QVERIFY(fixture->scripted.requests.isEmpty());
    }

    // An account whose item is gone stays listed; choosing it asks for a new sign-in and keeps
    // the account in use.
    void missingSessionKeepsThePreviousClient() {
        const auto connection = started();
        const NativeAccount first = signIn(connection, httpsSession('a'));
        const NativeAccount second = signIn(connection, httpsSession('b'));
        runTask(NativeCredentials::remove(first.key()));
        const auto client = connection->client();
        QSignalSpy clientChanges(connection.get(), &NativeConnection::clientChanged);

        runTask(connection->selectAccount(first));
        QCOMPARE(connection->error(), QStringLiteral("This account needs to sign in again."));
        QCOMPARE(connection->client(), client);
        QCOMPARE(connection->activeAccountID(), second.id);
        QCOMPARE(connection->accounts(), (QList<NativeAccount>{second, first}));
        QCOMPARE(clientChanges.size(), 0);

        // An account that is not in the list is refused the same way.
        const NativeAccount stranger = NativeAccount::create(first.origin, QStringLiteral("x"));
        runTask(NativeCredentials::save(httpsSession('c'), stranger.key()));
        connection->setError(QString());
        runTask(connection->selectAccount(stranger));
        QCOMPARE(connection->error(), QStringLiteral("This account needs to sign in again."));
        QCOMPARE(connection->client(), client);
    }

    // Choosing an account moves it to the front; leaving it keeps it for the next start.
    void selectShowAndRestart() {
        const auto connection = started();
        const NativeAccount first = signIn(connection, httpsSession('a'));
        const NativeAccount second = signIn(connection, httpsSession('b'));
        runTask(connection->selectAccount(first));
        QCOMPARE(connection->accounts(), (QList<NativeAccount>{first, second}));
        QCOMPARE(fixture->settings->value(QStringLiteral("native.activeAccount")).toString(), first.id);

        connection->showAccounts();
        QVERIFY(!connection->client());
        QVERIFY(!connection->activeAccountID());
        QCOMPARE(fixture->settings->value(QStringLiteral("native.activeAccount")).toString(), first.id);

        const auto restarted = started();
        QCOMPARE(restarted->accounts(), (QList<NativeAccount>{first, second}));
        QCOMPARE(restarted->activeAccountID(), first.id);
        QCOMPARE(fixture->scripted.clients.last().second, httpsSession('a'));
        QCOMPARE(restarted->serverAddress(), QStringLiteral("https://sheets.example"));
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

    // Another window's change to the list is picked up before the list is changed.
    void listChangedElsewhereIsReloaded() {
        const auto connection = started();
        const NativeAccount mine = signIn(connection, httpsSession('a'));
        const NativeAccount theirs =
            NativeAccount::create(QUrl(QStringLiteral("https://other.example")), "Other");
        storeAccounts({theirs, mine});
        const NativeAccount added = signIn(connection, httpsSession('b'));
        QCOMPARE(connection->accounts(), (QList<NativeAccount>{added, theirs, mine}));
    }

    void corruptAccountListIsIgnored_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("not JSON") << QVariant(QByteArray("{{{"));
        QTest::newRow("object") << QVariant(QByteArray("{\"accounts\":[]}"));
        QTest::newRow("entry without origin") << QVariant(QByteArray("[{\"id\":\"A\",\"name\":\"A\"}]"));
        QTest::newRow("number") << QVariant(42);
        QTest::newRow("text") << QVariant(QStringLiteral("native"));
    }

    void corruptAccountListIsIgnored() {
        QFETCH(QVariant, stored);
        // A legacy session exists too: a bad list is no reason to migrate, but an empty one is.
        fixture->settings->setValue(QStringLiteral("native.accounts"), stored);
        fixture->settings->setValue(QStringLiteral("native.activeAccount"), QStringLiteral("A"));
        const auto connection = started();
        QVERIFY(connection->accounts().isEmpty());
        QVERIFY(!connection->client());
        QCOMPARE(connection->error(), QString());

        // The next change overwrites the bad value.
        const NativeAccount account = signIn(connection, httpsSession('a'));
        QCOMPARE(NativeAccount::decodeList(
                     fixture->settings->value(QStringLiteral("native.accounts")).toByteArray()),
                 QList<NativeAccount>{account});

        // A bad value written while running leaves the list in memory as it was.
        fixture->settings->setValue(QStringLiteral("native.accounts"), stored);
        connection->showAccounts();
        QCOMPARE(connection->accounts(), QList<NativeAccount>{account});
    }

    // The single-server layout kept one session under the origin's text.
    void migratesTheSingleServerSession_data() {
        QTest::addColumn<QString>("storedServer");
        QTest::addColumn<QString>("defaultServer");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("name");
        QTest::newRow("stored server") << "https://team.example:8443"
                                       << "https://sheets.example"
                                       << "https://team.example:8443"
                                       << "team.example";
        QTest::newRow("default server") << ""
                                        << "https://sheets.example"
                                        << "https://sheets.example"
                                        << "sheets.example";
        QTest::newRow("loopback") << "http://localhost:8080"
                                  << "https://sheets.example"
                                  << "http://localhost:8080"
                                  << "localhost";
    }

    void migratesTheSingleServerSession() {
        QFETCH(QString, storedServer);
        QFETCH(QString, defaultServer);
        QFETCH(QString, origin);
        QFETCH(QString, name);
        if (!storedServer.isEmpty())
            fixture->settings->setValue(QStringLiteral("native.server"), storedServer);
        const NativeSession session{origin.startsWith(QLatin1String("https")) ? "__Host-larkspan_session"
                                                                              : "larkspan_session",
                                    token('m')};
        runTask(NativeCredentials::save(session, origin));

        const auto connection = started(defaultServer);
        QCOMPARE(connection->accounts().size(), 1);
        const NativeAccount account = connection->accounts().first();
        QCOMPARE(account.origin, QUrl(origin));
        QCOMPARE(account.name, name);
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList{account.key()});
        QCOMPARE(runTask(NativeCredentials::read(account.key())), session);
        QCOMPARE(NativeAccount::decodeList(
                     fixture->settings->value(QStringLiteral("native.accounts")).toByteArray()),
                 connection->accounts());
        QCOMPARE(connection->activeAccountID(), account.id);
        QCOMPARE(fixture->scripted.clients.last(),
                 std::pair(QUrl(origin), std::optional<NativeSession>(session)));
    }

    void noMigrationWhenAccountsExist() {
        const QString legacy = QStringLiteral("https://sheets.example");
        runTask(NativeCredentials::save(httpsSession('m'), legacy));
        const NativeAccount account = NativeAccount::create(QUrl(legacy), QStringLiteral("Work"));
        runTask(NativeCredentials::save(httpsSession('w'), account.key()));
        storeAccounts({account});

        const auto connection = started();
        QCOMPARE(connection->accounts(), QList<NativeAccount>{account});
        QCOMPARE(runTask(NativeCredentials::read(legacy)), httpsSession('m'));
        QCOMPARE(connection->activeAccountID(), account.id);
        QCOMPARE(fixture->scripted.clients.last().second, httpsSession('w'));
    }

    void noMigrationWithoutUsableServer() {
        fixture->settings->setValue(QStringLiteral("native.server"),
                                    QStringLiteral("https://sheets.example/app"));
        runTask(NativeCredentials::save(httpsSession('m'), QStringLiteral("https://sheets.example/app")));
        const auto connection = started();
        QVERIFY(connection->accounts().isEmpty());
        QCOMPARE(connection->serverAddress(), QStringLiteral("https://sheets.example/app"));

        fixture->resetSettings();
        const auto withoutLegacy = started();
        QVERIFY(withoutLegacy->accounts().isEmpty());
        QVERIFY(!withoutLegacy->client());
        QCOMPARE(withoutLegacy->serverAddress(), QStringLiteral("https://sheets.example"));
    }
};

QTEST_GUILESS_MAIN(TestNativeAccounts)
#include "tst_NativeAccounts.moc"
