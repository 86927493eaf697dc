#pragma once

#include "async/CancellationToken.h"
#include "connection/NativeSecretService.h"
#include "connection/NativeSession.h"

#include <QCoroTask>
#include <QString>

#include <optional>

// Each account's session in the user's secret store (NativeSecretService), one item per account
// under the service below and the account string. Never stored in plain text: when no secret store
// can be reached, the status says so and nothing is written anywhere else.
//
// Each operation resumes on the calling (GUI) thread once the store has answered, within the
// store's time limits; cancelling the token ends the wait early with timedOut.
class NativeCredentials {
public:
    NativeCredentials() = delete;

    struct Read {
        NativeKeyringStatus status = NativeKeyringStatus::missing;
        std::optional<NativeSession> session; // set exactly when status is done
    };

    // The application id followed by ".session"; "brevane.native.session" when the application has
    // no id. The application id is the desktop file name that QGuiApplication was given.
    static QString service();

    // The stored session. An item whose data is not a session reads as missing.
    static QCoro::Task<Read> read(QString account, CancellationToken token = {});

    // Stores the session under `account`, labelled `label` where the store shows its items.
    // Replaces the data of an existing item.
    static QCoro::Task<NativeKeyringStatus> save(NativeSession session, QString account, QString label,
                                                 CancellationToken token = {});

    // Deletes the item: done once it is gone, missing when there was none.
    static QCoro::Task<NativeKeyringStatus> remove(QString account, CancellationToken token = {});

    // What to tell the person when the store did not do what was asked, naming the store.
    static QString failureMessage(NativeKeyringStatus status);
};
