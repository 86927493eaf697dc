#pragma once

#include "LoopbackExchange.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QUrl>

#include <functional>

// A small HTTP/1.1 server on 127.0.0.1 for tests, on a port of its own. Each request is handed to
// the test's handler as a LoopbackExchange, which answers at once, slowly, or holds the response
// open. Requests are recorded as received. Keep-alive connections are served in order.
class LoopbackHttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(LoopbackExchange &)>;

    explicit LoopbackHttpServer(QObject *parent = nullptr);

    // "http://127.0.0.1:<port>"
    QUrl origin() const;
    quint16 port() const;

    // Answers every request from now on; the default answers 404 with an empty body.
    void setHandler(Handler handler);
    // Shorthand: every request is answered with this status, body and headers.
    void respondAlways(int status, const QByteArray &body = {}, const LoopbackHeaders &headers = {});

    QList<LoopbackRequest> requests() const { return m_requests; }
    // Exchanges still alive (their connection not yet gone), oldest first.
    QList<LoopbackExchange *> exchanges() const;
    int connectionCount() const { return m_connectionCount; }

    // A port on which nothing listens (a connection to it is refused).
    static quint16 closedPort();

private:
    struct Connection;
    void accept();
    void serve(QTcpSocket *socket);

    QTcpServer m_server;
    Handler m_handler;
    QList<LoopbackRequest> m_requests;
    QList<QPointer<LoopbackExchange>> m_exchanges;
    int m_connectionCount = 0;
};
