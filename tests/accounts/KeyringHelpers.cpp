#include "KeyringHelpers.h"

#include "TaskRunner.h"

#include "connection/NativeCredentials.h"

#include <QProcess>

#include <stdexcept>

namespace KeyringHelpers {

QStringList storedKeys() {
    QProcess search;
    search.start(QStringLiteral("secret-tool"), {QStringLiteral("search"), QStringLiteral("--all"),
                                                 QStringLiteral("server"), NativeCredentials::service()});
    if (!search.waitForFinished(30000))
        throw std::runtime_error("secret-tool did not finish");
    QStringList keys;
    const QString output = QString::fromUtf8(search.readAllStandardOutput() + search.readAllStandardError());
    const QString prefix = QStringLiteral("attribute.user = ");
    for (const QString &line : output.split(u'\n'))
        if (line.startsWith(prefix))
            keys.append(line.mid(prefix.size()));
    keys.sort();
    return keys;
}

QCoro::Task<> writeRaw(QString account, QString text) {
    NativeSecretService::Attributes attributes;
    attributes.insert(QStringLiteral("user"), account);
    attributes.insert(QStringLiteral("server"), NativeCredentials::service());
    const NativeKeyringStatus status =
        co_await NativeSecretService::store(attributes, QStringLiteral("raw"), text.toUtf8(), {});
    if (status != NativeKeyringStatus::done)
        throw std::runtime_error("could not write a raw item");
}

void removeAll() {
    for (const QString &key : storedKeys())
        runTask(NativeCredentials::remove(key));
}

} // namespace KeyringHelpers
