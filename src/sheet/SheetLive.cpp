// Live updates: the open tab's event stream, merged with the same version rules as writes.
#include "sheet/SheetModel.h"

#include "async/CancellationError.h"
#include "connection/NativeReconnect.h"

namespace {
const QString offlineText = QStringLiteral("Offline");

bool isOfflineError(std::exception_ptr error) {
    const auto clientError = NativeClientError::from(error);
    return clientError && clientError->kind() == NativeClientError::Case::offline;
}

bool isCancellation(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError &) {
        return true;
    } catch (...) {
        return false;
    }
}
} // namespace

QCoro::Task<> SheetModel::watch(CancellationToken token) {
    auto self = shared_from_this();
    if (!m_page)
        co_return;
    if (!m_connectivity)
        m_connectivity = NativeConnectivity::shared();
    const QString source = grid();
    const QUrl origin = m_client->origin();
    auto reconnect = std::make_shared<NativeReconnect>(m_connectivity, Backoff(), m_reconnectClock, origin);
    while (!token.isCancelled() && grid() == source) {
        setLive(m_connectivity->isOffline(origin) ? offlineText : QStringLiteral("Connecting"));
        auto parser = std::make_shared<SheetEventParser>();
        const std::weak_ptr<SheetModel> weak = self;
        // Named, not built inside the co_await: GCC 12 would destroy the temporaries twice.
        NativeTransport::OpenHandler onOpen = [weak, reconnect, source, token]() -> QCoro::Task<> {
            reconnect->opened();
            if (auto model = weak.lock())
                co_await model->streamOpened(source, token);
        };
        NativeTransport::LineHandler onLine = [weak, parser, source,
                                               token](QByteArray line) -> QCoro::Task<> {
            std::optional<SheetEvent> event = parser->receive(line);
            if (!event)
                co_return;
            if (auto model = weak.lock())
                co_await model->received(std::move(*event), source, token);
        };
        std::exception_ptr failure;
        try {
            co_await m_client->stream(source + QStringLiteral("/stream"), onOpen, onLine, token);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            // The server ended the stream; no pause when it was for a tab no longer open.
            if (token.isCancelled() || grid() != source)
                co_return;
            if (m_live == QStringLiteral("Access changed") || m_live == QStringLiteral("Paused"))
                co_return;
            if (!m_connectivity->isPathSatisfied(origin))
                setLive(offlineText);
        } else {
            if (isCancellation(failure) || token.isCancelled() || grid() != source)
                co_return;
            reconnect->failed(failure);
            const bool offline = isOfflineError(failure) || m_connectivity->isOffline(origin) ||
                                 !m_connectivity->isPathSatisfied(origin);
            setLive(offline ? offlineText : QStringLiteral("Reconnecting"));
        }
        co_await reconnect->pause(token);
    }
}

QCoro::Task<> SheetModel::streamOpened(QString source, CancellationToken token) {
    auto self = shared_from_this();
    if (token.isCancelled() || grid() != source)
        co_return;
    co_await refresh(token);
    if (!token.isCancelled() && grid() == source)
        setLive(QStringLiteral("Live"));
}

QCoro::Task<> SheetModel::received(SheetEvent event, QString source, CancellationToken token) {
    auto self = shared_from_this();
    if (token.isCancelled() || grid() != source)
        co_return;
    if (event.name == "cells") {
        setLive(QStringLiteral("Live"));
        std::optional<GridResponse> response;
        try {
            response = co_await m_wire.decodeGridResponse(event.data);
        } catch (const NativeClientError &) {
        }
        if (token.isCancelled() || grid() != source)
            co_return;
        if (response)
            co_await accept(std::move(*response), token);
        else
            co_await refresh(token); // an event we cannot read: reload instead
    } else if (event.name == "resync") {
        co_await refresh(token);
    } else if (event.name == "bye") {
        if (event.data.contains("access-changed")) {
            setLive(QStringLiteral("Access changed"));
            replaceGrid({}, {}, m_sizes);
            setError(QStringLiteral("Your access changed. Reopen the sheet to continue."));
        } else if (event.data.contains("idle")) {
            setLive(QStringLiteral("Paused"));
        }
    } else {
        setLive(QStringLiteral("Live"));
    }
}
