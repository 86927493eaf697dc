#include "ConnectionFixture.h"
#include "KeyringHelpers.h"
#include "LoopbackHttpServer.h"
#include "TaskRunner.h"

#include "async/DetachedTask.h"
#include "connection/NativeAccountSettings.h"
#include "connection/NativeCredentials.h"
#include "connection/NativeHTTP.h"
#include "connection/NativeSignInCallbackRelay.h"
#include "connection/desktop/NativeBrowserSignInDesktop.h"
#include "sheet/SheetTextMeasure.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>
#include <QTimeZone>

#include <memory>

#include <unistd.h>

namespace {

constexpr int patience = 20000;
const QString childVariable = QStringLiteral("TABREL_DESKTOP_CHILD");

NativeSession httpsSession(char fill) {
    return NativeSession{QStringLiteral("__Host-larkspan_session"), token(fill)};
}

const QDBusObjectPath loginKeyring(QStringLiteral("/org/freedesktop/secrets/collection/login"));

QDBusMessage keyringCall(const QString &interface, const QString &method, const QVariantList &arguments,
                         const QString &path = QStringLiteral("/org/freedesktop/secrets")) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"), path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, patience);
}

void lockKeyring() {
    keyringCall("org.freedesktop.Secret.Service", "Lock", {QVariant::fromValue(QList{loginKeyring})});
}

bool keyringLocked() {
    const QDBusMessage reply =
        keyringCall("org.freedesktop.DBus.Properties", "Get", {"org.freedesktop.Secret.Collection", "Locked"},
                    loginKeyring.path());
    return qvariant_cast<QDBusVariant>(reply.arguments().value(0)).variant().toBool();
}

// Unlocks with the password run-with-keyring.sh gave, as the login screen would. Retried while a
// prompt that was just dismissed still holds the keyring.
void unlockKeyring() {
    for (int attempt = 0; attempt < 100 && keyringLocked(); ++attempt) {
        const QDBusMessage session = keyringCall("org.freedesktop.Secret.Service", "OpenSession",
                                                 {"plain", QVariant::fromValue(QDBusVariant(QString()))});
        QDBusArgument password; // a secret as the call takes it: (oayays)
        password.beginStructure();
        password << qvariant_cast<QDBusObjectPath>(session.arguments().value(1)) << QByteArray()
                 << QByteArray("test") << QStringLiteral("text/plain");
        password.endStructure();
        keyringCall("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
                    {QVariant::fromValue(loginKeyring), QVariant::fromValue(password)});
        if (keyringLocked())
            QTest::qWait(100);
    }
}

// Adds COUNT new accounts for HOST to the list in the settings file PATH, one update at a time.
void addAccounts(const QString &path, const QString &host, int count) {
    NativeAccountSettings settings(std::make_shared<QSettings>(path, QSettings::IniFormat));
    for (int i = 0; i < count; ++i) {
        const NativeAccount account = NativeAccount::create(QUrl("https://" + host), "A");
        settings.updateAccounts([&account](QList<NativeAccount> &accounts) { accounts.prepend(account); },
                                {});
    }
}

// Runs as another instance of the application (a copy of this program); see childMain.
QProcess *startChild(const QStringList &arguments, QObject *parent) {
    auto process = new QProcess(parent);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(childVariable, QStringLiteral("1"));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QCoreApplication::applicationFilePath(), arguments);
    return process;
}

} // namespace

// The connection layer against the desktop: the keyring locked, silent or absent; settings shared
// with another process; the callback relay started many times at once; xdg-open; measuring; time.
class TestNativeDesktop : public QObject {
    Q_OBJECT

    std::unique_ptr<ConnectionFixture> fixture;
    QTemporaryDir folder;

    std::shared_ptr<NativeConnection> started() {
        auto connection = fixture->make();
        runTask(connection->start());
        return connection;
    }

    NativeAccount signIn(const std::shared_ptr<NativeConnection> &connection, const NativeSession &session) {
        fixture->scripted.handler = approvingServer(token('i'), session);
        connection->signIn();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(!connection->signingIn(), patience); }();
        if (!connection->activeAccountID())
            qWarning() << "sign-in failed:" << connection->error();
        return connection->accounts().value(0);
    }

private Q_SLOTS:
    void init() {
        fixture = std::make_unique<ConnectionFixture>();
        setEscapedErrorHandler([](std::exception_ptr) { QFAIL("an exception escaped a background task"); });
    }
    void cleanup() {
        fixture.reset();
        NativeSecretService::useSessionBus();
        unlockKeyring();
        KeyringHelpers::removeAll();
        setEscapedErrorHandler({});
    }

    // A locked keyring is not a missing session: it asks to unlock, and signing out keeps the
    // account until its session is really gone.
    void lockedKeyring() {
        const auto connection = started();
        const NativeAccount account = signIn(connection, httpsSession('a'));
        // gnome-keyring has no display here: it dismisses the unlock prompt, as over SSH.
        lockKeyring();
        const QString locked = QStringLiteral("GNOME Keyring is locked. Unlock it, then try again.");
        runTask(connection->signOut());
        QCOMPARE(connection->error(), locked);
        QCOMPARE(connection->activeAccountID(), account.id);
        QVERIFY(connection->client() && fixture->scripted.requestsTo("/signout").isEmpty());
        QCOMPARE(connection->accounts(), QList<NativeAccount>{account});
        connection->showAccounts();
        runTask(connection->selectAccount(account));
        QCOMPARE(connection->error(), locked);
        QVERIFY(!connection->client());
        unlockKeyring();
        runTask(connection->selectAccount(account));
        QCOMPARE(connection->activeAccountID(), account.id);
        QCOMPARE(runTask(NativeCredentials::read(account.key())).session, httpsSession('a'));
    }

    // A keyring call that has not answered yet shows as a wait, which the person can end; the
    // operation then says the keyring did not answer. (gnome-keyring here dismisses its unlock
    // prompts at once, having no display, so a prompt that is never answered cannot be staged.)
    void keyringWaitCanBeCancelled() {
        const auto connection = started();
        const NativeAccount account = signIn(connection, httpsSession('a'));
        connection->showAccounts();
        QSignalSpy waiting(connection.get(), &NativeConnection::waitingForKeyringChanged);
        auto selecting = connection->selectAccount(account);
        QVERIFY2(connection->waitingForKeyring(), qPrintable(connection->error()));
        connection->cancelKeyringWait();
        runTask(std::move(selecting));
        QVERIFY(!connection->waitingForKeyring() && !connection->client());
        QCOMPARE(waiting.size(), 2);
        QCOMPARE(connection->error(),
                 "GNOME Keyring did not answer. Unlock it if it asks you to, then try again.");
        // The next call waits afresh.
        runTask(connection->selectAccount(account));
        QCOMPARE(connection->activeAccountID(), account.id);
    }

    // Without any keyring a sign-in still works for this run, and says it will not be remembered.
    void noKeyringAtAll() {
        // A bus that was never connected: as under SSH or in a bare session.
        NativeSecretService::setBus(QDBusConnection(QStringLiteral("no-such-bus")));
        const NativeAccount stored = NativeAccount::create(QUrl(ConnectionFixture::server), "Work");
        fixture->settings->setValue(QStringLiteral("native.accounts"), NativeAccount::encodeList({stored}));
        const auto connection = started();
        QVERIFY(connection->error().startsWith(QStringLiteral("No keyring is available")));
        const NativeAccount account = signIn(connection, httpsSession('m'));
        QCOMPARE(connection->error(), QString());
        QVERIFY(connection->notice().contains(QStringLiteral("cannot be remembered")));
        QCOMPARE(connection->accounts(), (QList<NativeAccount>{account, stored}));
        QCOMPARE(fixture->scripted.clients.last().second, httpsSession('m'));
        QCOMPARE(fixture->make()->accounts(), QList<NativeAccount>{stored}); // never written
        connection->showAccounts();
        QCOMPARE(connection->notice(), QString());
        runTask(connection->selectAccount(account));
        QCOMPARE(connection->activeAccountID(), account.id);
        runTask(connection->signOut());
        QCOMPARE(connection->accounts(), QList<NativeAccount>{stored});
        QTRY_COMPARE_WITH_TIMEOUT(fixture->scripted.requestsTo("/signout").size(), 1, patience);
    }

    // Another instance adds accounts at the same time: neither loses the other's.
    void twoInstancesShareTheAccountList() {
        const QString path = folder.filePath(QStringLiteral("shared.ini"));
        const int each = 25;
        QProcess *child = startChild({QStringLiteral("settings"), path, QString::number(each)}, this);
        addAccounts(path, QStringLiteral("a.example"), each);
        QVERIFY(child->waitForFinished(patience));
        QCOMPARE(child->exitCode(), 0);
        const NativeAccountSettings reread(std::make_shared<QSettings>(path, QSettings::IniFormat));
        QCOMPARE(reread.accounts().value_or(QList<NativeAccount>{}).size(), 2 * each);
    }

    // A settings file that cannot be written fails the sign-in, and leaves no session behind.
    void unwritableSettingsFailTheSignIn() {
        QFile blocker(folder.filePath(QStringLiteral("not-a-folder")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        fixture->settings = std::make_shared<QSettings>(blocker.fileName() + QStringLiteral("/tabrel.ini"),
                                                        QSettings::IniFormat);
        const auto connection = started();
        signIn(connection, httpsSession('a'));
        QVERIFY2(connection->error().startsWith("Could not save your accounts"),
                 qPrintable(connection->error()));
        QVERIFY(connection->accounts().isEmpty() && !connection->client());
        QCOMPARE(KeyringHelpers::storedKeys(), QStringList());
    }

    // Many instances started at once: exactly one serves the callback, the others quitting does not
    // take its socket away, and once it quits the next one can serve.
    void relayUnderSimultaneousStarts() {
        const QString name = folder.filePath(QStringLiteral("relay"));
        QList<QProcess *> children;
        for (int i = 0; i < 12; ++i)
            children.append(startChild({QStringLiteral("relay"), name}, this));
        QList<QProcess *> listening;
        for (QProcess *child : children) {
            while (!child->canReadLine())
                QVERIFY(child->waitForReadyRead(patience));
            if (child->readLine().trimmed() == "1")
                listening.append(child);
        }
        QCOMPARE(listening.size(), 1);
        for (QProcess *child : children) {
            if (child != listening.first()) {
                child->closeWriteChannel();
                QVERIFY(child->waitForFinished(patience));
            }
        }
        const QUrl url("net.brevane.tabrel.sheets://signin?state=abc");
        QVERIFY(runTask(NativeSignInCallbackRelay::forward(name, url)));
        while (!listening.first()->canReadLine())
            QVERIFY(listening.first()->waitForReadyRead(patience));
        QCOMPARE(listening.first()->readLine().trimmed(), url.toEncoded());
        NativeSignInCallbackRelay next(name);
        QVERIFY(!next.listen());
        listening.first()->closeWriteChannel();
        QVERIFY(listening.first()->waitForFinished(patience));
        QVERIFY(next.listen());
        QSignalSpy received(&next, &NativeSignInCallbackRelay::urlReceived);
        QVERIFY(runTask(NativeSignInCallbackRelay::forward(name, url)));
        QCOMPARE(received.size(), 1);
    }

    // An overlong line and a line that is not a URL end the connection and deliver nothing.
    void relayRefusesBadInput() {
        NativeSignInCallbackRelay relay(folder.filePath("bad"));
        QVERIFY(relay.listen());
        QSignalSpy received(&relay, &NativeSignInCallbackRelay::urlReceived);
        for (const QByteArray &sent : {QByteArray(NativeSignInCallbackRelay::maxLineBytes + 10, 'a') + '\n',
                                       QByteArray("http://exa mple.com:port\n")}) {
            QLocalSocket socket;
            socket.connectToServer(folder.filePath("bad"));
            QVERIFY(socket.waitForConnected(patience));
            socket.write(sent);
            QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QLocalSocket::UnconnectedState, patience);
        }
        QCOMPARE(received.size(), 0);
    }

    // The socket lives in a folder only this user can reach, whatever the runtime folder: private, one
    // that cannot exist, or none.
    void relayNameIsNeverShared() {
        for (const auto &[runtime, usable] :
             {std::pair(QString("private"), true), {"not-a-folder/runtime", false}, {"", false}}) {
            const QString saved = qEnvironmentVariable("XDG_RUNTIME_DIR");
            const QString path = folder.filePath(runtime);
            QFile blocker(folder.filePath(QStringLiteral("not-a-folder")));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            if (runtime == QLatin1String("private")) {
                QDir().mkpath(path);
                QFile::setPermissions(path, QFileDevice::Permissions(0x7700));
            }
            qputenv("XDG_RUNTIME_DIR", runtime.isEmpty() ? QByteArray() : QFile::encodeName(path));
            const QString name = NativeSignInCallbackRelay::defaultName();
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(saved));
            QVERIFY2(name.startsWith(u'/'), qPrintable(name));
            QCOMPARE(name.startsWith(path + u'/'), usable);
            const QFileInfo folderInfo(QFileInfo(name).absolutePath());
            QCOMPARE(folderInfo.permissions() & 0x0077, QFileDevice::Permissions());
            NativeSignInCallbackRelay relay(name);
            QVERIFY(relay.listen());
        }
    }

    // xdg-open's exit status decides whether the browser opened: it opens, finds no browser, or is not
    // there at all.
    void browserOpenerChecksXdgOpen() {
        for (const auto &[script, opened] :
             {std::pair(QString("exit 0"), true), {"exit 3", false}, {"", false}}) {
            QTemporaryDir bin;
            const QString record = bin.filePath(QStringLiteral("opened"));
            if (!script.isEmpty()) {
                QFile program(bin.filePath(QStringLiteral("xdg-open")));
                QVERIFY(program.open(QIODevice::WriteOnly));
                program.write(("#!/bin/sh\nprintf %s \"$1\" > " + record + "\n" + script + "\n").toUtf8());
                program.close();
                program.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            }
            const QByteArray path = qgetenv("PATH");
            qputenv("PATH", QFile::encodeName(bin.path()));
            const QUrl page(QStringLiteral("https://sheets.example/native/start?id=a%2Bb"));
            const bool result = runTask(nativeOpenInSystemBrowser(page));
            qputenv("PATH", path);
            QCOMPARE(result, opened);
            QFile recorded(record);
            if (!script.isEmpty()) {
                QVERIFY(recorded.open(QIODevice::ReadOnly));
                QCOMPARE(recorded.readAll(), page.toEncoded());
            }
        }
    }

    void measureTakesTheWidestLine() {
        QFont font = QGuiApplication::font();
        font.setPixelSize(13);
        const QString total = QStringLiteral("Quarterly total");
        for (const auto &[text, widest] :
             {std::pair("Q3\n" + total, total),
              {total + "\r\nQ3", total},
              {QStringLiteral("Q3\u2028Quarterly"), QStringLiteral("Quarterly")}})
            QCOMPARE(measureCellText(text, false, false), QFontMetricsF(font).horizontalAdvance(widest));
    }

    // This program runs in Berlin time, where 02:30 on these days does not exist or exists twice.
    void retryAfterDatesIgnoreLocalTime() {
        QCOMPARE(QTimeZone::systemTimeZoneId(), QByteArray("Europe/Berlin"));
        for (const auto &[date, day] : {std::pair("Sun, 31 Mar 2024 02:30:00 GMT", QDate(2024, 3, 31)),
                                        {"Sun, 27 Oct 2024 02:30:00 GMT", QDate(2024, 10, 27)}}) {
            const QDateTime at(day, QTime(2, 30), QTimeZone::utc());
            QCOMPARE(NativeClientError::retryAfter(QString::fromLatin1(date), at.addSecs(-90)),
                     std::optional(90.0));
        }
    }

    // A destination name near the file system's limit still gets its export.
    void exportToALongFileName() {
        LoopbackHttpServer server;
        server.respondAlways(200, "workbook");
        const QString target = folder.filePath(QString(240, u'x') + QStringLiteral(".xlsx"));
        runTask(NativeHTTP::create(server.origin(), std::nullopt)
                    ->download(QStringLiteral("/export"), target, {}));
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == "workbook");
    }
};

// Another instance: "settings FILE COUNT" adds COUNT accounts to FILE; "relay NAME" tries to become
// the running instance, prints 1 or 0, echoes the URLs it receives and quits when its input closes.
int childMain(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == QLatin1String("settings")) {
        addAccounts(arguments.value(2), QStringLiteral("b.example"), arguments.value(3).toInt());
        return 0;
    }
    NativeSignInCallbackRelay relay(arguments.value(2));
    QFile out;
    out.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered);
    out.write(relay.listen() ? "1\n" : "0\n");
    out.flush();
    QObject::connect(&relay, &NativeSignInCallbackRelay::urlReceived, &app, [&out](const QUrl &url) {
        out.write(url.toEncoded() + '\n');
        out.flush();
    });
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        if (::read(0, &byte, 1) <= 0)
            app.quit();
    });
    return app.exec();
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsSet("TABREL_DESKTOP_CHILD"))
        return childMain(argc, argv);
    QGuiApplication app(argc, argv);
    TestNativeDesktop test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_NativeDesktop.moc"
