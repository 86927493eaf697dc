#pragma once

#include "connection/NativeSession.h"

#include <QCoroTask>
#include <QString>

#include <optional>

// Each account's session in the user's secret store (the Secret Service: GNOME Keyring, KeePassXC,
// KWallet's bridge), one item per account under the service below and the account string. Never
// stored in plain text: when no secret store can be reached, saving fails.
//
// The store answers asynchronously; each operation resumes on the calling (GUI) thread once the
// store has answered. None of them can be cancelled half-way.
class NativeCredentials {
public:
    NativeCredentials() = delete;

    // The application id followed by ".session"; "brevane.native.session" when the application has
    // no id. The application id is the desktop file name that QGuiApplication was given.
    static QString service();

    // The stored session, or none; a failure of any kind, or data that is not a session, reads as none.
    static QCoro::Task<std::optional<NativeSession>> read(QString account);

    // Stores the session under `account` (called `origin` for the account string, as the layout
    // before accounts used the origin itself). Replaces the data of an existing item. Fails with
    // "Could not save this session in Keychain." when a new item cannot be added, and with
    // "Could not update this session in Keychain." when an existing item cannot be changed or the
    // store cannot be asked at all.
    static QCoro::Task<> save(NativeSession session, QString origin);

    // Deletes the item; failures are ignored.
    static QCoro::Task<> remove(QString account);
};
