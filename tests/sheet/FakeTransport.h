#pragma once

#include "connection/NativeTransport.h"

#include <QList>

#include <functional>

// A scripted stand-in for the account's transport: every request is recorded and answered by the
// test's handler, which may suspend (to hold an answer back) or throw (to fail the request).
class FakeTransport : public NativeTransport {
public:
    struct Request {
        QString method;
        QString path;
        std::optional<QByteArray> body;
        QString contentType;
        qint64 maxBytes = 0;
    };
    using Handler = std::function<QCoro::Task<NativeResponse>(const Request &)>;

    QUrl origin() const override { return QUrl(QStringLiteral("https://sheets.example")); }
    QCoro::Task<NativeResponse> responseDetails(QString path, QString method, std::optional<QByteArray> body,
                                                QString contentType, qint64 maxBytes,
                                                CancellationToken token) override;
    QCoro::Task<> stream(QString path, OpenHandler onOpen, LineHandler onLine, CancellationToken token) override;
    QCoro::Task<> download(QString path, QString destination, CancellationToken token) override;

    // Answers every request; replaces any earlier handler.
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    const QList<Request> &requests() const { return m_requests; }
    QStringList paths() const;
    void clearRequests() { m_requests.clear(); }

    static NativeResponse json(int status, const QByteArray &body) { return NativeResponse(body, status, {}); }

private:
    Handler m_handler;
    QList<Request> m_requests;
};
