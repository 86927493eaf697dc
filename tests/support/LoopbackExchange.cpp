#include "LoopbackExchange.h"

#include <QTimer>

#include <memory>

LoopbackExchange::LoopbackExchange(QTcpSocket *socket, LoopbackRequest request, QObject *parent)
    : QObject(parent), m_socket(socket), m_request(std::move(request)) {}

bool LoopbackExchange::isConnected() const {
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void LoopbackExchange::respond(int status, const QByteArray &body, const LoopbackHeaders &headers) {
    sendHead(status, headers, body.size());
    write(body);
    finish();
}

void LoopbackExchange::sendHead(int status, const LoopbackHeaders &headers,
                                std::optional<qint64> contentLength) {
    // Clients read the status code only; the reason phrase is the same for every answer.
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
    for (const auto &[name, value] : headers)
        head += name + ": " + value + "\r\n";
    m_chunked = !contentLength.has_value();
    if (m_chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else
        head += "Content-Length: " + QByteArray::number(*contentLength) + "\r\n";
    head += "\r\n";
    writeRaw(head);
}

void LoopbackExchange::write(const QByteArray &bytes) {
    if (bytes.isEmpty())
        return;
    m_bodyBytes += bytes.size();
    if (m_chunked)
        writeRaw(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
    else
        writeRaw(bytes);
}

void LoopbackExchange::writeSlowly(const QList<QByteArray> &pieces, std::chrono::milliseconds interval,
                                   bool finishAfter) {
    auto *timer = new QTimer(this);
    auto next = std::make_shared<qsizetype>(0);
    connect(timer, &QTimer::timeout, this, [this, timer, next, pieces, finishAfter] {
        if (!isConnected() || *next >= pieces.size()) {
            timer->deleteLater();
            if (isConnected() && finishAfter)
                finish();
            return;
        }
        write(pieces[(*next)++]);
    });
    timer->start(interval);
}

void LoopbackExchange::writeRaw(const QByteArray &bytes) {
    if (isConnected())
        m_socket->write(bytes);
}

void LoopbackExchange::finish() {
    if (m_finished)
        return;
    if (m_chunked)
        writeRaw("0\r\n\r\n");
    m_finished = true;
    Q_EMIT finished();
}

void LoopbackExchange::close() {
    if (m_socket) {
        m_socket->flush();
        m_socket->disconnectFromHost();
    }
    if (!m_finished) {
        m_finished = true;
        Q_EMIT finished();
    }
}
