#pragma once

#include "connection/NativeConnection.h"
#include "connection/NativeTransport.h"

#include <QList>

#include <functional>
#include <memory>
#include <stdexcept>

// One request as a scripted client saw it.
struct ScriptedRequest {
    QUrl origin;
    std::optional<NativeSession> credential;
    QString method;
    QString path;
    std::optional<QByteArray> body;
    QString contentType;
    qint64 maxBytes = 0;
};

// Answers every request of every client a connection makes; may suspend or throw.
using ScriptedHandler = std::function<QCoro::Task<NativeResponse>(ScriptedRequest)>;

// The clients a connection made, and every request they sent, in order.
class ScriptedServer {
public:
    ScriptedHandler handler;
    QList<ScriptedRequest> requests;
    QList<std::pair<QUrl, std::optional<NativeSession>>> clients;

    // A factory that makes clients answering through `handler`.
    NativeConnection::ClientFactory factory();
    QList<ScriptedRequest> requestsTo(const QString &path) const;
};

// A client whose every request goes to its ScriptedServer.
class ScriptedTransport : public NativeTransport {
public:
    ScriptedTransport(ScriptedServer *server, QUrl origin, std::optional<NativeSession> credential)
        : m_server(server), m_origin(std::move(origin)), m_credential(std::move(credential)) {}

    QUrl origin() const override { return m_origin; }
    const std::optional<NativeSession> &credential() const { return m_credential; }
    QCoro::Task<NativeResponse> responseDetails(QString path, QString method, std::optional<QByteArray> body,
                                                QString contentType, qint64 maxBytes,
                                                CancellationToken token) override;
    QCoro::Task<> stream(QString, OpenHandler, LineHandler, CancellationToken) override {
        throw std::logic_error("ScriptedTransport::stream is not scripted");
    }
    QCoro::Task<> download(QString, QString, CancellationToken) override {
        throw std::logic_error("ScriptedTransport::download is not scripted");
    }

private:
    ScriptedServer *m_server;
    QUrl m_origin;
    std::optional<NativeSession> m_credential;
};

inline NativeResponse answer(int status, const QByteArray &body = {}) {
    return NativeResponse(body, status, {});
}
