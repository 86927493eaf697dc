#pragma once

#include "connection/NativeSession.h"
#include "connection/NativeTransport.h"
#include "connection/NativeTransportOutcome.h"

#include <QNetworkRequest>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class NativeReply;
class QNetworkAccessManager;
class QNetworkReply;

// How long a transfer may wait. `idle` is the longest wait for more data (Qt's transfer timeout);
// `request` bounds a whole request, or only the wait for the head of a download or event stream.
struct NativeHTTPTimeouts {
    std::chrono::milliseconds idle{30'000};
    std::chrono::milliseconds request{60'000};
};

// The HTTP client of one account: bound to one origin and at most one session cookie. It never
// follows redirects, sends no cookie but its own, uses no cache, and refuses paths that leave its
// origin. Owned through std::shared_ptr; every operation keeps the client alive until it ends, so
// dropping the client does not cancel requests in flight.
//
// Ordinary requests and downloads share one QNetworkAccessManager (at most six connections to the
// origin). Each event stream gets a manager of its own, because a stream stays open for as long as
// the sheet is watched and must never hold one of those six connections.
class NativeHTTP final : public NativeTransport, public std::enable_shared_from_this<NativeHTTP> {
    struct Passkey {};

public:
    // Validates the address a user typed and returns its origin (scheme, host, optional port, no
    // path). Throws NativeClientError "Enter your server’s HTTPS address, without a page path."
    static QUrl origin(const QString &typed);

    // The origin is taken as given; callers validate it first with origin(QString).
    static std::shared_ptr<NativeHTTP> create(QUrl origin, std::optional<NativeSession> credential,
                                              NativeTransportObserver observer = {},
                                              NativeHTTPTimeouts timeouts = {});
    NativeHTTP(Passkey, QUrl origin, std::optional<NativeSession> credential,
               NativeTransportObserver observer, NativeHTTPTimeouts timeouts);
    ~NativeHTTP() override;

    QUrl origin() const override { return m_origin; }
    const std::optional<NativeSession> &credential() const { return m_credential; }

    using NativeTransport::responseDetails;
    using NativeTransport::stream;

    QCoro::Task<NativeResponse> responseDetails(QString path, QString method, std::optional<QByteArray> body,
                                                QString contentType, qint64 maxBytes,
                                                CancellationToken token) override;
    QCoro::Task<> stream(QString path, OpenHandler onOpen, LineHandler onLine,
                         CancellationToken token) override;
    // `destination` is an absolute local path or a file URL. The body goes to a temporary file
    // beside it, is never held in memory, and is moved there (mode 0600) only when complete; an
    // existing file is never replaced. File failures throw std::filesystem::filesystem_error.
    QCoro::Task<> download(QString path, QString destination, CancellationToken token) override;

private:
    QNetworkAccessManager *makeManager() const;
    QNetworkRequest makeRequest(const QString &path, bool hasBody, const QString &contentType) const;
    QNetworkReply *send(const QNetworkRequest &request, const QString &method,
                        const std::optional<QByteArray> &body) const;
    void report(const NativeTransportOutcome &outcome) const;
    // Waits for the head and tells the observer its status.
    QCoro::Task<> awaitHead(NativeReply &reply) const;
    QCoro::Task<QByteArray> readBody(NativeReply &reply, qint64 maxBytes) const;
    // Classifies a failure of URL loading, tells the observer when it means offline, and throws it.
    [[noreturn]] void rethrowClassified(std::exception_ptr error) const;

    QUrl m_origin;
    std::optional<NativeSession> m_credential;
    NativeTransportObserver m_observer;
    NativeHTTPTimeouts m_timeouts;
    std::unique_ptr<QNetworkAccessManager> m_manager;
};
