#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// A TCP proxy on a free loopback port, between a client and a server, that spoils connections on
// purpose: each new connection gets the fault the test's chooser hands out. For tests that check
// that nothing is lost or reported wrongly when the network misbehaves.
class FaultProxy : public QObject {
    Q_OBJECT
public:
    struct Fault {
        enum class Kind {
            none,       // pass everything through
            dropAfter,  // close both sides once `bytes` bytes of the answer went through
            resetAfter, // the same, but with a TCP reset instead of an orderly close
            stall,      // hold the answer back for `millis`, then pass it on
            trickle,    // pass the answer on in pieces of `bytes` bytes, one every `millis`
            refuse,     // answer the first request itself with `status` and Retry-After: `retryAfter`
        };
        Kind kind = Kind::none;
        qint64 bytes = 0;
        int millis = 0;
        int status = 503;
        int retryAfter = 1;
    };
    using Chooser = std::function<Fault()>;

    explicit FaultProxy(quint16 upstreamPort, QObject *parent = nullptr);
    ~FaultProxy() override;

    bool listen(); // on 127.0.0.1, a free port
    quint16 port() const { return m_server.serverPort(); }
    void setChooser(Chooser chooser) { m_chooser = std::move(chooser); }
    // Requests carry the proxy's origin; a server that checks "Origin" wants its own.
    void setOriginRewrite(QByteArray from, QByteArray to) { m_rewrite = {std::move(from), std::move(to)}; }
    // Closes every open connection at once, as a network failure would.
    void dropAll();

    int connections() const { return m_connections; }
    int faults() const { return m_faults; }

private:
    class Link;
    void accept();

    QTcpServer m_server;
    quint16 m_upstreamPort;
    Chooser m_chooser;
    std::pair<QByteArray, QByteArray> m_rewrite;
    QList<QPointer<QObject>> m_links;
    int m_connections = 0;
    int m_faults = 0;
};
