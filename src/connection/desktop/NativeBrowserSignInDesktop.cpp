#include "NativeBrowserSignInDesktop.h"

#include "async/Wakeup.h"

#include <QCoreApplication>
#include <QCoroSignal>
#include <QProcess>
#include <QTimer>

QCoro::Task<bool> nativeOpenInSystemBrowser(QUrl url, std::chrono::milliseconds patience) {
    // QDesktopServices::openUrl reports success as soon as xdg-open starts, even when it then fails
    // to find a browser: run it here and look at how it ends.
    auto process = new QProcess();
    process->setProgram(QStringLiteral("xdg-open"));
    process->setArguments({url.toString(QUrl::FullyEncoded)});
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    Wakeup wakeup;
    QTimer limit;
    limit.setSingleShot(true);
    const auto wake = [&wakeup] { QMetaObject::invokeMethod(&wakeup, &Wakeup::wake, Qt::QueuedConnection); };
    QObject::connect(process, &QProcess::finished, &wakeup, wake);
    QObject::connect(process, &QProcess::errorOccurred, &wakeup, wake);
    QObject::connect(&limit, &QTimer::timeout, &wakeup, wake);
    limit.start(patience);
    process->start();
    while (process->state() != QProcess::NotRunning && limit.isActive())
        co_await qCoro(&wakeup, &Wakeup::woken);
    if (process->state() != QProcess::NotRunning) {
        // Still running the browser: let it run, and clean up once it ends (or with the application).
        process->setParent(QCoreApplication::instance());
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
        co_return true;
    }
    const bool opened = process->error() == QProcess::UnknownError &&
                        process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    process->deleteLater();
    co_return opened;
}
