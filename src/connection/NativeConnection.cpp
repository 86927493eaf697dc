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

// Another window of the application may have changed the list since we last looked.
void NativeConnection::reloadAccounts() {
    if (auto stored = m_settings.accounts())
        setAccounts(std::move(*stored));
}

void NativeConnection::persistAccounts() {
    m_settings.setAccounts(m_accounts);
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
    const std::optional<NativeSession> session = co_await NativeCredentials::read(legacyKey);
    if (!session)
        co_return;
    const NativeAccount account = NativeAccount::create(origin, QString());
    try {
        co_await NativeCredentials::save(*session, account.key());
    } catch (const NativeClientError &) {
        co_return; // the old item stays for the next start
    }
    setAccounts({account});
    persistAccounts();
    co_await NativeCredentials::remove(legacyKey);
}

void NativeConnection::signIn() {
    const std::weak_ptr<NativeConnection> weak = weak_from_this();
    signIn([weak](QUrl url) -> QCoro::Task<bool> {
        const auto self = weak.lock();
        co_return self && self->m_browser.start(url, self->m_callbackScheme);
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

    QCoro::Task<bool> opening = open(page);
    const bool opened = co_await std::move(opening);
    if (!opened)
        throw NativeClientError::message(QStringLiteral("Could not open your browser."));

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
    co_await NativeCredentials::save(session, account.key());
    if (token.isCancelled()) {
        // Cancelled while the store was writing: leave no session behind for an account that was
        // never added.
        co_await NativeCredentials::remove(account.key());
        throw CancellationError();
    }

    reloadAccounts();
    QList<NativeAccount> accounts = m_accounts;
    accounts.prepend(account);
    setAccounts(std::move(accounts));
    persistAccounts();

    ++m_selection;
    const QString originText = NativeAccount::originString(origin);
    setActiveAccountID(account.id);
    m_settings.setActiveAccount(account.id);
    m_settings.setServer(originText);
    setServerAddress(originText);
    setClient(makeClient(origin, session));
}

void NativeConnection::endSignIn() {
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
    std::optional<NativeSession> session;
    if (usable)
        session = co_await NativeCredentials::read(account.key());
    if (selection != m_selection)
        co_return; // a later choice won while the store answered
    if (!session) {
        setError(needsSignIn());
        co_return;
    }

    QList<NativeAccount> accounts = m_accounts;
    accounts.removeIf([&account](const NativeAccount &other) { return other.id == account.id; });
    accounts.prepend(account);
    setAccounts(std::move(accounts));
    persistAccounts();

    setServerAddress(NativeAccount::originString(account.origin));
    setActiveAccountID(account.id);
    m_settings.setActiveAccount(account.id);
    setClient(makeClient(account.origin, session));
}

void NativeConnection::showAccounts() {
    reloadAccounts();
    cancel();
    ++m_selection;
    setClient(nullptr);
    setActiveAccountID(std::nullopt);
}

QCoro::Task<> NativeConnection::signOut() {
    const auto self = shared_from_this();
    reloadAccounts();
    cancel();
    ++m_selection;
    const std::shared_ptr<NativeTransport> client = m_client;
    std::optional<QString> forgottenKey;
    if (client) {
        if (m_activeAccountID) {
            const QString id = *m_activeAccountID;
            QList<NativeAccount> accounts = m_accounts;
            for (const NativeAccount &account : accounts) {
                if (account.id == id) {
                    forgottenKey = account.key();
                    break;
                }
            }
            accounts.removeIf([&id](const NativeAccount &account) { return account.id == id; });
            setAccounts(std::move(accounts));
            persistAccounts();
        }
        m_settings.removeActiveAccount();
        startDetached(client, [client] { return sendSignOut(client); });
    }
    setActiveAccountID(std::nullopt);
    setClient(nullptr);
    if (forgottenKey)
        co_await NativeCredentials::remove(*forgottenKey);
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
