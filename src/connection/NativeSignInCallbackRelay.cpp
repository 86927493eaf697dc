#include "connection/NativeSignInCallbackRelay.h"

#include "async/Wakeup.h"

#include <QCoroSignal>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr auto idleConnection = std::chrono::seconds(10);
const QByteArray confirmation = QByteArrayLiteral("ok\n");

// Whether the other end of a connected local socket runs as this user.
bool peerIsThisUser(const QLocalSocket &socket) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                        &size) == 0 &&
           credentials.uid == ::getuid();
}

// A folder only this user can reach: owned by them, with no access for anyone else.
bool isPrivateFolder(const QString &path) {
    const QFileInfo info(path);
    return info.isDir() && info.ownerId() == ::getuid() &&
           !(info.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                                   QFile::WriteOther | QFile::ExeOther));
}
} // namespace

QString NativeSignInCallbackRelay::defaultName() {
    const QString socket = QStringLiteral("net.brevane.Tabrel.signin");
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty() && isPrivateFolder(runtime))
        return runtime + u'/' + socket;
    // Never a plain name: QLocalServer would put it in the temporary folder, shared by every user.
    // A private folder of our own in the user's cache serves instead.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty())
        return QString();
    const QString folder = cache + QStringLiteral("/net.brevane.Tabrel");
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return isPrivateFolder(folder) ? folder + u'/' + socket : QString();
}

NativeSignInCallbackRelay::NativeSignInCallbackRelay(QString name, QObject *parent)
    : QObject(parent), m_name(std::move(name)) {
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &NativeSignInCallbackRelay::acceptConnections);
}

NativeSignInCallbackRelay::~NativeSignInCallbackRelay() = default;

bool NativeSignInCallbackRelay::listen() {
    if (m_server.isListening())
        return true;
    // Only a path in a private folder: a plain name would be shared with every user.
    if (!m_name.contains(u'/') || !isPrivateFolder(QFileInfo(m_name).absolutePath()))
        return false;
    // Instances starting together take turns, so that no two of them both find the name free.
    QLockFile lock(m_name + QStringLiteral(".lock"));
    if (!lock.tryLock(5000))
        return false;
    // QLocalServer would take the name over from a live instance: ask first. Someone answers:
    // another instance runs. Nobody answers: at most a crashed instance left its socket file behind.
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(1000)) {
        probe.abort();
        return false;
    }
    QLocalServer::removeServer(m_name);
    return m_server.listen(m_name);
}

void NativeSignInCallbackRelay::acceptConnections() {
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        if (!peerIsThisUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        // A peer that never finishes its line is dropped.
        QTimer::singleShot(idleConnection, socket, [socket] { socket->abort(); });
        readFrom(socket);
    }
}

void NativeSignInCallbackRelay::readFrom(QLocalSocket *socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > maxLineBytes)
            socket->abort();
        return;
    }
    const QByteArray line = socket->readLine(maxLineBytes + 1);
    if (!line.endsWith('\n')) {
        socket->abort();
        return;
    }
    const QUrl url = QUrl::fromEncoded(line.chopped(1), QUrl::StrictMode);
    socket->write(confirmation);
    socket->disconnectFromServer();
    if (url.isValid() && !url.isEmpty())
        Q_EMIT urlReceived(url);
}

QCoro::Task<bool> NativeSignInCallbackRelay::forward(QString name, QUrl url,
                                                     std::chrono::milliseconds timeout) {
    QLocalSocket socket;
    Wakeup wakeup;
    QTimer timer;
    timer.setSingleShot(true);
    // Every event that may end the exchange wakes the loop below, which then looks at the state.
    // Queued, so that the coroutine is always suspended before it is woken.
    const auto wake = [&wakeup] { QMetaObject::invokeMethod(&wakeup, &Wakeup::wake, Qt::QueuedConnection); };
    QObject::connect(&socket, &QLocalSocket::connected, &wakeup, wake);
    QObject::connect(&socket, &QLocalSocket::readyRead, &wakeup, wake);
    QObject::connect(&socket, &QLocalSocket::disconnected, &wakeup, wake);
    QObject::connect(&socket, &QLocalSocket::errorOccurred, &wakeup, wake);
    QObject::connect(&timer, &QTimer::timeout, &wakeup, wake);
    timer.start(timeout);

    socket.connectToServer(name);
    while (socket.state() == QLocalSocket::ConnectingState && timer.isActive())
        co_await qCoro(&wakeup, &Wakeup::woken);
    if (socket.state() != QLocalSocket::ConnectedState || !peerIsThisUser(socket))
        co_return false;

    socket.write(url.toEncoded() + '\n');
    QByteArray answer;
    while (timer.isActive()) {
        answer += socket.read(confirmation.size() - answer.size());
        if (answer.size() >= confirmation.size() || socket.state() != QLocalSocket::ConnectedState)
            break;
        co_await qCoro(&wakeup, &Wakeup::woken);
    }
    socket.abort();
    co_return answer == confirmation;
}
