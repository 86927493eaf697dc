#pragma once

#include <QCoroTask>
#include <QLocalServer>
#include <QObject>
#include <QUrl>

#include <chrono>

class QLocalSocket;

// Keeps one running instance per user for the sign-in callback. The browser starts the application
// again with the callback URL; that second instance forwards the URL to the running one over a
// local socket and exits, and the running one hands it on through urlReceived (to
// NativeConnection::handleOpenURL).
//
// Wire: the forwarding side sends the URL's encoded text and a line feed; the running side answers
// "ok" and a line feed once it has taken the URL, then closes. Lines longer than maxLineBytes are
// refused without an answer.
class NativeSignInCallbackRelay : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 maxLineBytes = 8192;

    // The per-user socket: in $XDG_RUNTIME_DIR when it is a private folder, else in a private folder
    // of the user's cache; empty when neither can be had.
    static QString defaultName();

    explicit NativeSignInCallbackRelay(QString name, QObject *parent = nullptr);
    ~NativeSignInCallbackRelay() override;

    // Becomes the running instance. False when another live instance already listens, or when the
    // name is not a path in a private folder; a socket left behind by an instance that crashed is
    // replaced. Instances that start together decide in turn, under a lock file beside the socket.
    // Only peers running as the same user are served.
    bool listen();
    bool isListening() const { return m_server.isListening(); }

    // Hands `url` to the running instance. True once that instance confirmed it; false when none
    // listens or it did not answer within `timeout`.
    static QCoro::Task<bool> forward(QString name, QUrl url,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(5));

Q_SIGNALS:
    void urlReceived(const QUrl &url);

private:
    void acceptConnections();
    void readFrom(QLocalSocket *socket);

    QString m_name;
    QLocalServer m_server;
};
