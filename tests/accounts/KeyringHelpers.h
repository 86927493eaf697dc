#pragma once

#include <QCoroTask>
#include <QStringList>

// Direct access to the secret store for tests: what NativeCredentials wrote, and items it did not.
namespace KeyringHelpers {

// The account strings of every item stored under NativeCredentials::service().
QStringList storedKeys();

// Writes raw text under the service and account string, as some other program might.
QCoro::Task<> writeRaw(QString account, QString text);

// Deletes every item under NativeCredentials::service().
void removeAll();

} // namespace KeyringHelpers
