#include "connection/NativeSignInCallbackRelay.h"

#include <QCoroLocalSocket>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

namespace {
constexpr auto idleConnection = std::chrono::seconds(10);
const QByteArray confirmation = QByteArrayLiteral("ok\n");
} // namespace

QString NativeSignInCallbackRelay::defaultName() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const QString socket = QStringLiteral("net.brevane.Tabrel.signin");
    // Without a runtime folder, QLocalServer puts a plain name in the temporary folder.
    return runtime.isEmpty() ? socket : runtime + u'/' + socket;
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
    if (m_server.listen(m_name))
        return true;
    if (m_server.serverError() != QAbstractSocket::AddressInUseError)
        return false;
    // Someone answers on the socket: another instance runs. Nobody answers: a crashed instance left
    // the socket file behind.
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

QCoro::Task<bool> NativeSignInCallbackRelay::forward(QString name, QUrl url, std::chrono::milliseconds timeout) {
    QLocalSocket socket;
    const bool connected = co_await qCoro(socket).connectToServer(name, QIODevice::ReadWrite, timeout);
    if (!connected)
        co_return false;
    socket.write(url.toEncoded() + '\n');
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < confirmation.size()) {
        const QByteArray more = co_await qCoro(socket).read(confirmation.size() - answer.size(), timeout);
        if (more.isEmpty())
            break;
        answer += more;
    }
    socket.abort();
    co_return answer == confirmation;
}
