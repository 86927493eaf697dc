#include "connection/NativeTransport.h"

QCoro::Task<std::pair<QByteArray, int>> NativeTransport::response(QString path, QString method,
                                                                  std::optional<QByteArray> body,
                                                                  QString contentType, qint64 maxBytes,
                                                                  CancellationToken token) {
    const NativeResponse answer = co_await responseDetails(std::move(path), std::move(method), std::move(body),
                                                           std::move(contentType), maxBytes, token);
    co_return std::pair{answer.data(), answer.status()};
}

QCoro::Task<NativeResponse> NativeTransport::responseDetails(QString path, QString method,
                                                             std::optional<QByteArray> body, QString contentType,
                                                             CancellationToken token) {
    return responseDetails(std::move(path), std::move(method), std::move(body), std::move(contentType),
                           nativeDefaultMaxBytes, token);
}

QCoro::Task<NativeResponse> NativeTransport::responseDetails(QString path, QString method,
                                                             std::optional<QByteArray> body, qint64 maxBytes,
                                                             CancellationToken token) {
    return responseDetails(std::move(path), std::move(method), std::move(body),
                           QStringLiteral("application/json"), maxBytes, token);
}

QCoro::Task<> NativeTransport::stream(QString path, LineHandler onLine, CancellationToken token) {
    return stream(std::move(path), []() -> QCoro::Task<> { co_return; }, std::move(onLine), token);
}
