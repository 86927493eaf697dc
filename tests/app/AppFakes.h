#pragma once

#include "connection/NativeTransport.h"

// A transport that only has an origin: for registry tests, which never send a request.
class OriginOnlyTransport final : public NativeTransport {
public:
    explicit OriginOnlyTransport(QUrl origin) : m_origin(std::move(origin)) {}
    QUrl origin() const override { return m_origin; }
    QCoro::Task<NativeResponse> responseDetails(QString, QString, std::optional<QByteArray>, QString, qint64,
                                                CancellationToken) override {
        throw NativeClientError::message(QStringLiteral("no requests here"));
    }
    QCoro::Task<> stream(QString, OpenHandler, LineHandler, CancellationToken) override { co_return; }
    QCoro::Task<> download(QString, QString, CancellationToken) override { co_return; }

private:
    QUrl m_origin;
};
