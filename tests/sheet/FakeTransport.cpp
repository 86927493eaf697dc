#include "FakeTransport.h"

#include <stdexcept>

QCoro::Task<NativeResponse> FakeTransport::responseDetails(QString path, QString method,
                                                           std::optional<QByteArray> body,
                                                           QString contentType, qint64 maxBytes,
                                                           CancellationToken token) {
    token.throwIfCancelled();
    Request request{std::move(method), std::move(path), std::move(body), std::move(contentType), maxBytes};
    m_requests.append(request);
    if (!m_handler)
        throw std::logic_error("FakeTransport has no handler");
    NativeResponse response = co_await m_handler(request);
    token.throwIfCancelled();
    co_return response;
}

QCoro::Task<> FakeTransport::stream(QString path, OpenHandler onOpen, LineHandler onLine,
                                    CancellationToken token) {
    token.throwIfCancelled();
    m_streamPaths.append(path);
    if (!m_streamHandler)
        throw std::logic_error("FakeTransport::stream is not scripted");
    co_await m_streamHandler(int(m_streamPaths.size()), onOpen, onLine, token);
}

QCoro::Task<> FakeTransport::download(QString path, QString destination, CancellationToken token) {
    downloads.append({path, destination});
    if (!m_downloadHandler)
        throw std::logic_error("FakeTransport::download is not scripted");
    co_await m_downloadHandler(std::move(path), std::move(destination), std::move(token));
}

QStringList FakeTransport::paths() const {
    QStringList result;
    for (const auto &request : m_requests)
        result.append(request.method + u' ' + request.path);
    return result;
}
