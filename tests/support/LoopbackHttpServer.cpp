#include "LoopbackHttpServer.h"

#include <QTcpSocket>

namespace {
const char *const bufferProperty = "loopbackBuffer";
const char *const busyProperty = "loopbackBusy";

// Parses one complete request from the front of `buffer` and removes it; nothing while incomplete.
std::optional<LoopbackRequest> takeRequest(QByteArray &buffer) {
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return std::nullopt;
    LoopbackRequest request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> start = lines.value(0).trimmed().split(' ');
    request.method = start.value(0);
    request.target = start.value(1);
    qint64 length = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            length = value.toLongLong();
    }
    const qsizetype total = headEnd + 4 + length;
    if (buffer.size() < total)
        return std::nullopt;
    request.body = buffer.mid(headEnd + 4, length);
    buffer.remove(0, total);
    return request;
}
} // namespace

LoopbackHttpServer::LoopbackHttpServer(QObject *parent) : QObject(parent) {
    m_handler = [](LoopbackExchange &exchange) { exchange.respond(404); };
    connect(&m_server, &QTcpServer::newConnection, this, &LoopbackHttpServer::accept);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("The loopback test server could not listen: %s", qPrintable(m_server.errorString()));
}

QUrl LoopbackHttpServer::origin() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

quint16 LoopbackHttpServer::port() const {
    return m_server.serverPort();
}

void LoopbackHttpServer::setHandler(Handler handler) {
    m_handler = std::move(handler);
}

void LoopbackHttpServer::respondAlways(int status, const QByteArray &body, const LoopbackHeaders &headers) {
    setHandler([=](LoopbackExchange &exchange) { exchange.respond(status, body, headers); });
}

QList<LoopbackExchange *> LoopbackHttpServer::exchanges() const {
    QList<LoopbackExchange *> alive;
    for (const auto &exchange : m_exchanges)
        if (exchange)
            alive.append(exchange);
    return alive;
}

quint16 LoopbackHttpServer::closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void LoopbackHttpServer::accept() {
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_connectionCount;
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        serve(socket);
    }
}

// Answers the requests waiting on one connection, one at a time: the next is parsed only once the
// exchange before it has finished.
void LoopbackHttpServer::serve(QTcpSocket *socket) {
    QByteArray buffer = socket->property(bufferProperty).toByteArray() + socket->readAll();
    while (!socket->property(busyProperty).toBool()) {
        auto request = takeRequest(buffer);
        if (!request)
            break;
        m_requests.append(*request);
        auto *exchange = new LoopbackExchange(socket, *request, socket);
        m_exchanges.append(exchange);
        socket->setProperty(busyProperty, true);
        connect(exchange, &LoopbackExchange::finished, socket, [this, socket] {
            socket->setProperty(busyProperty, false);
            QMetaObject::invokeMethod(
                socket, [this, socket] { serve(socket); }, Qt::QueuedConnection);
        });
        m_handler(*exchange);
    }
    socket->setProperty(bufferProperty, buffer);
}
