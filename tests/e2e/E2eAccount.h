#pragma once

#include "FakeClipboard.h"
#include "ServerProcess.h"

#include "async/CancellationSource.h"
#include "connection/NativeHTTP.h"
#include "sheet/SheetModel.h"

#include <memory>

// A running tabrel-server with one signed-in account, and the client objects an application would
// build on that session.
class E2eAccount {
public:
    // Starts the server and signs in; check ok() and error().
    explicit E2eAccount(ServerProcess::Options options = {});

    bool ok() const { return m_session.has_value(); }
    QString error() const { return m_error; }
    ServerProcess &server() { return m_server; }
    QUrl origin() const { return QUrl(QString::fromStdString(m_server.origin())); }
    const ServerSession &session() const { return *m_session; }
    NativeSession nativeSession() const;
    TestClient testClient() const { return m_server.client(m_session); }

    // A fresh transport on the account's session, as the application makes one per account.
    std::shared_ptr<NativeHTTP> client() const;
    // A model on `client` (a transport of its own when none is given); the clipboard is in memory
    // and text measures 7 points per character.
    std::shared_ptr<SheetModel> model(std::shared_ptr<NativeTransport> client = {},
                                      SheetModelEnvironment environment = {}) const;
    // A model of its own opened on `sheet`: what another client sees now.
    std::shared_ptr<SheetModel> opened(const SheetSummary &sheet) const;
    // The raw text the server holds in a cell.
    QString serverRaw(quint64 sheet, qint64 r, qint64 c) const;
    // Creates a sheet through the API, renamed to `title` when one is given, and returns its summary.
    std::optional<SheetSummary> createSheet(const QString &title = {});

private:
    ServerProcess m_server;
    std::optional<ServerSession> m_session;
    QString m_error;
};

// Watches a model's sheet in the background until the returned source is cancelled.
std::shared_ptr<CancellationSource> startWatching(const std::shared_ptr<SheetModel> &model);
