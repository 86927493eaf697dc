#include "connection/NativeCredentials.h"

#include "async/Wakeup.h"
#include "connection/JsonReader.h"
#include "connection/NativeClientError.h"

#include <QCoreApplication>
#include <QCoroSignal>

#include <qt6keychain/keychain.h>

#include <memory>

namespace {

struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

template <typename Job> using JobPointer = std::unique_ptr<Job, DeleteLater>;

template <typename Job> JobPointer<Job> makeJob(const QString &account) {
    JobPointer<Job> job(new Job(NativeCredentials::service()));
    job->setAutoDelete(false);
    // Never fall back to a plain-text file when no secret store answers.
    job->setInsecureFallback(false);
    job->setKey(account);
    return job;
}

// Starts the job and resumes once it has finished. The wake-up is queued, so the coroutine never
// resumes (and never releases the job) inside the job's own signal emission.
QCoro::Task<> run(QKeychain::Job &job) {
    Wakeup wakeup;
    QObject::connect(&job, &QKeychain::Job::finished, &wakeup, &Wakeup::wake, Qt::QueuedConnection);
    job.start();
    co_await qCoro(&wakeup, &Wakeup::woken);
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

QCoro::Task<std::optional<NativeSession>> NativeCredentials::read(QString account) {
    const auto job = makeJob<QKeychain::ReadPasswordJob>(account);
    co_await run(*job);
    if (job->error() != QKeychain::NoError)
        co_return std::nullopt;
    try {
        co_return NativeSession::fromJson(job->textData().toUtf8());
    } catch (const JsonDecodeError &) {
        co_return std::nullopt;
    }
}

QCoro::Task<> NativeCredentials::save(NativeSession session, QString origin) {
    const QString data = QString::fromUtf8(session.toJson());
    // The store has one "write" that adds or replaces; ask first, to tell an update from an add.
    const auto probe = makeJob<QKeychain::ReadPasswordJob>(origin);
    co_await run(*probe);
    const QKeychain::Error found = probe->error();
    if (found != QKeychain::NoError && found != QKeychain::EntryNotFound)
        throw NativeClientError::message(QStringLiteral("Could not update this session in Keychain."));

    const auto write = makeJob<QKeychain::WritePasswordJob>(origin);
    write->setTextData(data);
    co_await run(*write);
    if (write->error() == QKeychain::NoError)
        co_return;
    if (found == QKeychain::EntryNotFound)
        throw NativeClientError::message(QStringLiteral("Could not save this session in Keychain."));
    throw NativeClientError::message(QStringLiteral("Could not update this session in Keychain."));
}

QCoro::Task<> NativeCredentials::remove(QString account) {
    const auto job = makeJob<QKeychain::DeletePasswordJob>(account);
    co_await run(*job);
}
