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
    // Plays one stream attempt: may call onOpen and onLine, then returns (the server ended the
    // stream) or throws (the attempt failed).
    using StreamHandler =
        std::function<QCoro::Task<>(int attempt, OpenHandler &, LineHandler &, CancellationToken)>;
    // Plays one download: may write the destination file, suspend or throw.
    using DownloadHandler =
        std::function<QCoro::Task<>(QString path, QString destination, CancellationToken)>;

    QUrl origin() const override { return m_origin; }
    void setOrigin(QUrl origin) { m_origin = std::move(origin); }
    QCoro::Task<NativeResponse> responseDetails(QString path, QString method, std::optional<QByteArray> body,
                                                QString contentType, qint64 maxBytes,
                                                CancellationToken token) override;
    QCoro::Task<> stream(QString path, OpenHandler onOpen, LineHandler onLine,
                         CancellationToken token) override;
    QCoro::Task<> download(QString path, QString destination, CancellationToken token) override;

    // Answers every request; replaces any earlier handler.
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    // Answers every request at once with what `reply` returns.
    void setReplies(std::function<NativeResponse(const Request &)> reply) {
        setHandler(
            [reply](const Request &request) -> QCoro::Task<NativeResponse> { co_return reply(request); });
    }
    void setStreamHandler(StreamHandler handler) { m_streamHandler = std::move(handler); }
    void setDownloadHandler(DownloadHandler handler) { m_downloadHandler = std::move(handler); }
    QList<std::pair<QString, QString>> downloads; // path and destination of each download
    const QStringList &streamPaths() const { return m_streamPaths; }
    const QList<Request> &requests() const { return m_requests; }
    QStringList paths() const;
    void clearRequests() { m_requests.clear(); }

private:
    QUrl m_origin{QStringLiteral("https://sheets.example")};
    Handler m_handler;
    StreamHandler m_streamHandler;
    DownloadHandler m_downloadHandler;
    QStringList m_streamPaths;
    QList<Request> m_requests;
};
