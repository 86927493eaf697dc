#include "TaskRunner.h"

#include "connection/NativeSignInCallbackRelay.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// A second start of the application hands the browser's callback URL to the running instance.
class TestNativeSignInCallbackRelay : public QObject {
    Q_OBJECT

    QTemporaryDir folder;
    int count = 0;
    QString name;

private Q_SLOTS:
    void init() { name = folder.filePath(QStringLiteral("relay-%1").arg(++count)); }

    void forwardsToTheRunningInstance() {
        NativeSignInCallbackRelay running(name);
        QVERIFY(running.listen());
        QSignalSpy received(&running, &NativeSignInCallbackRelay::urlReceived);
        const QUrl url(QStringLiteral("net.brevane.tabrel.sheets://signin?state=abc-_DEF"));
        QVERIFY(runTask(NativeSignInCallbackRelay::forward(name, url)));
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toUrl(), url);

        // Several in a row, each confirmed.
        const QUrl other(QStringLiteral("net.brevane.tabrel.sheets://signin?state=x%20y"));
        QVERIFY(runTask(NativeSignInCallbackRelay::forward(name, other)));
        QVERIFY(runTask(NativeSignInCallbackRelay::forward(name, other)));
        QCOMPARE(received.size(), 3);
        QCOMPARE(received.last().first().toUrl(), other);
    }

    void nobodyListening() {
        QVERIFY(!runTask(NativeSignInCallbackRelay::forward(name, QUrl(QStringLiteral("x://signin")))));
    }

    void onlyOneInstanceListens() {
        NativeSignInCallbackRelay first(name);
        QVERIFY(first.listen());
        NativeSignInCallbackRelay second(name);
        QVERIFY(!second.listen());
        QVERIFY(first.isListening());
        QSignalSpy received(&first, &NativeSignInCallbackRelay::urlReceived);
        QVERIFY(runTask(NativeSignInCallbackRelay::forward(name, QUrl(QStringLiteral("x://signin")))));
        QCOMPARE(received.size(), 1);
    }

    // An instance that crashed left its socket file; the next one takes over.
    void replacesAStaleSocket() {
        const QByteArray path = QFile::encodeName(name);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        QVERIFY(static_cast<size_t>(path.size()) < sizeof(address.sun_path));
        std::copy(path.begin(), path.end(), address.sun_path);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        ::close(fd);
        QVERIFY(QFile::exists(name));

        NativeSignInCallbackRelay relay(name);
        QVERIFY(relay.listen());
        QSignalSpy received(&relay, &NativeSignInCallbackRelay::urlReceived);
        QVERIFY(runTask(NativeSignInCallbackRelay::forward(name, QUrl(QStringLiteral("x://signin")))));
        QCOMPARE(received.size(), 1);
    }

    void refusesBadInput_data() {
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("overlong line") << QByteArray(NativeSignInCallbackRelay::maxLineBytes + 10, 'a');
        QTest::newRow("overlong line with end")
            << QByteArray(NativeSignInCallbackRelay::maxLineBytes + 10, 'a') + '\n';
        QTest::newRow("not a URL") << QByteArray("http://exa mple.com:port\n");
        QTest::newRow("empty line") << QByteArray("\n");
    }

    void refusesBadInput() {
        QFETCH(QByteArray, sent);
        NativeSignInCallbackRelay relay(name);
        QVERIFY(relay.listen());
        QSignalSpy received(&relay, &NativeSignInCallbackRelay::urlReceived);
        QLocalSocket socket;
        socket.connectToServer(name);
        QVERIFY(socket.waitForConnected(5000));
        socket.write(sent);
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QLocalSocket::UnconnectedState, 20000);
        QCOMPARE(received.size(), 0);
        // The relay still serves the next instance.
        QVERIFY(runTask(NativeSignInCallbackRelay::forward(name, QUrl(QStringLiteral("x://signin")))));
        QCOMPARE(received.size(), 1);
    }

    void defaultNameIsPerUser() {
        qputenv("XDG_RUNTIME_DIR", folder.path().toLocal8Bit());
        QCOMPARE(NativeSignInCallbackRelay::defaultName(),
                 folder.filePath(QStringLiteral("net.brevane.Tabrel.signin")));
    }
};

QTEST_GUILESS_MAIN(TestNativeSignInCallbackRelay)
#include "tst_NativeSignInCallbackRelay.moc"
