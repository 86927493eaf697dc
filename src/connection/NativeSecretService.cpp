#include "connection/NativeSecretService.h"

#include "async/Wakeup.h"

#include <QCoroSignal>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QFutureWatcher>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <chrono>

namespace {

// One secret as the Secret Service carries it: (oayays).
struct SecretValue {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

} // namespace

Q_DECLARE_METATYPE(SecretValue)

namespace {

QDBusArgument &operator<<(QDBusArgument &argument, const SecretValue &secret) {
    argument.beginStructure();
    argument << secret.session << secret.parameters << secret.value << secret.contentType;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, SecretValue &secret) {
    argument.beginStructure();
    argument >> secret.session >> secret.parameters >> secret.value >> secret.contentType;
    argument.endStructure();
    return argument;
}

const QString serviceName = QStringLiteral("org.freedesktop.secrets");
const QString servicePath = QStringLiteral("/org/freedesktop/secrets");
const QString serviceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QString collectionInterface = QStringLiteral("org.freedesktop.Secret.Collection");
const QString itemInterface = QStringLiteral("org.freedesktop.Secret.Item");
const QString promptInterface = QStringLiteral("org.freedesktop.Secret.Prompt");
const QString sessionInterface = QStringLiteral("org.freedesktop.Secret.Session");
const QString noPath = QStringLiteral("/");

// A plain call answers at once or never; a prompt waits for a person (KWallet's first-use wizard
// among them), so it gets minutes.
struct Settings {
    std::chrono::milliseconds call = std::chrono::seconds(10);
    std::chrono::milliseconds prompt = std::chrono::minutes(2);
    std::optional<QDBusConnection> bus;
};

Settings &settings() {
    static Settings instance;
    return instance;
}

QDBusConnection bus() {
    return settings().bus ? *settings().bus : QDBusConnection::sessionBus();
}

void registerTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<SecretValue>();
        qDBusRegisterMetaType<NativeSecretService::Attributes>();
        return true;
    }();
    Q_UNUSED(registered);
}

NativeKeyringStatus statusOf(const QDBusMessage &reply) {
    if (reply.type() == QDBusMessage::ReplyMessage)
        return NativeKeyringStatus::done;
    const QString name = reply.errorName();
    const auto is = [&name](const char *error) { return name == QLatin1String(error); };
    if (is("org.freedesktop.DBus.Error.NoReply") || is("org.freedesktop.DBus.Error.Timeout") ||
        is("org.freedesktop.DBus.Error.TimedOut"))
        return NativeKeyringStatus::timedOut;
    if (is("org.freedesktop.DBus.Error.ServiceUnknown") || is("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        is("org.freedesktop.DBus.Error.Disconnected") || is("org.freedesktop.DBus.Error.NoServer") ||
        name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn")))
        return NativeKeyringStatus::unavailable;
    if (is("org.freedesktop.Secret.Error.IsLocked"))
        return NativeKeyringStatus::locked;
    if (is("org.freedesktop.Secret.Error.NoSuchObject") || is("org.freedesktop.DBus.Error.UnknownObject"))
        return NativeKeyringStatus::missing;
    return NativeKeyringStatus::failed;
}

struct Reply {
    NativeKeyringStatus status;
    QDBusMessage message;
    QVariant at(int index) const {
        const QVariantList arguments = message.arguments();
        return index < arguments.size() ? arguments.at(index) : QVariant();
    }
    QDBusObjectPath pathAt(int index) const { return qvariant_cast<QDBusObjectPath>(at(index)); }
    QList<QDBusObjectPath> pathsAt(int index) const { return qdbus_cast<QList<QDBusObjectPath>>(at(index)); }
};

// Sends one method call with the plain time limit, without waiting for its answer.
QDBusPendingCall send(const QDBusConnection &connection, const QString &path, const QString &interface,
                      const QString &method, const QVariantList &arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(serviceName, path, interface, method);
    message.setArguments(arguments);
    return connection.asyncCall(message, static_cast<int>(settings().call.count()));
}

Reply answerOf(const QDBusPendingCall &pending) {
    const QDBusMessage reply = pending.reply();
    return Reply{statusOf(reply), reply};
}

// One method call with the plain time limit. A cancelled token ends the wait with timedOut; the
// answer, when it comes, is dropped.
QCoro::Task<Reply> call(QString path, QString interface, QString method, QVariantList arguments,
                        CancellationToken token) {
    const QDBusConnection connection = bus();
    if (!connection.isConnected())
        co_return Reply{NativeKeyringStatus::unavailable, {}};
    QDBusPendingCall pending = send(connection, path, interface, method, arguments);
    if (!pending.isFinished()) {
        QDBusPendingCallWatcher watcher(pending);
        Wakeup wakeup;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &wakeup, &Wakeup::wake,
                         Qt::QueuedConnection);
        const CancellationRegistration registration = token.onCancel(
            [&wakeup] { QMetaObject::invokeMethod(&wakeup, &Wakeup::wake, Qt::QueuedConnection); });
        while (!pending.isFinished() && !token.isCancelled())
            co_await qCoro(&wakeup, &Wakeup::woken);
    }
    if (token.isCancelled())
        co_return Reply{NativeKeyringStatus::timedOut, {}};
    co_return answerOf(pending);
}

struct PromptOutcome {
    NativeKeyringStatus status;
    bool dismissed = false;
    QDBusVariant result;
};

// Shows the prompt and waits for the person's answer, at most the prompt limit. A prompt left
// unanswered is dismissed, so that the store does not keep it open for nobody.
QCoro::Task<PromptOutcome> runPrompt(QDBusObjectPath prompt, CancellationToken token) {
    if (prompt.path() == noPath)
        co_return PromptOutcome{NativeKeyringStatus::done, false, {}};
    QDBusConnection connection = bus();
    NativeSecretPrompt receiver;
    connection.connect(serviceName, prompt.path(), promptInterface, QStringLiteral("Completed"), &receiver,
                       SLOT(complete(bool, QDBusVariant)));
    const QVariantList arguments{QString()};
    Reply shown = co_await call(prompt.path(), promptInterface, QStringLiteral("Prompt"), arguments, token);
    if (shown.status == NativeKeyringStatus::done) {
        Wakeup wakeup;
        QTimer limit;
        limit.setSingleShot(true);
        const auto wake = [&wakeup] {
            QMetaObject::invokeMethod(&wakeup, &Wakeup::wake, Qt::QueuedConnection);
        };
        QObject::connect(&receiver, &NativeSecretPrompt::finished, &wakeup, wake);
        QObject::connect(&limit, &QTimer::timeout, &wakeup, wake);
        const CancellationRegistration registration = token.onCancel(wake);
        limit.start(settings().prompt);
        while (!receiver.completed && limit.isActive() && !token.isCancelled())
            co_await qCoro(&wakeup, &Wakeup::woken);
        if (!receiver.completed)
            shown.status = NativeKeyringStatus::timedOut;
    }
    connection.disconnect(serviceName, prompt.path(), promptInterface, QStringLiteral("Completed"), &receiver,
                          SLOT(complete(bool, QDBusVariant)));
    if (!receiver.completed) {
        connection.asyncCall(QDBusMessage::createMethodCall(serviceName, prompt.path(), promptInterface,
                                                            QStringLiteral("Dismiss")));
        const NativeKeyringStatus status =
            shown.status == NativeKeyringStatus::done ? NativeKeyringStatus::timedOut : shown.status;
        co_return PromptOutcome{status, false, {}};
    }
    co_return PromptOutcome{NativeKeyringStatus::done, receiver.dismissed, receiver.result};
}

// Unlocks the objects, asking the person when the store needs to. Locked when they could not be
// unlocked (the prompt was dismissed, or the store could not show one).
QCoro::Task<NativeKeyringStatus> unlock(QList<QDBusObjectPath> objects, CancellationToken token) {
    const QVariantList arguments{QVariant::fromValue(objects)};
    const Reply reply =
        co_await call(servicePath, serviceInterface, QStringLiteral("Unlock"), arguments, token);
    if (reply.status != NativeKeyringStatus::done)
        co_return reply.status;
    if (reply.pathAt(1).path() == noPath)
        co_return reply.pathsAt(0).size() == objects.size() ? NativeKeyringStatus::done
                                                            : NativeKeyringStatus::locked;
    const PromptOutcome outcome = co_await runPrompt(reply.pathAt(1), token);
    if (outcome.status != NativeKeyringStatus::done)
        co_return outcome.status;
    co_return outcome.dismissed ? NativeKeyringStatus::locked : NativeKeyringStatus::done;
}

// A session that carries secrets unencrypted: the session bus is private to the user.
QVariantList plainSessionArguments() {
    return {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))};
}

QCoro::Task<Reply> openSession(CancellationToken token) {
    co_return co_await call(servicePath, serviceInterface, QStringLiteral("OpenSession"),
                            plainSessionArguments(), token);
}

void closeSession(const QDBusObjectPath &session) {
    if (session.path().isEmpty() || session.path() == noPath)
        return;
    bus().asyncCall(QDBusMessage::createMethodCall(serviceName, session.path(), sessionInterface,
                                                   QStringLiteral("Close")));
}

struct Search {
    NativeKeyringStatus status;
    QList<QDBusObjectPath> unlocked;
    QList<QDBusObjectPath> locked;
};

QCoro::Task<Search> search(const NativeSecretService::Attributes &given, CancellationToken token) {
    const NativeSecretService::Attributes attributes = given; // copied before the first suspension
    const QVariantList arguments{QVariant::fromValue(attributes)};
    const Reply reply =
        co_await call(servicePath, serviceInterface, QStringLiteral("SearchItems"), arguments, token);
    co_return Search{reply.status, reply.pathsAt(0), reply.pathsAt(1)};
}

// The default keyring, made when there is none (the store asks the person for its password).
QCoro::Task<std::pair<NativeKeyringStatus, QDBusObjectPath>> defaultCollection(CancellationToken token) {
    const QVariantList arguments{QStringLiteral("default")};
    const Reply alias =
        co_await call(servicePath, serviceInterface, QStringLiteral("ReadAlias"), arguments, token);
    if (alias.status != NativeKeyringStatus::done)
        co_return std::pair(alias.status, QDBusObjectPath());
    if (alias.pathAt(0).path() != noPath)
        co_return std::pair(NativeKeyringStatus::done, alias.pathAt(0));
    const QVariantMap properties{
        {collectionInterface + QStringLiteral(".Label"), QStringLiteral("Default keyring")}};
    const QVariantList creation{properties, QStringLiteral("default")};
    const Reply created =
        co_await call(servicePath, serviceInterface, QStringLiteral("CreateCollection"), creation, token);
    if (created.status != NativeKeyringStatus::done || created.pathAt(0).path() != noPath)
        co_return std::pair(created.status, created.pathAt(0));
    const PromptOutcome outcome = co_await runPrompt(created.pathAt(1), token);
    if (outcome.status != NativeKeyringStatus::done)
        co_return std::pair(outcome.status, QDBusObjectPath());
    if (outcome.dismissed)
        co_return std::pair(NativeKeyringStatus::failed, QDBusObjectPath());
    co_return std::pair(NativeKeyringStatus::done, qvariant_cast<QDBusObjectPath>(outcome.result.variant()));
}

QCoro::Task<NativeKeyringStatus> storeIn(QDBusObjectPath session,
                                         const NativeSecretService::Attributes &given, QString label,
                                         QByteArray secret, CancellationToken token) {
    const NativeSecretService::Attributes attributes = given; // copied before the first suspension
    const std::pair<NativeKeyringStatus, QDBusObjectPath> target = co_await defaultCollection(token);
    if (target.first != NativeKeyringStatus::done)
        co_return target.first;
    const QDBusObjectPath collection = target.second;
    const QList<QDBusObjectPath> keyring{collection};
    const NativeKeyringStatus unlocked = co_await unlock(keyring, token);
    if (unlocked != NativeKeyringStatus::done)
        co_return unlocked;
    const QVariantMap properties{
        {itemInterface + QStringLiteral(".Label"), label},
        {itemInterface + QStringLiteral(".Attributes"), QVariant::fromValue(attributes)},
    };
    SecretValue value;
    value.session = session;
    value.value = secret;
    value.contentType = QStringLiteral("text/plain");
    const QVariantList arguments{properties, QVariant::fromValue(value), true};
    const Reply created =
        co_await call(collection.path(), collectionInterface, QStringLiteral("CreateItem"), arguments, token);
    if (created.status != NativeKeyringStatus::done || created.pathAt(0).path() != noPath)
        co_return created.status;
    const PromptOutcome outcome = co_await runPrompt(created.pathAt(1), token);
    if (outcome.status != NativeKeyringStatus::done)
        co_return outcome.status;
    co_return outcome.dismissed ? NativeKeyringStatus::failed : NativeKeyringStatus::done;
}

QCoro::Task<NativeSecretService::Lookup>
findIn(QDBusObjectPath session, const NativeSecretService::Attributes &given, CancellationToken token) {
    const NativeSecretService::Attributes attributes = given; // copied before the first suspension
    const Search found = co_await search(attributes, token);
    if (found.status != NativeKeyringStatus::done)
        co_return NativeSecretService::Lookup{found.status, {}};
    QDBusObjectPath item;
    if (!found.unlocked.isEmpty()) {
        item = found.unlocked.first();
    } else if (!found.locked.isEmpty()) {
        item = found.locked.first();
        const QList<QDBusObjectPath> items{item};
        const NativeKeyringStatus unlocked = co_await unlock(items, token);
        if (unlocked != NativeKeyringStatus::done)
            co_return NativeSecretService::Lookup{unlocked, {}};
    } else {
        co_return NativeSecretService::Lookup{NativeKeyringStatus::missing, {}};
    }
    const QVariantList arguments{QVariant::fromValue(session)};
    const Reply secret =
        co_await call(item.path(), itemInterface, QStringLiteral("GetSecret"), arguments, token);
    if (secret.status != NativeKeyringStatus::done)
        co_return NativeSecretService::Lookup{secret.status, {}};
    co_return NativeSecretService::Lookup{NativeKeyringStatus::done,
                                          qdbus_cast<SecretValue>(secret.at(0)).value};
}

// Blocks the thread until the call's answer or its time limit.
Reply waitFor(QDBusPendingCall pending) {
    pending.waitForFinished();
    return answerOf(pending);
}

// The lookup of an item that needs no unlocking, as blocking calls for a worker thread; none when
// the only matches are locked, which asks the person on the GUI thread.
std::optional<NativeSecretService::Lookup>
findUnlockedNow(const NativeSecretService::Attributes &attributes) {
    using Lookup = NativeSecretService::Lookup;
    const QDBusConnection connection = bus();
    if (!connection.isConnected())
        return Lookup{NativeKeyringStatus::unavailable, {}};
    // The search needs no session: both are asked at once, one round trip to the store instead of
    // two before the secret is read.
    QDBusPendingCall opening =
        send(connection, servicePath, serviceInterface, QStringLiteral("OpenSession"), plainSessionArguments());
    QDBusPendingCall searching = send(connection, servicePath, serviceInterface, QStringLiteral("SearchItems"),
                                      {QVariant::fromValue(attributes)});
    const Reply session = waitFor(opening);
    const Reply search = waitFor(searching);
    if (session.status != NativeKeyringStatus::done)
        return Lookup{session.status, {}};
    std::optional<Lookup> found;
    if (search.status != NativeKeyringStatus::done) {
        found = Lookup{search.status, {}};
    } else if (!search.pathsAt(0).isEmpty()) {
        const Reply secret = waitFor(send(connection, search.pathsAt(0).first().path(), itemInterface,
                                          QStringLiteral("GetSecret"), {QVariant::fromValue(session.pathAt(1))}));
        found = secret.status == NativeKeyringStatus::done
                    ? Lookup{NativeKeyringStatus::done, qdbus_cast<SecretValue>(secret.at(0)).value}
                    : Lookup{secret.status, {}};
    } else if (search.pathsAt(1).isEmpty()) {
        found = Lookup{NativeKeyringStatus::missing, {}};
    }
    closeSession(session.pathAt(1));
    return found;
}

// Threads of their own: a store that never answers holds one of them for the time limit, and no
// other work of the application nor, while threads are left, other lookups.
QThreadPool &keyringThreads() {
    struct Pool : QThreadPool {
        Pool() { setMaxThreadCount(8); }
    };
    static Pool threads;
    return threads;
}

// findUnlockedNow on a keyring thread. The first use of the session bus connects to it, and each
// answer would otherwise wait for the GUI thread to send the next call: off that thread, the
// lookup goes on while the first window is built. A cancelled token ends the wait with timedOut.
QCoro::Task<std::optional<NativeSecretService::Lookup>>
findUnlocked(const NativeSecretService::Attributes &given, CancellationToken token) {
    using Result = std::optional<NativeSecretService::Lookup>;
    QFuture<Result> future =
        QtConcurrent::run(&keyringThreads(), [attributes = given] { return findUnlockedNow(attributes); });
    if (!future.isFinished()) {
        QFutureWatcher<Result> watcher;
        Wakeup wakeup;
        QObject::connect(&watcher, &QFutureWatcherBase::finished, &wakeup, &Wakeup::wake,
                         Qt::QueuedConnection);
        watcher.setFuture(future);
        const CancellationRegistration registration = token.onCancel(
            [&wakeup] { QMetaObject::invokeMethod(&wakeup, &Wakeup::wake, Qt::QueuedConnection); });
        while (!future.isFinished() && !token.isCancelled())
            co_await qCoro(&wakeup, &Wakeup::woken);
    }
    if (token.isCancelled())
        co_return NativeSecretService::Lookup{NativeKeyringStatus::timedOut, {}};
    co_return future.result();
}

} // namespace

void NativeSecretPrompt::complete(bool wasDismissed, const QDBusVariant &value) {
    completed = true;
    dismissed = wasDismissed;
    result = value;
    Q_EMIT finished();
}

void NativeSecretService::setBus(const QDBusConnection &connection) {
    settings().bus = connection;
}

void NativeSecretService::useSessionBus() {
    settings().bus.reset();
}

QCoro::Task<NativeSecretService::Lookup> NativeSecretService::find(const Attributes &given,
                                                                   CancellationToken token) {
    const NativeSecretService::Attributes attributes = given; // copied before the first suspension
    registerTypes();
    const std::optional<Lookup> unlocked = co_await findUnlocked(attributes, token);
    if (unlocked)
        co_return *unlocked;
    const Reply session = co_await openSession(token);
    if (session.status != NativeKeyringStatus::done)
        co_return Lookup{session.status, {}};
    const Lookup found = co_await findIn(session.pathAt(1), attributes, token);
    closeSession(session.pathAt(1));
    co_return found;
}

QCoro::Task<NativeKeyringStatus> NativeSecretService::store(const Attributes &given, QString label,
                                                            QByteArray secret, CancellationToken token) {
    const NativeSecretService::Attributes attributes = given; // copied before the first suspension
    registerTypes();
    const Reply session = co_await openSession(token);
    if (session.status != NativeKeyringStatus::done)
        co_return session.status;
    const NativeKeyringStatus stored =
        co_await storeIn(session.pathAt(1), attributes, std::move(label), std::move(secret), token);
    closeSession(session.pathAt(1));
    co_return stored;
}

QCoro::Task<NativeKeyringStatus> NativeSecretService::erase(const Attributes &given,
                                                            CancellationToken token) {
    const NativeSecretService::Attributes attributes = given; // copied before the first suspension
    registerTypes();
    const Search found = co_await search(attributes, token);
    if (found.status != NativeKeyringStatus::done)
        co_return found.status;
    if (found.unlocked.isEmpty() && found.locked.isEmpty())
        co_return NativeKeyringStatus::missing;
    if (!found.locked.isEmpty()) {
        const NativeKeyringStatus unlocked = co_await unlock(found.locked, token);
        if (unlocked != NativeKeyringStatus::done)
            co_return unlocked;
    }
    const QList<QDBusObjectPath> items = found.unlocked + found.locked;
    const QVariantList arguments;
    for (const QDBusObjectPath &item : items) {
        const Reply deleted =
            co_await call(item.path(), itemInterface, QStringLiteral("Delete"), arguments, token);
        if (deleted.status == NativeKeyringStatus::missing)
            continue;
        if (deleted.status != NativeKeyringStatus::done)
            co_return deleted.status;
        const PromptOutcome outcome = co_await runPrompt(deleted.pathAt(0), token);
        if (outcome.status != NativeKeyringStatus::done)
            co_return outcome.status;
        if (outcome.dismissed)
            co_return NativeKeyringStatus::failed;
    }
    co_return NativeKeyringStatus::done;
}

QString NativeSecretService::providerName() {
    const QDBusConnection connection = bus();
    QString program;
    if (connection.isConnected()) {
        QDBusMessage ask = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
        ask.setArguments({serviceName});
        const QDBusMessage reply = connection.call(ask, QDBus::Block, 5000);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(reply.arguments().first().toUInt()));
            if (comm.open(QIODevice::ReadOnly))
                program = QString::fromUtf8(comm.readAll()).trimmed().toLower();
        }
    }
    if (program.startsWith(QLatin1String("gnome-keyring")))
        return QStringLiteral("GNOME Keyring");
    if (program.startsWith(QLatin1String("kwallet")) || program.startsWith(QLatin1String("ksecretd")))
        return QStringLiteral("KWallet");
    if (program.startsWith(QLatin1String("keepassxc")))
        return QStringLiteral("KeePassXC");
    return QStringLiteral("your keyring");
}
