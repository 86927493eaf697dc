#pragma once

#include <QCoroTask>
#include <QUrl>
#include <QUuid>

#include <functional>

// Shows the server's approval page in the user's browser. The browser comes back to the
// application through the callback URL, which the application hands to
// NativeConnection::handleOpenURL; on this platform the browser is a separate program, so closing
// its page cannot be observed and cancelling only makes earlier sessions stale.
class NativeBrowserSignIn {
public:
    // Opens a URL outside the application; resolves to true when the system could open it.
    using Opener = std::function<QCoro::Task<bool>(QUrl)>;

    explicit NativeBrowserSignIn(Opener opener);

    // Cancels any earlier session, then opens `url`. Resolves to whether the page could be opened;
    // an answer that arrives after a later start or cancel leaves the session inactive.
    QCoro::Task<bool> start(QUrl url, QString scheme);
    // Ends the current session, if any. The page itself stays open in the browser.
    void cancel();

    // Replaced at every start and cancel.
    QUuid generation() const { return m_generation; }
    bool isActive() const { return m_active; }

private:
    Opener m_opener;
    QUuid m_generation = QUuid::createUuid();
    bool m_active = false;
};
