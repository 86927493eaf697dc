#include "ScriptedTransport.h"

#include <stdexcept>

NativeConnection::ClientFactory ScriptedServer::factory() {
    return
        [this](const QUrl &origin, const std::optional<NativeSession> &credential, NativeTransportObserver) {
            clients.append({origin, credential});
            return std::make_shared<ScriptedTransport>(this, origin, credential);
        };
}

QList<ScriptedRequest> ScriptedServer::requestsTo(const QString &path) const {
    QList<ScriptedRequest> matching;
    for (const ScriptedRequest &request : requests) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

QCoro::Task<NativeResponse> ScriptedTransport::responseDetails(QString path, QString method,
                                                               std::optional<QByteArray> body,
                                                               QString contentType, qint64 maxBytes,
                                                               CancellationToken token) {
    token.throwIfCancelled();
    ScriptedRequest request{m_origin,        m_credential,           std::move(method), std::move(path),
                            std::move(body), std::move(contentType), maxBytes};
    m_server->requests.append(request);
    if (!m_server->handler)
        throw std::logic_error("the scripted server has no handler");
    const ScriptedHandler handler = m_server->handler;
    NativeResponse response = co_await handler(std::move(request));
    token.throwIfCancelled();
    co_return response;
}
