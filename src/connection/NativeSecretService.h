#pragma once

#include "async/CancellationToken.h"

#include <QByteArray>
#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMap>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

// How the user's secret store answered.
enum class NativeKeyringStatus {
    done,        // found, stored or deleted
    missing,     // no such item
    locked,      // the keyring is locked and was not unlocked (no prompt possible, or it was dismissed)
    unavailable, // no session bus, or nothing provides the Secret Service on it
    timedOut,    // no answer within the time limit, or the wait was cancelled
    failed,      // refused for another reason
};

// Items in the user's secret store through the freedesktop Secret Service over D-Bus (GNOME
// Keyring, KeePassXC, KWallet's bridge). Every call has a time limit, and several calls may be
// outstanding at once, so one that hangs (an unlock prompt nobody answers) never holds up the
// others. Unlock prompts get a longer limit than plain calls, as a person has to answer them; a
// prompt still open when its limit passes, or when the caller cancels, is dismissed.
//
// Items carry the attributes "user" (the account string), "server" (the service) and "type", as
// QtKeychain wrote them, so earlier items are found.
class NativeSecretService {
public:
    NativeSecretService() = delete;

    using Attributes = QMap<QString, QString>;
    struct Lookup {
        NativeKeyringStatus status = NativeKeyringStatus::missing;
        QByteArray secret;
    };

    // The time limits of one plain call and of one prompt.
    static void setLimits(std::chrono::milliseconds call, std::chrono::milliseconds prompt);
    // The bus to use instead of the session bus (tests run a bus without any provider).
    static void setBus(const QDBusConnection &bus);
    static void useSessionBus();

    // Attributes are taken by reference and copied before the first suspension (GCC 12 destroys a
    // by-value map argument of an awaited call twice).
    // The item with exactly these attributes, unlocking its keyring when needed. Cancelling the token
    // ends the wait with timedOut.
    static QCoro::Task<Lookup> find(const Attributes &given, CancellationToken token);
    // Adds the item to the default keyring, or replaces the data and label of the one with these
    // attributes. Creates the default keyring when there is none (the store asks the user).
    static QCoro::Task<NativeKeyringStatus> store(const Attributes &given, QString label, QByteArray secret,
                                                  CancellationToken token);
    // Deletes every item with these attributes: done once none is left, missing when there was none.
    static QCoro::Task<NativeKeyringStatus> erase(const Attributes &given, CancellationToken token);

    // The name people know the running secret store by ("GNOME Keyring", "KWallet", "KeePassXC"),
    // or "your keyring" when it cannot be told.
    static QString providerName();
};

// Waits for one prompt's Completed signal (QtDBus connects signals to slots by name only).
class NativeSecretPrompt : public QObject {
    Q_OBJECT
public:
    bool completed = false;
    bool dismissed = false;
    QDBusVariant result;

public Q_SLOTS:
    void complete(bool wasDismissed, const QDBusVariant &value);

Q_SIGNALS:
    void finished();
};
