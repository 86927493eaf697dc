#include "connection/NativeConnection.h"

#include "async/CancellationError.h"
#include "async/DetachedTask.h"
#include "connection/JsonReader.h"
#include "connection/NativeCredentials.h"
#include "connection/NativeHTTP.h"

#include <QUrlQuery>

#include <nlohmann/json.hpp>

namespace {

const QString jsonType = QStringLiteral("application/json");

QString invalidSignInResponse() {
    return QStringLiteral("Invalid sign-in response.");
}
QString signInRefused() {
    return QStringLiteral("Sign-in expired or was refused. Please try again.");
}
QString needsSignIn() {
    return QStringLiteral("This account needs to sign in again.");
}
QString couldNotOpenBrowser() {
    return QStringLiteral("Could not open your browser.");
}
QString rememberedForThisRun() {
    return QStringLiteral("You are signed in until you quit: this session cannot be remembered until a "
                          "keyring is available.");
}

// What the keyring shows for an account's item.
QString itemLabel(const NativeAccount &account) {
    return QStringLiteral("%1 on %2 (Brevane Tabrel)")
        .arg(account.name, NativeAccount::originString(account.origin));
}

// The answer to a sign-in request.
struct Begin {
    QString id;
    static Begin decode(const JsonObject &object) { return Begin{object.requiredString("id")}; }
};

// The cookie name the server must use: the "__Host-" prefix binds it to the secure origin.
QString expectedCookieName(const QUrl &origin) {
    return origin.scheme() == QLatin1String("https") ? QStringLiteral("__Host-larkspan_session")
                                                     : QStringLiteral("larkspan_session");
}

bool acceptable(const NativeSession &session, const QUrl &origin) {
    return session.name == expectedCookieName(origin) && NativeSignInProof::valid(session.value);
}

} // namespace

QString NativeConnection::defaultServer() {
    return QStringLiteral("https://sheets.brevane.net");
}

QString NativeConnection::defaultCallbackScheme(const QString &server) {
    const QUrl url(server, QUrl::StrictMode);
    QString label = url.isValid() ? url.host().section(u'.', 0, 0).toLower() : QString();
    // An IPv6 host would put ":" into the scheme; keep only what a scheme may hold.
    label.removeIf([](QChar c) {
        return !((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.');
    });
    return QLatin1String(callbackSchemePrefix) + (label.isEmpty() ? QStringLiteral("app") : label);
}

std::shared_ptr<NativeConnection> NativeConnection::create(const QString &defaultServer,
                                                           const std::optional<QString> &callbackScheme,
                                                           std::shared_ptr<QSettings> defaults,
                                                           std::shared_ptr<NativeConnectivity> connectivity,
                                                           Services services) {
    return std::shared_ptr<NativeConnection>(new NativeConnection(
        defaultServer, callbackScheme, std::move(defaults), std::move(connectivity), std::move(services)));
}

NativeConnection::NativeConnection(const QString &defaultServer, const std::optional<QString> &callbackScheme,
                                   std::shared_ptr<QSettings> defaults,
                                   std::shared_ptr<NativeConnectivity> connectivity, Services services)
    : m_services(std::move(services)),
      m_connectivity(connectivity ? std::move(connectivity) : NativeConnectivity::shared()),
      m_settings(std::move(defaults)),
      m_callbackScheme(callbackScheme.value_or(QStringLiteral(TABREL_CALLBACK_SCHEME))),
      m_browser(m_services.openBrowser) {
    if (!m_services.makeClient) {
        m_services.makeClient = [](const QUrl &origin, const std::optional<NativeSession> &credential,
                                   NativeTransportObserver observer) -> std::shared_ptr<NativeTransport> {
            return NativeHTTP::create(origin, credential, std::move(observer));
        };
    }
    if (!m_services.clock)
        m_services.clock = NativeClock::system();
    if (!m_services.randomBytes)
        m_services.randomBytes = NativeSignInProof::systemRandomBytes;
    m_serverAddress = m_settings.server().value_or(defaultServer);
    reloadAccounts();
}

NativeConnection::~NativeConnection() {
    if (m_task)
        m_task->cancel();
}

template <typename T> void NativeConnection::assign(T &member, T value, void (NativeConnection::*changed)()) {
    if (member == value)
        return;
    member = std::move(value);
    Q_EMIT(this->*changed)();
}

void NativeConnection::setServerAddress(const QString &address) {
    assign(m_serverAddress, address, &NativeConnection::serverAddressChanged);
}
void NativeConnection::setError(const QString &error) {
    assign(m_error, error, &NativeConnection::errorChanged);
}
void NativeConnection::setAccountName(const QString &name) {
    assign(m_accountName, name, &NativeConnection::accountNameChanged);
}
void NativeConnection::setClient(std::shared_ptr<NativeTransport> client) {
    assign(m_client, std::move(client), &NativeConnection::clientChanged);
}
void NativeConnection::setSigningIn(bool signingIn) {
    assign(m_signingIn, signingIn, &NativeConnection::signingInChanged);
}
void NativeConnection::setCode(const QString &code) {
    assign(m_code, code, &NativeConnection::codeChanged);
}
void NativeConnection::setBrowserURL(std::optional<QUrl> url) {
    assign(m_browserURL, std::move(url), &NativeConnection::browserURLChanged);
}
void NativeConnection::setAccounts(QList<NativeAccount> accounts) {
    assign(m_accounts, std::move(accounts), &NativeConnection::accountsChanged);
}
void NativeConnection::setActiveAccountID(std::optional<QString> id) {
    assign(m_activeAccountID, std::move(id), &NativeConnection::activeAccountIDChanged);
}

class NativeConnection::KeyringWait {
public:
    explicit KeyringWait(NativeConnection &connection) : m_connection(connection) {
        if (!m_connection.m_keyringWait)
            m_connection.m_keyringWait = std::make_shared<CancellationSource>();
        m_source = m_connection.m_keyringWait;
        if (m_connection.m_keyringCalls++ == 0)
            Q_EMIT m_connection.waitingForKeyringChanged();
    }
    ~KeyringWait() {
        if (--m_connection.m_keyringCalls == 0)
            Q_EMIT m_connection.waitingForKeyringChanged();
    }
    KeyringWait(const KeyringWait &) = delete;
    KeyringWait &operator=(const KeyringWait &) = delete;
    CancellationToken token() const { return m_source->token(); }

private:
    NativeConnection &m_connection;
    std::shared_ptr<CancellationSource> m_source;
};

void NativeConnection::cancelKeyringWait() {
    // Waits that begin after this one get a fresh source.
    if (const auto waiting = std::exchange(m_keyringWait, nullptr))
        waiting->cancel();
}

QString NativeConnection::keyringName() {
    return NativeSecretService::providerName();
}

void NativeConnection::setNotice(const QString &notice) {
    assign(m_notice, notice, &NativeConnection::noticeChanged);
}

std::optional<NativeSession> NativeConnection::memorySession(const NativeAccount &account) const {
    const auto found = m_memorySessions.constFind(account.key());
    if (found == m_memorySessions.constEnd())
        return std::nullopt;
    return *found;
}

// Another window or another running instance may have changed the list since we last looked.
void NativeConnection::reloadAccounts() {
    if (auto stored = m_settings.accounts())
        setAccounts(m_memoryAccounts + *stored);
}

void NativeConnection::updateAccounts(const std::function<void(QList<NativeAccount> &)> &change) {
    QList<NativeAccount> stored = m_accounts;
    stored.removeIf([this](const NativeAccount &account) { return m_memoryAccounts.contains(account); });
    stored = m_settings.updateAccounts(change, stored);
    setAccounts(m_memoryAccounts + stored);
}

std::shared_ptr<NativeTransport>
NativeConnection::makeClient(const QUrl &origin, const std::optional<NativeSession> &credential) {
    return m_services.makeClient(origin, credential, m_connectivity->observer(origin));
}

QCoro::Task<> NativeConnection::start() {
    const auto self = shared_from_this();
    reloadAccounts();
    if (m_accounts.isEmpty())
        co_await migrateSingleServerLayout();
    const std::optional<QString> stored = m_settings.activeAccount();
    std::optional<NativeAccount> picked;
    for (const NativeAccount &account : m_accounts) {
        if (stored && account.id == *stored) {
            picked = account;
            break;
        }
    }
    if (!picked && !m_accounts.isEmpty())
        picked = m_accounts.first();
    if (picked)
        co_await selectAccount(*picked);
}

// Before accounts existed, one session was stored under the origin's text itself.
QCoro::Task<> NativeConnection::migrateSingleServerLayout() {
    QUrl origin;
    try {
        origin = NativeHTTP::origin(m_serverAddress);
    } catch (const NativeClientError &) {
        co_return;
    }
    const QString legacyKey = NativeAccount::originString(origin);
    const KeyringWait wait(*this);
    const NativeCredentials::Read legacy = co_await NativeCredentials::read(legacyKey, wait.token());
    if (!legacy.session)
        co_return;
    const NativeAccount account = NativeAccount::create(origin, QString());
    if (co_await NativeCredentials::save(*legacy.session, account.key(), itemLabel(account), wait.token()) !=
        NativeKeyringStatus::done)
        co_return; // the old item stays for the next start
    bool written = true;
    try {
        updateAccounts([&account](QList<NativeAccount> &accounts) { accounts.prepend(account); });
    } catch (const NativeClientError &error) {
        // Not written: keep the old item, not an orphan under the new key.
        setError(error.errorDescription());
        written = false;
    }
    const QString leftOver =
        written ? legacyKey : account.key(); // named: GCC 12 frees a temporary twice here
    co_await NativeCredentials::remove(leftOver, wait.token());
}

void NativeConnection::signIn() {
    const std::weak_ptr<NativeConnection> weak = weak_from_this();
    signIn([weak](QUrl url) -> QCoro::Task<bool> {
        const auto self = weak.lock();
        co_return self &&co_await self->m_browser.start(url, self->m_callbackScheme);
    });
}

void NativeConnection::signIn(Opener open) {
    cancel();
    setError(QString());
    setSigningIn(true);
    m_task = std::make_shared<CancellationSource>();
    const CancellationToken token = m_task->token();
    auto self = shared_from_this();
    startDetached(self, [self, open = std::move(open), token] { return self->runSignIn(open, token); });
}

QCoro::Task<> NativeConnection::runSignIn(Opener open, CancellationToken token) {
    const auto self = shared_from_this();
    try {
        co_await signInSteps(std::move(open), token);
    } catch (const CancellationError &) {
        // Whoever cancelled has already reset the fields.
    } catch (...) {
        if (!token.isCancelled())
            failSignIn(NativeClientError::messageOf(std::current_exception()));
    }
}

QCoro::Task<> NativeConnection::signInSteps(Opener open, CancellationToken token) {
    const QUrl origin = NativeHTTP::origin(m_serverAddress);
    const std::shared_ptr<NativeTransport> client = makeClient(origin, std::nullopt);

    const std::optional<QString> verifier = NativeSignInProof::newVerifier(m_services.randomBytes);
    if (!verifier)
        throw NativeClientError::message(QStringLiteral("Could not start secure sign-in."));
    const nlohmann::json request = {
        {"challenge", NativeSignInProof::challenge(*verifier).toStdString()},
        {"callback", (m_callbackScheme + QStringLiteral("://signin")).toStdString()},
    };
    const QString requestPath = QStringLiteral("/native/request");
    const QString post = QStringLiteral("POST");
    const std::optional<QByteArray> requestBody = QByteArray::fromStdString(request.dump());
    const Begin begun = co_await client->request<Begin>(requestPath, post, requestBody, jsonType,
                                                        nativeDefaultMaxBytes, token);
    const QString id = begun.id;
    if (!NativeSignInProof::valid(id))
        throw NativeClientError::message(invalidSignInResponse());

    token.throwIfCancelled();
    m_pendingID = id;
    setCode(NativeSignInProof::comparisonCode(id));
    QUrl page = origin;
    page.setPath(QStringLiteral("/native/start"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("id"), id);
    page.setQuery(query);
    setBrowserURL(page);

    // The page stays on offer to copy or to open again (openBrowserAgain) while the sign-in waits,
    // so a browser that did not open is reported and the wait goes on.
    m_opener = open;
    QCoro::Task<bool> opening = open(page);
    const bool opened = co_await std::move(opening);
    token.throwIfCancelled();
    if (!opened)
        setError(couldNotOpenBrowser());

    const NativeSession session = co_await pollForSession(client, origin, id, *verifier, token);
    token.throwIfCancelled();
    co_await rememberSession(session, origin, m_accountName, token);
    endSignIn();
}

// The server answers 202 while the approval is pending and 200 with the session once given.
QCoro::Task<NativeSession> NativeConnection::pollForSession(std::shared_ptr<NativeTransport> client,
                                                            QUrl origin, QString id, QString verifier,
                                                            CancellationToken token) {
    const auto self = shared_from_this();
    const QString exchangePath = QStringLiteral("/native/exchange");
    const QString post = QStringLiteral("POST");
    const nlohmann::json exchange = {{"id", id.toStdString()}, {"verifier", verifier.toStdString()}};
    const std::optional<QByteArray> body = QByteArray::fromStdString(exchange.dump());
    const double deadline = m_services.clock->now() + approvalSeconds;
    while (m_services.clock->now() < deadline) {
        QCoro::Task<> pause = m_services.clock->sleep(pollSeconds, token);
        co_await std::move(pause);
        const NativeResponse answer = co_await client->responseDetails(exchangePath, post, body, jsonType,
                                                                       nativeDefaultMaxBytes, token);
        if (answer.status() == 202)
            continue;
        if (answer.status() != 200)
            throw NativeClientError::message(signInRefused());
        std::optional<NativeSession> session;
        try {
            session = NativeSession::fromJson(answer.data());
        } catch (const JsonDecodeError &) {
        }
        if (!session || !acceptable(*session, origin))
            throw NativeClientError::message(signInRefused());
        co_return *session;
    }
    throw NativeClientError::message(QStringLiteral("Sign-in expired. Please try again."));
}

QCoro::Task<> NativeConnection::rememberSession(NativeSession session, QUrl origin, QString name,
                                                CancellationToken token) {
    const auto self = shared_from_this();
    bool sameOrigin = false;
    try {
        sameOrigin = NativeHTTP::origin(NativeAccount::originString(origin)) == origin;
    } catch (const NativeClientError &) {
    }
    if (!sameOrigin || !acceptable(session, origin))
        throw NativeClientError::message(invalidSignInResponse());

    const NativeAccount account = NativeAccount::create(origin, name);
    const KeyringWait wait(*this);
    const NativeKeyringStatus saved =
        co_await NativeCredentials::save(session, account.key(), itemLabel(account), wait.token());
    const bool inMemory = saved == NativeKeyringStatus::unavailable;
    if (saved != NativeKeyringStatus::done && !inMemory)
        throw NativeClientError::message(NativeCredentials::failureMessage(saved));
    // Leaves no session behind for an account that was never added.
    const auto forget = [&]() -> QCoro::Task<> {
        if (!inMemory)
            co_await NativeCredentials::remove(account.key(), wait.token());
    };
    if (token.isCancelled()) {
        co_await forget();
        throw CancellationError();
    }

    const QString originText = NativeAccount::originString(origin);
    if (inMemory) {
        QList<NativeAccount> stored = m_settings.accounts().value_or(m_accounts);
        stored.removeIf([this](const NativeAccount &other) { return m_memoryAccounts.contains(other); });
        m_memoryAccounts.prepend(account);
        m_memorySessions.insert(account.key(), session);
        setAccounts(m_memoryAccounts + stored);
    } else {
        std::optional<NativeClientError> unsaved;
        try {
            updateAccounts([&account](QList<NativeAccount> &accounts) { accounts.prepend(account); });
            m_settings.setActiveAccount(account.id);
            m_settings.setServer(originText);
        } catch (const NativeClientError &error) {
            unsaved = error;
        }
        if (unsaved) {
            // The account would be gone at the next start: report it, and keep nothing of it.
            co_await forget();
            try {
                updateAccounts([&account](QList<NativeAccount> &accounts) { accounts.removeAll(account); });
            } catch (const NativeClientError &) {
                QList<NativeAccount> accounts = m_accounts;
                accounts.removeAll(account);
                setAccounts(std::move(accounts));
            }
            throw *unsaved;
        }
    }

    ++m_selection;
    setActiveAccountID(account.id);
    setServerAddress(originText);
    setNotice(inMemory ? rememberedForThisRun() : QString());
    setClient(makeClient(origin, session));
}

void NativeConnection::openBrowserAgain() {
    if (!m_pendingID || !m_browserURL || !m_opener)
        return;
    setError(QString());
    auto self = shared_from_this();
    startDetached(self, [self, open = m_opener, url = *m_browserURL, id = *m_pendingID] {
        return self->reopenBrowser(open, url, id);
    });
}

QCoro::Task<> NativeConnection::reopenBrowser(Opener open, QUrl url, QString id) {
    const auto self = shared_from_this();
    const bool opened = co_await open(url);
    if (m_pendingID == id)
        setError(opened ? QString() : couldNotOpenBrowser());
}

void NativeConnection::endSignIn() {
    m_opener = nullptr;
    m_pendingID.reset();
    m_task.reset();
    m_browser.cancel();
    setSigningIn(false);
    setBrowserURL(std::nullopt);
}

void NativeConnection::failSignIn(const QString &message) {
    endSignIn();
    setError(message);
}

void NativeConnection::cancel() {
    if (const auto task = std::exchange(m_task, nullptr))
        task->cancel();
    endSignIn();
    setCode(QString());
}

void NativeConnection::handleOpenURL(const QUrl &url) {
    if (!m_pendingID)
        return;
    if (url.scheme() != m_callbackScheme || url.host() != QLatin1String("signin") || !url.path().isEmpty() ||
        !url.userInfo().isEmpty() || url.port() != -1 || url.hasFragment() || !url.hasQuery())
        return;
    // An authority with "@" but no user name still names a user part.
    if (url.authority(QUrl::FullyEncoded).contains(u'@'))
        return;
    const auto items = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    if (items.size() != 1 || items.first().first != QLatin1String("state") ||
        items.first().second != *m_pendingID)
        return;
    m_browser.cancel();
}

QCoro::Task<> NativeConnection::selectAccount(NativeAccount account) {
    const auto self = shared_from_this();
    reloadAccounts();
    cancel();
    const quint64 selection = ++m_selection;

    bool usable = m_accounts.contains(account);
    try {
        usable = usable && NativeHTTP::origin(NativeAccount::originString(account.origin)) == account.origin;
    } catch (const NativeClientError &) {
        usable = false;
    }
    NativeCredentials::Read stored;
    if (usable && m_memoryAccounts.contains(account)) {
        stored = {NativeKeyringStatus::done, memorySession(account)};
    } else if (usable) {
        const KeyringWait wait(*this);
        stored = co_await NativeCredentials::read(account.key(), wait.token());
    }
    if (selection != m_selection)
        co_return; // a later choice won while the store answered
    if (!stored.session) {
        // A keyring that is locked or does not answer says so: the session may well be there.
        const bool missing =
            stored.status == NativeKeyringStatus::missing || stored.status == NativeKeyringStatus::failed;
        setError(missing ? needsSignIn() : NativeCredentials::failureMessage(stored.status));
        co_return;
    }

    try {
        if (!m_memoryAccounts.contains(account)) {
            updateAccounts([&account](QList<NativeAccount> &accounts) {
                accounts.removeIf([&account](const NativeAccount &other) { return other.id == account.id; });
                accounts.prepend(account);
            });
            m_settings.setActiveAccount(account.id);
        }
    } catch (const NativeClientError &error) {
        // The account still works for this run; the person learns that it was not remembered.
        setError(error.errorDescription());
    }

    setServerAddress(NativeAccount::originString(account.origin));
    setActiveAccountID(account.id);
    setNotice(m_memoryAccounts.contains(account) ? rememberedForThisRun() : QString());
    setClient(makeClient(account.origin, stored.session));
}

void NativeConnection::showAccounts() {
    reloadAccounts();
    cancel();
    ++m_selection;
    setClient(nullptr);
    setActiveAccountID(std::nullopt);
    setNotice(QString());
}

QCoro::Task<> NativeConnection::signOut() {
    const auto self = shared_from_this();
    reloadAccounts();
    cancel();
    const quint64 selection = ++m_selection;
    const std::shared_ptr<NativeTransport> client = m_client;
    if (client && m_activeAccountID) {
        const QString id = *m_activeAccountID;
        std::optional<NativeAccount> account;
        for (const NativeAccount &candidate : m_accounts) {
            if (candidate.id == id)
                account = candidate;
        }
        if (account && m_memoryAccounts.contains(*account)) {
            m_memoryAccounts.removeAll(*account);
            m_memorySessions.remove(account->key());
        } else if (account) {
            // Forgotten only once its session is gone: a locked keyring would otherwise keep a
            // session that no account refers to any more.
            NativeKeyringStatus removed = NativeKeyringStatus::done;
            {
                const KeyringWait wait(*this);
                removed = co_await NativeCredentials::remove(account->key(), wait.token());
            }
            if (removed != NativeKeyringStatus::done && removed != NativeKeyringStatus::missing) {
                setError(removed == NativeKeyringStatus::failed
                             ? QStringLiteral(
                                   "Could not remove this session from the keyring. You are still signed in.")
                             : NativeCredentials::failureMessage(removed));
                co_return;
            }
        }
        try {
            updateAccounts([&id](QList<NativeAccount> &accounts) {
                accounts.removeIf([&id](const NativeAccount &other) { return other.id == id; });
            });
            m_settings.removeActiveAccount();
        } catch (const NativeClientError &error) {
            setError(error.errorDescription());
        }
    }
    if (client)
        startDetached(client, [client] { return sendSignOut(client); });
    if (selection != m_selection)
        co_return; // another account was chosen while the keyring answered
    setActiveAccountID(std::nullopt);
    setNotice(QString());
    setClient(nullptr);
}

// Sent with the old session even though the account is already forgotten; the answer does not matter.
QCoro::Task<> NativeConnection::sendSignOut(std::shared_ptr<NativeTransport> client) {
    const QString path = QStringLiteral("/signout");
    const QString post = QStringLiteral("POST");
    const std::optional<QByteArray> empty = QByteArray("");
    try {
        co_await client->responseDetails(path, post, empty, jsonType, nativeDefaultMaxBytes,
                                         CancellationToken());
    } catch (...) {
    }
}
