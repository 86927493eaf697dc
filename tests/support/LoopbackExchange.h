#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpSocket>

#include <chrono>
#include <optional>

using LoopbackHeaders = QList<QPair<QByteArray, QByteArray>>;

// One HTTP request as the loopback test server received it.
struct LoopbackRequest {
    QByteArray method;
    QByteArray target;       // path and query, as sent
    LoopbackHeaders headers; // in the order sent, names as sent
    QByteArray body;

    // The value of the first header with this name (compared without regard to case).
    std::optional<QByteArray> header(const QByteArray &name) const {
        for (const auto &[key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return std::nullopt;
    }
};

// The answer to one request of the loopback test server, scripted by the test: a whole response at
// once, or a head followed by body pieces written now, later or never (a stream held open).
class LoopbackExchange : public QObject {
    Q_OBJECT
public:
    LoopbackExchange(QTcpSocket *socket, LoopbackRequest request, QObject *parent = nullptr);

    const LoopbackRequest &request() const { return m_request; }

    // Status, headers and the whole body, with a Content-Length.
    void respond(int status, const QByteArray &body = {}, const LoopbackHeaders &headers = {});
    // The head only. With a length the body is plain; without one it is sent chunked.
    void sendHead(int status, const LoopbackHeaders &headers,
                  std::optional<qint64> contentLength = std::nullopt);
    // Body bytes (one chunk when chunked).
    void write(const QByteArray &bytes);
    // Body pieces, one every `interval`; then finish() when `finishAfter`.
    void writeSlowly(const QList<QByteArray> &pieces, std::chrono::milliseconds interval, bool finishAfter);
    // Bytes straight onto the connection, for answers that are not well-formed HTTP.
    void writeRaw(const QByteArray &bytes);
    // Ends the body (the last chunk when chunked). The connection stays open for the next request.
    void finish();
    // Closes the connection.
    void close();

    bool isConnected() const;
    qint64 bodyBytesWritten() const { return m_bodyBytes; }

Q_SIGNALS:
    void finished();

private:
    QPointer<QTcpSocket> m_socket;
    LoopbackRequest m_request;
    bool m_chunked = false;
    bool m_finished = false;
    qint64 m_bodyBytes = 0;
};
