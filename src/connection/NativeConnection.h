#pragma once

#include "async/CancellationSource.h"
#include "async/CancellationToken.h"
#include "connection/NativeAccount.h"
#include "connection/NativeAccountSettings.h"
#include "connection/NativeBrowserSignIn.h"
#include "connection/NativeClock.h"
#include "connection/NativeConnectivity.h"
#include "connection/NativeSession.h"
#include "connection/NativeSignInProof.h"
#include "connection/NativeTransport.h"
#include "connection/NativeTransportOutcome.h"

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSettings>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

// The accounts of the application and the client of the active one; runs the browser sign-in.
//
// Sign-in: asks the server for a sign-in request with a proof key, opens the approval page in the
// browser, shows a comparison code and polls until the server hands over a session, which becomes
// a new active account. A sign-in ends with a new active account, or with `error` set, or silently
// when cancelled (cancel, signIn, selectAccount, showAccounts and signOut all cancel it).
//
// Lives on the GUI thread and is owned by std::shared_ptr; every running operation keeps it alive.
class NativeConnection : public QObject, public std::enable_shared_from_this<NativeConnection> {
    Q_OBJECT
    Q_PROPERTY(QString serverAddress READ serverAddress WRITE setServerAddress NOTIFY serverAddressChanged)
    Q_PROPERTY(std::shared_ptr<NativeTransport> client READ client NOTIFY clientChanged)
    Q_PROPERTY(bool signingIn READ signingIn NOTIFY signingInChanged)
    Q_PROPERTY(QString code READ code NOTIFY codeChanged)
    Q_PROPERTY(std::optional<QUrl> browserURL READ browserURL NOTIFY browserURLChanged)
    Q_PROPERTY(QString error READ error WRITE setError NOTIFY errorChanged)
    Q_PROPERTY(QList<NativeAccount> accounts READ accounts NOTIFY accountsChanged)
    Q_PROPERTY(std::optional<QString> activeAccountID READ activeAccountID NOTIFY activeAccountIDChanged)
    Q_PROPERTY(QString accountName READ accountName WRITE setAccountName NOTIFY accountNameChanged)
    Q_PROPERTY(bool waitingForKeyring READ waitingForKeyring NOTIFY waitingForKeyringChanged)
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)

public:
    // Makes the client of one origin, with or without a session, reporting to `observer`.
    using ClientFactory = std::function<std::shared_ptr<NativeTransport>(
        const QUrl &origin, const std::optional<NativeSession> &credential,
        NativeTransportObserver observer)>;
    // Opens the approval page; resolves to whether it could.
    using Opener = std::function<QCoro::Task<bool>(QUrl)>;

    // What the connection needs from outside. Tests replace any of them; empty members get the
    // defaults named here.
    struct Services {
        ClientFactory makeClient;                   // default: NativeHTTP
        NativeBrowserSignIn::Opener openBrowser;    // no default: without it `signIn()` cannot open a page
        std::shared_ptr<NativeClock> clock;         // times the approval wait; default: the system clock
        NativeSignInProof::RandomBytes randomBytes; // default: the system's secure generator
    };

    static constexpr double approvalSeconds = 300;
    static constexpr double pollSeconds = 2;
    static constexpr auto callbackSchemePrefix = "net.brevane.tabrel.";

    // The server a new installation offers. Without a scheme argument a connection uses the build's
    // TABREL_CALLBACK_SCHEME, the one the desktop file registers, whatever the server.
    static QString defaultServer();
    // The prefix followed by the first label of the server's host ("app" when it has none); characters
    // a URL scheme may not hold are left out.
    static QString defaultCallbackScheme(const QString &server);

    // Reads the server address and the account list from `defaults`. Every client reports to
    // `connectivity` (the shared instance when none is given). Call start() next.
    static std::shared_ptr<NativeConnection>
    create(const QString &defaultServer, const std::optional<QString> &callbackScheme,
           std::shared_ptr<QSettings> defaults, std::shared_ptr<NativeConnectivity> connectivity = nullptr,
           Services services = {});
    ~NativeConnection() override;

    // Moves a session stored by the single-server layout into an account when there are no
    // accounts, then reopens the stored active account (or the first one). Ends once the secret
    // store has answered.
    QCoro::Task<> start();

    const QString &serverAddress() const { return m_serverAddress; }
    void setServerAddress(const QString &address);
    const std::shared_ptr<NativeTransport> &client() const { return m_client; }
    bool signingIn() const { return m_signingIn; }
    const QString &code() const { return m_code; }
    const std::optional<QUrl> &browserURL() const { return m_browserURL; }
    const QString &error() const { return m_error; }
    void setError(const QString &error);
    const QList<NativeAccount> &accounts() const { return m_accounts; }
    const std::optional<QString> &activeAccountID() const { return m_activeAccountID; }
    const QString &accountName() const { return m_accountName; }
    void setAccountName(const QString &name);
    // True while an operation waits for the secret store (for example for an unlock prompt);
    // cancelKeyringWait() gives up waiting, and the operation then reports that the store did not
    // answer. keyringName() names the store for the message shown meanwhile.
    bool waitingForKeyring() const { return m_keyringCalls > 0; }
    void cancelKeyringWait();
    static QString keyringName();
    // A standing remark about the active account, empty when there is none: an account signed in
    // while no secret store was available lives only until the application quits.
    const QString &notice() const { return m_notice; }

    const QString &callbackScheme() const { return m_callbackScheme; }
    const NativeBrowserSignIn &browser() const { return m_browser; }
    const std::optional<QString> &pendingID() const { return m_pendingID; }
    const std::shared_ptr<NativeConnectivity> &connectivity() const { return m_connectivity; }

    // Starts a sign-in that opens the approval page in the system browser.
    void signIn();
    // Starts a sign-in whose approval page `open` shows. Cancels any sign-in in progress first.
    void signIn(Opener open);
    // Opens the waiting sign-in's approval page (browserURL) once more; offered for as long as the
    // sign-in waits, as the browser may not have opened, or its page may have been closed.
    void openBrowserAgain();
    // Stops a running sign-in and resets its fields, without an error.
    void cancel();
    // The browser came back with `url`. Only the callback of the running sign-in counts: it closes
    // the approval page, and polling then fetches the session. Any other URL is ignored.
    void handleOpenURL(const QUrl &url);

    // Makes the account active with its stored session. Without one, `error` says the account needs
    // to sign in again and the previous client stays. Ends once the secret store has answered; a
    // later choice made meanwhile wins.
    QCoro::Task<> selectAccount(NativeAccount account);
    // Leaves the active account without signing out; the next start reopens it.
    void showAccounts();
    // Forgets the active account once its stored session is deleted, and tells the server in the
    // background. When the store cannot delete it (locked, not answering), nothing changes and
    // `error` says why.
    QCoro::Task<> signOut();

Q_SIGNALS:
    void serverAddressChanged();
    void clientChanged();
    void signingInChanged();
    void codeChanged();
    void browserURLChanged();
    void errorChanged();
    void accountsChanged();
    void activeAccountIDChanged();
    void accountNameChanged();
    void waitingForKeyringChanged();
    void noticeChanged();

private:
    NativeConnection(const QString &defaultServer, const std::optional<QString> &callbackScheme,
                     std::shared_ptr<QSettings> defaults, std::shared_ptr<NativeConnectivity> connectivity,
                     Services services);

    template <typename T> void assign(T &member, T value, void (NativeConnection::*changed)());
    void setClient(std::shared_ptr<NativeTransport> client);
    void setSigningIn(bool signingIn);
    void setCode(const QString &code);
    void setBrowserURL(std::optional<QUrl> url);
    void setAccounts(QList<NativeAccount> accounts);
    void setActiveAccountID(std::optional<QString> id);

    void reloadAccounts();
    // Applies `change` to the stored list under the settings lock and publishes the result, with
    // the accounts that live only in memory in front.
    void updateAccounts(const std::function<void(QList<NativeAccount> &)> &change);
    void setNotice(const QString &notice);
    // Counts an operation that waits for the secret store; the token ends with cancelKeyringWait().
    class KeyringWait;
    std::optional<NativeSession> memorySession(const NativeAccount &account) const;
    QCoro::Task<> migrateSingleServerLayout();

    std::shared_ptr<NativeTransport> makeClient(const QUrl &origin,
                                                const std::optional<NativeSession> &credential);
    QCoro::Task<> runSignIn(Opener open, CancellationToken token);
    QCoro::Task<> signInSteps(Opener open, CancellationToken token);
    QCoro::Task<NativeSession> pollForSession(std::shared_ptr<NativeTransport> client, QUrl origin,
                                              QString id, QString verifier, CancellationToken token);
    QCoro::Task<> rememberSession(NativeSession session, QUrl origin, QString name, CancellationToken token);
    QCoro::Task<> reopenBrowser(Opener open, QUrl url, QString id);
    // Forgets the sign-in in progress: its id, task, browser session and published state.
    void endSignIn();
    void failSignIn(const QString &message);
    static QCoro::Task<> sendSignOut(std::shared_ptr<NativeTransport> client);

    Services m_services;
    std::shared_ptr<NativeConnectivity> m_connectivity;
    NativeAccountSettings m_settings;
    QString m_callbackScheme;
    NativeBrowserSignIn m_browser;
    std::optional<QString> m_pendingID;
    Opener m_opener; // the running sign-in's, for openBrowserAgain
    std::shared_ptr<CancellationSource> m_task;
    std::shared_ptr<CancellationSource> m_keyringWait;
    int m_keyringCalls = 0;
    // Accounts signed in while no secret store was available, with their sessions: kept for this
    // run only, never written to the settings.
    QList<NativeAccount> m_memoryAccounts;
    QHash<QString, NativeSession> m_memorySessions;
    QString m_notice;
    // Advances whenever the active account changes, so that a slow selection that lost the race
    // does not overwrite a later choice.
    quint64 m_selection = 0;

    QString m_serverAddress;
    std::shared_ptr<NativeTransport> m_client;
    bool m_signingIn = false;
    QString m_code;
    std::optional<QUrl> m_browserURL;
    QString m_error;
    QList<NativeAccount> m_accounts;
    std::optional<QString> m_activeAccountID;
    QString m_accountName;
};
