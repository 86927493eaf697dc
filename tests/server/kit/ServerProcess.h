#pragma once

#include "TestClient.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>
#include <string>

// Runs tabrel-server as a child process on a free loopback port with its own data folder, and
// signs people in the way the application and a browser would. For server tests and for
// end-to-end tests of the client: start(), addUser(), signIn(), then client(session).
class ServerProcess {
public:
    struct Options {
        QString binary;             // default: the build's tabrel-server, or $TABREL_SERVER
        QStringList extraArguments; // e.g. {"--idle-timeout", "2"}
        QString dataDir;            // default: a temporary folder removed with this object
    };

    // The browser flow, step by step, for tests that look at each step.
    struct SignInRequest {
        std::string id;
        std::string verifier;
        std::string challenge;
    };

    static constexpr const char *callback = "x-tabrel-test://signin";

    explicit ServerProcess(Options options = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Starts the server and waits until it listens. False with errorString() otherwise.
    bool start();
    // SIGTERM, then waits for a clean exit. True when it exited with status 0.
    bool stop();
    bool restart() { return stop() && start(); }
    // SIGKILL: the server ends at once, as in a crash, with no chance to finish anything.
    void kill();
    bool running() const;

    int port() const { return m_port; }
    // The origin the server prints, as the application would be configured with it.
    std::string origin() const { return m_origin; }
    QString dataDir() const { return m_dataDir; }
    // What the server printed in its current or last run, after what the commands run here printed.
    QString output() const;
    QString errorString() const { return m_error; }
    QStringList arguments() const;

    // Runs "tabrel-server add-user" on the same data folder (the server may be running).
    bool addUser(const QString &email, const QString &name, const QString &password);
    // Runs tabrel-server once more with these arguments (a command such as "unlock"); returns its
    // exit code, or -1 when it did not finish. `childSetup` runs in the child before the program.
    int run(const QStringList &arguments, QString *output = nullptr,
            const std::function<void()> &childSetup = {});

    TestClient client(const std::optional<ServerSession> &session = std::nullopt) const;

    // The whole sign-in: request, approval through the page's form, exchange. Empty on failure.
    std::optional<ServerSession> signIn(const std::string &email, const std::string &password);
    std::optional<SignInRequest> requestSignIn();
    // Posts the approval form as a browser would; returns the HTTP status (303 when approved).
    int approve(const std::string &id, const std::string &email, const std::string &password,
                std::string *location = nullptr);

    static std::string base64url(const QByteArray &bytes);

private:
    QString binary() const;
    QString logPath() const;

    Options m_options;
    std::unique_ptr<QTemporaryDir> m_temporary;
    QString m_dataDir;
    std::unique_ptr<QProcess> m_process;
    QTemporaryDir m_logFolder;
    QString m_output; // from add-user
    QString m_error;
    int m_port = 0;
    std::string m_origin;
};
