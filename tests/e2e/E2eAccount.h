#pragma once

#include "ServerProcess.h"

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
    TestClient testClient() const { return m_server.client(m_session); }

    // A fresh transport on the account's session, as the application makes one per account.
    std::shared_ptr<NativeHTTP> client() const;
    // A model on `client` (a transport of its own when none is given); the clipboard is in memory
    // and text measures 7 points per character.
    std::shared_ptr<SheetModel> model(std::shared_ptr<NativeTransport> client = {},
                                      SheetModelEnvironment environment = {}) const;
    // Creates a sheet through the API and returns its summary.
    std::optional<SheetSummary> createSheet();

private:
    ServerProcess m_server;
    std::optional<ServerSession> m_session;
    QString m_error;
};

// An in-memory clipboard for models in end-to-end tests.
class MemoryClipboard final : public SheetClipboard {
public:
    std::optional<QString> text() const override { return m_text; }
    void setText(const QString &text) override { m_text = text; }

private:
    std::optional<QString> m_text;
};
