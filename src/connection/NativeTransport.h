#pragma once

#include "async/CancellationToken.h"
#include "connection/JsonReader.h"
#include "connection/NativeClientError.h"
#include "connection/NativeResponse.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>
#include <utility>

// The response size limit used when a caller names none: 4 MiB.
inline constexpr qint64 nativeDefaultMaxBytes = 4'194'304;

// The request interface of one account. Paths are absolute within the account's origin. Every
// operation ends with its result, a NativeClientError, or CancellationError once `token` is
// cancelled (the transfer is then stopped at once).
class NativeTransport {
public:
    // Bind handlers to named locals before `co_await transport.stream(...)`: GCC 12 destroys a lambda
    // temporary converted to std::function inside a co_await expression twice.
    using OpenHandler = std::function<QCoro::Task<>()>;
    // A line of the stream, UTF-8 checked, without its line end.
    using LineHandler = std::function<QCoro::Task<>(QByteArray)>;

    virtual ~NativeTransport() = default;

    virtual QUrl origin() const = 0;

    // One request; the whole body is read into memory, refused past `maxBytes`. The status is not
    // turned into an error.
    virtual QCoro::Task<NativeResponse> responseDetails(QString path, QString method,
                                                        std::optional<QByteArray> body, QString contentType,
                                                        qint64 maxBytes, CancellationToken token) = 0;

    // A live event stream: `onOpen` once the server accepted it, then `onLine` for every line.
    virtual QCoro::Task<> stream(QString path, OpenHandler onOpen, LineHandler onLine,
                                 CancellationToken token) = 0;

    // A GET whose body is saved to the local file `destination` (mode 0600).
    virtual QCoro::Task<> download(QString path, QString destination, CancellationToken token) = 0;

    // Conveniences built only on the operations above.

    // responseDetails, then the status check, then JSON decoding into `T` (a record with
    // `static T decode(const JsonObject &)`).
    template <typename T>
    QCoro::Task<T> request(QString path, QString method, std::optional<QByteArray> body, QString contentType,
                           qint64 maxBytes, CancellationToken token) {
        const NativeResponse response = co_await responseDetails(
            std::move(path), std::move(method), std::move(body), std::move(contentType), maxBytes, token);
        response.requireSuccess();
        co_return decodeBody<T>(response.data());
    }

    // The body and the status, without any status check.
    QCoro::Task<std::pair<QByteArray, int>> response(QString path, QString method,
                                                     std::optional<QByteArray> body, QString contentType,
                                                     qint64 maxBytes, CancellationToken token);

    // responseDetails with the default size limit.
    QCoro::Task<NativeResponse> responseDetails(QString path, QString method, std::optional<QByteArray> body,
                                                QString contentType, CancellationToken token);

    // responseDetails with the content type "application/json".
    QCoro::Task<NativeResponse> responseDetails(QString path, QString method, std::optional<QByteArray> body,
                                                qint64 maxBytes, CancellationToken token);

    // stream with an `onOpen` that does nothing.
    QCoro::Task<> stream(QString path, LineHandler onLine, CancellationToken token);

    // Decodes a success body; a body that does not decode becomes "The server returned an
    // unsupported response."
    template <typename T> static T decodeBody(const QByteArray &data) {
        try {
            return decodeJson<T>(data);
        } catch (const JsonDecodeError &) {
            throw NativeClientError::message(QStringLiteral("The server returned an unsupported response."));
        }
    }
};
