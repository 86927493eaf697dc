#include "KeyringHelpers.h"

#include "async/Wakeup.h"
#include "connection/NativeCredentials.h"

#include <QCoroSignal>
#include <QProcess>

#include <qt6keychain/keychain.h>

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
    for (const QString &line : output.split(u'\n')) {
        const QString prefix = QStringLiteral("attribute.user = ");
        if (line.startsWith(prefix))
            keys.append(line.mid(prefix.size()));
    }
    keys.sort();
    return keys;
}

QCoro::Task<> writeRaw(QString account, QString text) {
    QKeychain::WritePasswordJob job(NativeCredentials::service());
    job.setAutoDelete(false);
    job.setKey(account);
    job.setTextData(text);
    Wakeup wakeup;
    QObject::connect(&job, &QKeychain::Job::finished, &wakeup, &Wakeup::wake, Qt::QueuedConnection);
    job.start();
    co_await qCoro(&wakeup, &Wakeup::woken);
    if (job.error() != QKeychain::NoError)
        throw std::runtime_error(job.errorString().toStdString());
}

} // namespace KeyringHelpers
