#include "connection/NativeReply.h"

#include "async/CancellationError.h"
#include "connection/UrlError.h"

#include <simdjson.h>

#include <algorithm>

namespace {
// Qt raises these for 4xx and 5xx answers; with an HTTP head they only restate the status.
bool restatesStatus(QNetworkReply::NetworkError error) {
    const int code = static_cast<int>(error);
    return (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError) ||
           error == QNetworkReply::ProtocolInvalidOperationError ||
           (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
}

bool isUtf8(const QByteArray &bytes) {
    return simdjson::validate_utf8(bytes.constData(), static_cast<size_t>(bytes.size()));
}
} // namespace

NativeReply::NativeReply(QNetworkReply *reply, CancellationToken token,
                         std::chrono::milliseconds requestLimit)
    : m_reply(reply), m_token(std::move(token)), m_requestTimer(new QTimer(m_context.get())) {
    QObject *context = m_context.get();
    m_finished = reply->isFinished();
    QObject::connect(reply, &QNetworkReply::metaDataChanged, context, [this] { wake(); });
    QObject::connect(reply, &QNetworkReply::readyRead, context, [this] { wake(); });
    QObject::connect(reply, &QNetworkReply::finished, context, [this] {
        m_finished = true;
        wake();
    });
    m_requestTimer->setSingleShot(true);
    QObject::connect(m_requestTimer, &QTimer::timeout, context, [this] {
        m_timedOut = true;
        abortTransfer();
        wake();
    });
    m_requestTimer->start(requestLimit);
    m_cancelRegistration = m_token.onCancel([this] {
        abortTransfer();
        wake();
    });
}

NativeReply::~NativeReply() {
    m_cancelRegistration = CancellationRegistration();
    m_wait->waiting = {};
    m_requestTimer->stop();
    if (m_reply) {
        QObject::disconnect(m_reply, nullptr, m_context.get(), nullptr);
        if (!m_reply->isFinished())
            m_reply->abort();
        m_reply->deleteLater();
    }
}

void NativeReply::wake() {
    WaitState &state = *m_wait;
    state.woken = true;
    if (!state.waiting || state.resumeQueued)
        return;
    // Resume from the event loop, never from inside one of the reply's own signals.
    state.resumeQueued = true;
    QMetaObject::invokeMethod(
        m_context.get(),
        [shared = m_wait] {
            shared->resumeQueued = false;
            if (auto handle = std::exchange(shared->waiting, {}))
                handle.resume();
        },
        Qt::QueuedConnection);
}

void NativeReply::abortTransfer() {
    if (m_reply && !m_reply->isFinished()) {
        m_reply->abort();
    }
}

void NativeReply::stopRequestTimer() {
    m_requestTimer->stop();
}

bool NativeReply::hasHead() const {
    return m_reply && m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

void NativeReply::throwIfStopped() const {
    m_token.throwIfCancelled();
    if (m_timedOut)
        throw UrlError(UrlErrorCode::timedOut);
    if (!m_reply)
        throw UrlError(UrlErrorCode::cancelled);
    if (!m_finished)
        return;
    const auto error = m_reply->error();
    if (error == QNetworkReply::NoError || (hasHead() && restatesStatus(error)))
        return;
    // Qt aborts a reply whose idle time ran out (setTransferTimeout) as if it had been cancelled;
    // our own aborts (cancellation, the request timer) were reported above.
    if (error == QNetworkReply::OperationCanceledError)
        throw UrlError(UrlErrorCode::timedOut);
    throw UrlError(urlErrorCodeFor(error));
}

QCoro::Task<> NativeReply::head() {
    for (;;) {
        throwIfStopped();
        if (hasHead())
            co_return;
        if (m_finished)
            throw NativeClientError::invalidResponse();
        co_await changed();
    }
}

QCoro::Task<QByteArray> NativeReply::read(qint64 maxBytes) {
    for (;;) {
        m_token.throwIfCancelled();
        if (m_timedOut)
            throw UrlError(UrlErrorCode::timedOut);
        if (m_reply && m_reply->bytesAvailable() > 0)
            co_return m_reply->read(std::min(maxBytes, m_reply->bytesAvailable()));
        if (m_finished || !m_reply) {
            throwIfStopped();
            co_return QByteArray();
        }
        co_await changed();
    }
}

int NativeReply::status() const {
    return m_reply ? m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

NativeHeaders NativeReply::headers() const {
    NativeHeaders result;
    if (!m_reply)
        return result;
    for (const auto &[name, value] : m_reply->rawHeaderPairs()) {
        if (isUtf8(name) && isUtf8(value))
            result.insert(QString::fromUtf8(name).toLower(), QString::fromUtf8(value));
    }
    return result;
}
