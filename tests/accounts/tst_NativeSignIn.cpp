#include "ConnectionFixture.h"
#include "KeyringHelpers.h"
#include "TaskRunner.h"

#include "async/DetachedTask.h"
#include "async/Wakeup.h"
#include "connection/NativeCredentials.h"
#include "connection/NativeSignInProof.h"

#include <QCoroSignal>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <variant>

namespace {

constexpr int patience = 20000;

// Holds an answer back until the test releases it.
struct Gate {
    Wakeup wakeup;
    bool open = false, reached = false, passed = false;
    QCoro::Task<> pass() {
        reached = true;
        if (!open)
            co_await qCoro(&wakeup, &Wakeup::woken);
        passed = true;
    }
    void release() {
        open = true;
        wakeup.wake();
    }
};

QByteArray beginBody(const QString &id) {
    return QByteArrayLiteral("{\"id\":\"") + id.toUtf8() + "\"}";
}

// An answer, or the failure the transport throws instead.
using Answer = std::variant<NativeResponse, NativeClientError>;

QCoro::Task<NativeResponse> give(Answer answer) {
    if (const auto *error = std::get_if<NativeClientError>(&answer))
        throw *error;
    co_return std::get<NativeResponse>(answer);
}

// Answers the sign-in request with `begin` and every exchange with `exchange`.
ScriptedHandler serving(Answer begin, Answer exchange = answer(500)) {
    return
        [=](ScriptedRequest request) { return give(request.path == "/native/request" ? begin : exchange); };
}
ScriptedHandler onExchange(Answer exchange) {
    return serving(answer(200, beginBody(token('i'))), std::move(exchange));
}

QCoro::Task<bool> openAfter(Gate *gate, QUrl) {
    co_await gate->pass();
    co_return true;
}

NativeSession httpsSession(char fill) {
    return NativeSession{"__Host-larkspan_session", token(fill)};
}

std::optional<NativeSession> stored(const QString &key) {
    return runTask(NativeCredentials::read(key)).session;
}

QCoro::Task<NativeResponse> gatedAnswer(Gate *gate, NativeResponse response) {
    co_await gate->pass();
    co_return response;
}

} // namespace

Q_DECLARE_METATYPE(ScriptedHandler)
using FailureCase = std::tuple<QString, ScriptedHandler, bool, QString>;

// The browser sign-in against a scripted server, and the accounts with their sessions in a real
// Secret Service (gnome-keyring in a private D-Bus session).
class TestNativeSignIn : public QObject {
    Q_OBJECT

    std::unique_ptr<ConnectionFixture> fixture;

    std::shared_ptr<NativeConnection> started(NativeConnection::Services services) {
        auto connection = NativeConnection::create(
            QLatin1String(ConnectionFixture::server), QString::fromLatin1(ConnectionFixture::scheme),
            fixture->settings, fixture->connectivity, std::move(services));
        runTask(connection->start());
        return connection;
    }
    std::shared_ptr<NativeConnection> started() { return started(fixture->services()); }

    static void awaitEnd(const std::shared_ptr<NativeConnection> &connection) {
        QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), patience);
    }

    // Nothing of a sign-in that did not finish is left behind.
    static void verifyIdle(const std::shared_ptr<NativeConnection> &connection) {
        QVERIFY(!connection->signingIn() && !connection->browserURL() && !connection->pendingID());
        QVERIFY(!connection->browser().isActive() && connection->accounts().isEmpty());
        QVERIFY(!connection->activeAccountID() && !connection->client());
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
        return NativeAccount::decodeList(fixture->settings->value("native.accounts").toByteArray())
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

    // Each failure ends the sign-in with its message before (false) or after (true) the browser opened,
    // and leaves nothing behind.
    void failures_data() {
        QTest::addColumn<FailureCase>("row");
        const auto row = [](const char *name, const QString &address, const ScriptedHandler &server,
                            bool opened, const QString &error) {
            QTest::newRow(name) << FailureCase{address, server, opened, error};
        };
        const QString https = ConnectionFixture::server;
        const auto begun = serving(answer(200, beginBody(token('i'))));
        const QString refused = "Sign-in expired or was refused. Please try again.";
        const auto session = [](const char *name, const QString &value) {
            return onExchange(answer(200, NativeSession{name, value}.toJson()));
        };
        row("address with a page path", "https://sheets.example/home", begun, false,
            "Enter your server’s HTTPS address, without a page path.");
        row("random generator fails", "", begun, false, "Could not start secure sign-in.");
        row("request answered 404", https, serving(answer(404)), false,
            "This server does not support this native feature yet.");
        row("request offline", https, serving(NativeClientError::offline(UrlErrorCode::cannotConnectToHost)),
            false, urlErrorDescription(UrlErrorCode::cannotConnectToHost));
        row("request answer not JSON", https, serving(answer(200, "<html>")), false,
            "The server returned an unsupported response.");
        row("id of 42 characters", https, serving(answer(200, beginBody(token('i').left(42)))), false,
            "Invalid sign-in response.");
        row("exchange refused", https, onExchange(answer(403)), true, refused);
        row("exchange answers 204", https, onExchange(answer(204)), true, refused);
        row("exchange offline", https, onExchange(NativeClientError::offline(UrlErrorCode::timedOut)), true,
            urlErrorDescription(UrlErrorCode::timedOut));
        row("loopback cookie name on https", https, session("larkspan_session", token('s')), true, refused);
        row("session value malformed", https, session("__Host-larkspan_session", token('s').left(42)), true,
            refused);
    }
    void failures() {
        QFETCH(FailureCase, row);
        const auto &[address, server, browserOpened, error] = row;
        fixture->scripted.handler = server;
        NativeConnection::Services services = fixture->services();
        if (address.isEmpty())
            services.randomBytes = [](int) { return std::nullopt; };
        const auto connection = started(std::move(services));
        if (!address.isEmpty())
            connection->setServerAddress(address);
        connection->signIn();
        awaitEnd(connection);
        QCOMPARE(connection->error(), error);
        QCOMPARE(fixture->browser.opened.size(), browserOpened ? 1 : 0);
        verifyIdle(connection);
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList());
        QVERIFY(!fixture->settings->contains("native.server"));
    }

    // The exchange is first sent one poll after the browser opened, and the wait ends after five
    // minutes of clock time.
    void approvalWaitsFiveMinutes() {
        QList<double> exchangedAt;
        double openedAt = 0;
        fixture->scripted.handler = [&](ScriptedRequest request) {
            if (request.path == "/native/exchange")
                exchangedAt.append(fixture->clock->current);
            return onExchange(answer(202))(std::move(request));
        };
        const auto connection = started();
        connection->signIn([&](QUrl url) {
            openedAt = fixture->clock->current;
            return fixture->browser.opener()(url);
        });
        awaitEnd(connection);
        QCOMPARE(connection->error(), "Sign-in expired. Please try again.");
        QCOMPARE(exchangedAt.size(), 150);
        QCOMPARE(exchangedAt.first(), openedAt + NativeConnection::pollSeconds);
        QVERIFY(exchangedAt.last() <= openedAt + NativeConnection::approvalSeconds);
        QVERIFY(fixture->clock->current >= openedAt + NativeConnection::approvalSeconds);
    }

    // What the server is asked, and what a successful sign-in leaves behind.
    void signInCreatesTheAccount() {
        const QString id = token('i');
        const NativeSession session = httpsSession('s');
        fixture->scripted.handler = approvingServer(id, session, 3);
        const auto connection = started();
        connection->setAccountName("  Finance team ");
        QSignalSpy clientChanges(connection.get(), &NativeConnection::clientChanged);
        connection->signIn();
        QCOMPARE(connection->code(), NativeSignInProof::comparisonCode(id));
        QTRY_COMPARE_WITH_TIMEOUT(connection->accounts().size(), 1, patience);
        awaitEnd(connection);
        // The sign-in request carries the S256 challenge of the verifier that the exchange proves.
        const auto requests = fixture->scripted.requestsTo("/native/request");
        const auto exchanges = fixture->scripted.requestsTo("/native/exchange");
        QCOMPARE(std::pair(requests.size(), exchanges.size()), std::pair(qsizetype(1), qsizetype(4)));
        const QJsonObject begin = QJsonDocument::fromJson(*requests[0].body).object();
        const QJsonObject proof = QJsonDocument::fromJson(*exchanges.last().body).object();
        const QString verifier = proof.value("verifier").toString();
        QVERIFY(NativeSignInProof::valid(verifier));
        QCOMPARE(begin.value("challenge").toString(), NativeSignInProof::challenge(verifier));
        QCOMPARE(std::pair(begin.value("callback").toString(), proof.value("id").toString()),
                 std::pair(QString("net.brevane.tabrel.test://signin"), id));
        QCOMPARE(fixture->browser.opened, QList<QUrl>{QUrl("https://sheets.example/native/start?id=" + id)});
        const NativeAccount account = connection->accounts().first();
        QCOMPARE(std::tuple(account.name, account.origin, connection->error(), connection->notice()),
                 std::tuple(QString("Finance team"), QUrl(ConnectionFixture::server), QString(), QString()));
        QCOMPARE(connection->activeAccountID(), account.id);
        QCOMPARE(clientChanges.size(), 1);
        QCOMPARE(fixture->scripted.clients.last().second, session);
        QCOMPARE(runTask(NativeCredentials::read(account.key())).session, session);
        QCOMPARE(fixture->settings->value("native.activeAccount").toString(), account.id);
        QCOMPARE(fixture->settings->value("native.server").toString(), "https://sheets.example");
    }

    // A failed sign-in leaves the signed-in account and its client alone.
    void failureKeepsTheActiveAccount() {
        fixture->scripted.handler = approvingServer(token('i'), httpsSession('s'));
        const auto connection = started();
        connection->signIn();
        QTRY_VERIFY_WITH_TIMEOUT(connection->client(), patience);
        const auto client = connection->client();
        const auto accounts = connection->accounts();
        fixture->scripted.handler = onExchange(answer(403));
        connection->signIn();
        awaitEnd(connection);
        QCOMPARE(connection->error(), "Sign-in expired or was refused. Please try again.");
        QCOMPARE(connection->client(), client);
        QCOMPARE(connection->accounts(), accounts);
        QCOMPARE(connection->activeAccountID(), accounts.first().id);
        // A retry starts clean: nothing of the failed attempt shows while it asks the server.
        Gate gate;
        fixture->scripted.handler = [&gate](ScriptedRequest) { return gatedAnswer(&gate, answer(404)); };
        connection->signIn();
        QTRY_VERIFY_WITH_TIMEOUT(gate.reached, patience);
        QCOMPARE(connection->error() + connection->code(), QString());
        QVERIFY(!connection->browserURL() && !connection->pendingID());
        gate.release();
        awaitEnd(connection);
        QCOMPARE(connection->error(), "This server does not support this native feature yet.");
    }

    // A browser that does not open leaves the page to copy or to open again while the sign-in waits.
    void browserThatDoesNotOpen() {
        fixture->scripted.handler = approvingServer(token('i'), httpsSession('s'), 3);
        fixture->browser.accepts = false;
        const auto connection = started();
        connection->signIn();
        QTRY_COMPARE_WITH_TIMEOUT(connection->error(), "Could not open your browser.", patience);
        QVERIFY(connection->signingIn());
        QCOMPARE(connection->browserURL(), fixture->browser.opened.first());
        fixture->browser.accepts = true;
        connection->openBrowserAgain();
        QTRY_COMPARE_WITH_TIMEOUT(fixture->browser.opened.size(), 2, patience);
        QCOMPARE(fixture->browser.opened.last(), fixture->browser.opened.first());
        awaitEnd(connection);
        QCOMPARE(connection->error(), QString());
        QCOMPARE(connection->accounts().size(), 1);
        connection->openBrowserAgain(); // nothing waits any more
        QCOMPARE(fixture->browser.opened.size(), 2);
    }

    void cancelLeavesNoTrace_data() {
        QTest::addColumn<QString>("step");
        QTest::newRow("while requesting") << "request";
        QTest::newRow("while the browser opens") << "open";
        QTest::newRow("while exchanging") << "exchange";
        QTest::newRow("between polls") << "poll";
        QTest::newRow("while storing the session") << "store";
        QTest::newRow("by a new sign-in") << "restart";
    }
    void cancelLeavesNoTrace() {
        QFETCH(QString, step);
        Gate gate;
        const QString id = token('i');
        const NativeSession session = httpsSession('s');
        std::weak_ptr<NativeConnection> weak;
        int exchanges = 0;
        fixture->scripted.handler = [&](ScriptedRequest request) -> QCoro::Task<NativeResponse> {
            if (request.path == "/native/request")
                return step == "request" ? gatedAnswer(&gate, answer(200, beginBody(id)))
                                         : give(answer(200, beginBody(id)));
            ++exchanges;
            if (step == "exchange")
                return gatedAnswer(&gate, answer(200, session.toJson()));
            if (step == "store") {
                // Cancelled once the session is on its way into the store.
                QTimer::singleShot(0, [weak] {
                    if (const auto connection = weak.lock())
                        connection->cancel();
                });
                return gatedAnswer(&gate, answer(200, session.toJson()));
            }
            return gatedAnswer(&gate, answer(202));
        };
        const auto connection = started();
        weak = connection;
        if (step == "open")
            connection->signIn([&gate](QUrl url) { return openAfter(&gate, url); });
        else
            connection->signIn();
        if (step == "store")
            gate.release();
        else
            QTRY_VERIFY_WITH_TIMEOUT(gate.reached, patience);
        if (step == "poll") {
            // Cancelled as the third pause between polls begins.
            fixture->clock->onSleep = [&] {
                if (fixture->clock->sleeps.size() == 3)
                    connection->cancel();
            };
            gate.release();
            QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), patience);
            QCOMPARE(exchanges, 2);
        }
        if (step == "restart") {
            fixture->scripted.handler = serving(answer(404));
            connection->signIn();
            awaitEnd(connection);
            QCOMPARE(connection->error(), "This server does not support this native feature yet.");
        } else if (step != "store") {
            connection->cancel();
        }
        if (step != "store") {
            QVERIFY(!connection->signingIn());
            QCOMPARE(connection->code(), QString());
        }
        gate.release();
        QTRY_VERIFY_WITH_TIMEOUT(gate.passed, patience);
        const int exchangesAfterCancel = exchanges;
        // The cancelled task may still be unwinding: let it finish, then check it changed nothing.
        QTRY_VERIFY_WITH_TIMEOUT(weak.use_count() == 1, patience);
        if (step != "restart")
            QCOMPARE(connection->error(), QString());
        verifyIdle(connection);
        QCOMPARE(exchanges, exchangesAfterCancel);
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList());
    }

    // Only the exact callback of the running sign-in closes the approval page; polling goes on.
    void callbackURL() {
        const QString id = token('i');
        // The server approves on the second exchange after the browser came back.
        bool returned = false;
        int exchangesAfterReturn = 0;
        fixture->scripted.handler = [&](ScriptedRequest request) -> QCoro::Task<NativeResponse> {
            if (request.path == "/native/request")
                return give(answer(200, beginBody(id)));
            if (!returned || ++exchangesAfterReturn < 2)
                return give(answer(202));
            return give(answer(200, httpsSession('s').toJson()));
        };
        const auto connection = started();
        const QString app = "net.brevane.tabrel.test://", base = app + "signin?state=";
        connection->handleOpenURL(QUrl(base + id)); // nothing pending yet
        connection->signIn();
        QVERIFY(connection->browser().isActive());
        const QUuid generation = connection->browser().generation();
        for (const QString &url : {base + token('x'), base + id + "&extra=1", app + "signin:443?state=" + id,
                                   app + "signin/path?state=" + id, app + "@signin?state=" + id,
                                   "net.brevane.tabrel.other://signin?state=" + id}) {
            connection->handleOpenURL(QUrl(url));
            QVERIFY2(connection->browser().isActive(), qPrintable(url));
            QCOMPARE(connection->browser().generation(), generation);
        }
        connection->handleOpenURL(QUrl(base + id));
        QVERIFY(!connection->browser().isActive());
        QVERIFY(connection->signingIn());
        QCOMPARE(connection->pendingID(), id);
        returned = true;
        QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), patience);
        QCOMPARE(connection->error(), QString());
        QCOMPARE(connection->accounts().size(), 1);
        QCOMPARE(exchangesAfterReturn, 2);
    }

    void foreignItemReadsAsMissing() {
        const QString key = "account:FOREIGN|https://sheets.example";
        for (const QString data :
             {"{\"name\":\"__Host-larkspan_session\"}", "{\"name\":\"n\",\"value\":3}"}) {
            runTask(KeyringHelpers::writeRaw(key, data));
            QCOMPARE(runTask(NativeCredentials::read(key)).status, NativeKeyringStatus::missing);
        }
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
        QVERIFY(!fixture->settings->contains("native.activeAccount"));
        QCOMPARE(storedList(), QList<NativeAccount>{first});
        QTRY_COMPARE_WITH_TIMEOUT(fixture->scripted.requestsTo("/signout").size(), 1, patience);
        QCOMPARE(fixture->scripted.requestsTo("/signout").first().credential, httpsSession('b'));
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
        const NativeAccount stranger = NativeAccount::create(first.origin, "x");
        runTask(NativeCredentials::save(httpsSession('c'), stranger.key(), "x"));
        const auto client = connection->client();
        QSignalSpy clientChanges(connection.get(), &NativeConnection::clientChanged);
        for (const NativeAccount &account : {first, stranger}) {
            connection->setError(QString());
            runTask(connection->selectAccount(account));
            QCOMPARE(connection->error(), "This account needs to sign in again.");
            QCOMPARE(connection->activeAccountID(), second.id);
            QCOMPARE(connection->accounts(), (QList<NativeAccount>{second, first}));
        }
        QCOMPARE(clientChanges.size(), 0);
    }

    // Choosing an account moves it to the front and keeps it for the next start; a slow answer for
    // an earlier choice must not undo a later one.
    void selectShowAndRestart() {
        const auto connection = started();
        const NativeAccount first = signIn(connection, httpsSession('a'));
        const NativeAccount second = signIn(connection, httpsSession('b'));
        auto earlier = connection->selectAccount(second);
        auto later = connection->selectAccount(first);
        runTask(std::move(earlier));
        runTask(std::move(later));
        QCOMPARE(connection->activeAccountID(), first.id);
        QCOMPARE(connection->accounts(), (QList<NativeAccount>{first, second}));
        auto slow = connection->selectAccount(second);
        connection->showAccounts();
        runTask(std::move(slow));
        QVERIFY(!connection->client());
        QVERIFY(!connection->activeAccountID());
        const auto restarted = started();
        QCOMPARE(restarted->accounts(), (QList<NativeAccount>{first, second}));
        QCOMPARE(restarted->activeAccountID(), first.id);
        QCOMPARE(fixture->scripted.clients.last().second, httpsSession('a'));
    }

    void corruptAccountListIsIgnored_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("not JSON") << QVariant(QByteArray("{{{"));
        QTest::newRow("entry without origin") << QVariant(QByteArray("[{\"id\":\"A\",\"name\":\"A\"}]"));
    }
    void corruptAccountListIsIgnored() {
        QFETCH(QVariant, stored);
        fixture->settings->setValue("native.accounts", stored);
        const auto connection = started();
        QVERIFY(connection->accounts().isEmpty());
        QCOMPARE(connection->error(), QString());
        // The next change overwrites the bad value; a bad value written later leaves the list as it was.
        const NativeAccount account = signIn(connection, httpsSession('a'));
        QCOMPARE(storedList(), QList<NativeAccount>{account});
        fixture->settings->setValue("native.accounts", stored);
        connection->showAccounts();
        QCOMPARE(connection->accounts(), QList<NativeAccount>{account});
    }

    // The single-server layout kept one session under the origin's text; it becomes an account
    // unless there are accounts already.
    void migratesTheSingleServerSession_data() {
        QTest::addColumn<QString>("storedServer");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("accountsExist");
        QTest::newRow("stored server") << "https://team.example:8443"
                                       << "https://team.example:8443" << false;
        QTest::newRow("default server") << QString() << "https://sheets.example" << false;
        QTest::newRow("accounts exist") << QString() << "https://sheets.example" << true;
    }
    void migratesTheSingleServerSession() {
        QFETCH(QString, storedServer);
        QFETCH(QString, origin);
        QFETCH(bool, accountsExist);
        if (!storedServer.isEmpty())
            fixture->settings->setValue("native.server", storedServer);
        runTask(NativeCredentials::save(httpsSession('m'), origin, origin));
        const NativeAccount work = NativeAccount::create(QUrl(origin), "Work");
        if (accountsExist) {
            runTask(NativeCredentials::save(httpsSession('w'), work.key(), work.name));
            fixture->settings->setValue("native.accounts", NativeAccount::encodeList({work}));
        }
        const auto connection = started();
        QCOMPARE(connection->accounts().size(), 1);
        const NativeAccount account = connection->accounts().first();
        QCOMPARE(std::pair(account.origin, account.name),
                 std::pair(QUrl(origin), accountsExist ? work.name : QUrl(origin).host()));
        const QStringList keys =
            accountsExist ? QStringList{account.key(), origin} : QStringList{account.key()};
        QCOMPARE(KeyringHelpers::storedKeys(), keys);
        QCOMPARE(fixture->scripted.clients.last().second, httpsSession(accountsExist ? 'w' : 'm'));
        QCOMPARE(storedList(), connection->accounts());
        QCOMPARE(connection->activeAccountID(), account.id);
    }
};

QTEST_GUILESS_MAIN(TestNativeSignIn)
#include "tst_NativeSignIn.moc"
