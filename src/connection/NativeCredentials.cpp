#include "connection/NativeCredentials.h"

#include "connection/JsonReader.h"

#include <QCoreApplication>

namespace {

NativeSecretService::Attributes attributesOf(const QString &account) {
    return {{QStringLiteral("user"), account}, {QStringLiteral("server"), NativeCredentials::service()}};
}

QString capitalised(QString text) {
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

} // namespace

QString NativeCredentials::service() {
    // QGuiApplication's desktopFileName is the Linux counterpart of a bundle identifier; read it
    // through the meta-object so that this library does not link QtGui.
    QString application;
    if (const QCoreApplication *app = QCoreApplication::instance())
        application = app->property("desktopFileName").toString();
    if (application.isEmpty())
        application = QStringLiteral("brevane.native");
    return application + QStringLiteral(".session");
}

// Arguments are named before each suspension: GCC 12 destroys some temporaries passed by value
// to an awaited call twice.
QCoro::Task<NativeCredentials::Read> NativeCredentials::read(QString account, CancellationToken token) {
    NativeSecretService::Attributes attributes = attributesOf(account);
    const NativeSecretService::Lookup found = co_await NativeSecretService::find(attributes, token);
    if (found.status != NativeKeyringStatus::done)
        co_return Read{found.status, std::nullopt};
    try {
        co_return Read{NativeKeyringStatus::done, NativeSession::fromJson(found.secret)};
    } catch (const JsonDecodeError &) {
        co_return Read{NativeKeyringStatus::missing, std::nullopt};
    }
}

QCoro::Task<NativeKeyringStatus> NativeCredentials::save(NativeSession session, QString account,
                                                         QString label, CancellationToken token) {
    NativeSecretService::Attributes attributes = attributesOf(account);
    // Written as QtKeychain writes text, so that either can read the other's items.
    attributes.insert(QStringLiteral("type"), QStringLiteral("plaintext"));
    attributes.insert(QStringLiteral("xdg:schema"), QStringLiteral("org.qt.keychain"));
    QByteArray secret = session.toJson();
    const NativeKeyringStatus stored =
        co_await NativeSecretService::store(attributes, std::move(label), std::move(secret), token);
    co_return stored;
}

QCoro::Task<NativeKeyringStatus> NativeCredentials::remove(QString account, CancellationToken token) {
    NativeSecretService::Attributes attributes = attributesOf(account);
    const NativeKeyringStatus erased = co_await NativeSecretService::erase(attributes, token);
    co_return erased;
}

QString NativeCredentials::failureMessage(NativeKeyringStatus status) {
    const QString keyring = NativeSecretService::providerName();
    switch (status) {
    case NativeKeyringStatus::locked:
        return capitalised(QStringLiteral("%1 is locked. Unlock it, then try again.").arg(keyring));
    case NativeKeyringStatus::timedOut:
        return capitalised(
            QStringLiteral("%1 did not answer. Unlock it if it asks you to, then try again.").arg(keyring));
    case NativeKeyringStatus::unavailable:
        return QStringLiteral("No keyring is available to keep your session. Start one (such as GNOME "
                              "Keyring or KWallet), then try again.");
    case NativeKeyringStatus::done:
    case NativeKeyringStatus::missing:
    case NativeKeyringStatus::failed:
        break;
    }
    return QStringLiteral("Could not save this session in Keychain.");
}
