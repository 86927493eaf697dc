#include "FaultProxy.h"

#include <QHostAddress>
#include <QTimer>

#include <sys/socket.h>

// One client connection and its upstream connection, with the fault they were given.
class FaultProxy::Link : public QObject {
public:
    Link(QTcpSocket *client, quint16 upstreamPort, Fault fault, std::pair<QByteArray, QByteArray> rewrite,
         QObject *parent)
        : QObject(parent), m_client(client), m_fault(fault), m_rewrite(std::move(rewrite)) {
        m_client->setParent(this);
        m_upstream = new QTcpSocket(this);
        connect(m_client, &QTcpSocket::readyRead, this, &Link::fromClient);
        connect(m_client, &QTcpSocket::disconnected, this, [this] { close(); });
        connect(m_upstream, &QTcpSocket::readyRead, this, &Link::fromServer);
        connect(m_upstream, &QTcpSocket::disconnected, this, &Link::upstreamClosed);
        connect(m_upstream, &QTcpSocket::errorOccurred, this, [this] {
            if (m_upstream->state() != QAbstractSocket::ConnectedState)
                upstreamClosed();
        });
        connect(m_upstream, &QTcpSocket::connected, this, &Link::fromClient);
        if (m_fault.kind != Fault::Kind::refuse)
            m_upstream->connectToHost(QHostAddress::LocalHost, upstreamPort);
        m_trickle.setInterval(m_fault.millis);
        connect(&m_trickle, &QTimer::timeout, this, &Link::sendHeld);
        if (m_fault.kind == Fault::Kind::stall) {
            m_holding = true;
            QTimer::singleShot(m_fault.millis, this, [this] {
                m_holding = false;
                sendHeld();
            });
        }
    }

    // Closes both sides; with `reset`, with a TCP reset instead of an orderly close.
    void close(bool reset = false) {
        if (std::exchange(m_closed, true))
            return;
        if (reset) {
            // Linger with no time: the kernel answers with RST instead of FIN.
            const linger hard{1, 0};
            ::setsockopt(int(m_client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            m_client->abort();
            m_upstream->abort();
        } else {
            m_client->disconnectFromHost();
            m_upstream->disconnectFromHost();
        }
        deleteLater();
    }

private:
    void fromClient() {
        const QByteArray bytes = m_client->readAll();
        if (m_fault.kind == Fault::Kind::refuse) {
            refuse(bytes);
            return;
        }
        m_toServer +=
            m_rewrite.first.isEmpty() ? bytes : QByteArray(bytes).replace(m_rewrite.first, m_rewrite.second);
        if (m_upstream->state() == QAbstractSocket::ConnectedState && !m_toServer.isEmpty())
            m_upstream->write(std::exchange(m_toServer, {}));
    }

    // Reads the whole first request (so that closing sends no reset), then answers it.
    void refuse(const QByteArray &bytes) {
        m_request += bytes;
        const qsizetype headerEnd = m_request.indexOf("\r\n\r\n");
        if (headerEnd < 0 || m_answered)
            return;
        qint64 length = 0;
        for (const QByteArray &line : m_request.left(headerEnd).split('\n'))
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        if (m_request.size() < headerEnd + 4 + length)
            return;
        m_answered = true;
        const QByteArray reason = m_fault.status == 429 ? "Too Many Requests" : "Service Unavailable";
        m_client->write("HTTP/1.1 " + QByteArray::number(m_fault.status) + ' ' + reason +
                        "\r\nRetry-After: " + QByteArray::number(m_fault.retryAfter) +
                        "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        m_client->disconnectFromHost();
    }

    void fromServer() {
        m_held += m_upstream->readAll();
        sendHeld();
    }

    void sendHeld() {
        if (m_closed || m_holding || m_held.isEmpty())
            return;
        qint64 size = m_held.size();
        switch (m_fault.kind) {
        case Fault::Kind::dropAfter:
        case Fault::Kind::resetAfter:
            size = std::min(size, m_fault.bytes - m_passed);
            break;
        case Fault::Kind::trickle:
            size = std::min(size, m_fault.bytes);
            if (!m_trickle.isActive())
                m_trickle.start();
            break;
        default:
            break;
        }
        m_client->write(m_held.left(size));
        m_held.remove(0, size);
        m_passed += size;
        if ((m_fault.kind == Fault::Kind::dropAfter || m_fault.kind == Fault::Kind::resetAfter) &&
            m_passed >= m_fault.bytes) {
            m_client->flush();
            close(m_fault.kind == Fault::Kind::resetAfter);
            return;
        }
        if (m_fault.kind == Fault::Kind::trickle && m_held.isEmpty()) {
            m_trickle.stop();
            if (m_upstreamGone)
                close();
        }
    }

    void upstreamClosed() {
        m_upstreamGone = true;
        if (!m_held.isEmpty() && (m_holding || m_trickle.isActive()))
            return; // closed once the held bytes went out
        m_client->disconnectFromHost();
        if (m_client->state() == QAbstractSocket::UnconnectedState)
            close();
    }

    QTcpSocket *m_client;
    QTcpSocket *m_upstream;
    Fault m_fault;
    std::pair<QByteArray, QByteArray> m_rewrite;
    QByteArray m_toServer;
    QByteArray m_held;
    QByteArray m_request;
    QTimer m_trickle;
    qint64 m_passed = 0;
    bool m_holding = false;
    bool m_closed = false;
    bool m_answered = false;
    bool m_upstreamGone = false;
};

FaultProxy::FaultProxy(quint16 upstreamPort, QObject *parent)
    : QObject(parent), m_upstreamPort(upstreamPort) {
    connect(&m_server, &QTcpServer::newConnection, this, &FaultProxy::accept);
}

FaultProxy::~FaultProxy() {
    dropAll();
}

bool FaultProxy::listen() {
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void FaultProxy::dropAll() {
    for (const QPointer<QObject> &link : std::exchange(m_links, {}))
        if (link)
            static_cast<Link *>(link.data())->close();
}

void FaultProxy::accept() {
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        const Fault fault = m_chooser ? m_chooser() : Fault{};
        ++m_connections;
        if (fault.kind != Fault::Kind::none)
            ++m_faults;
        m_links.removeAll(nullptr);
        m_links.append(new Link(client, m_upstreamPort, fault, m_rewrite, this));
    }
}
