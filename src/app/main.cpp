#include "app/TabrelApp.h"
#include "async/DetachedTask.h"
#include "connection/NativeSignInCallbackRelay.h"

#include <QApplication>
#include <QTimer>

namespace {
// The browser starts us again with the sign-in callback; that URL belongs to the running instance.
std::optional<QUrl> callbackArgument(const QStringList &arguments) {
    for (const QString &argument : arguments.mid(1)) {
        const QUrl url(argument, QUrl::StrictMode);
        if (url.isValid() && url.scheme().startsWith(QLatin1String(NativeConnection::callbackSchemePrefix)))
            return url;
    }
    return std::nullopt;
}
} // namespace

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Brevane"));
    QApplication::setApplicationName(QStringLiteral("Tabrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brevane Tabrel"));
    QGuiApplication::setDesktopFileName(QStringLiteral("net.brevane.Tabrel"));

    const std::optional<QUrl> callback = callbackArgument(QApplication::arguments());
    auto relay = std::make_unique<NativeSignInCallbackRelay>(NativeSignInCallbackRelay::defaultName());
    if (!relay->listen()) {
        // Another instance runs: hand it the callback (if any) and leave.
        if (!callback)
            return 0;
        int status = 1;
        startDetached(std::make_shared<int>(0), [callback, &status]() -> QCoro::Task<> {
            const bool forwarded = co_await NativeSignInCallbackRelay::forward(
                NativeSignInCallbackRelay::defaultName(), *callback);
            status = forwarded ? 0 : 1;
            QCoreApplication::exit(status);
        });
        return QApplication::exec();
    }

    TabrelApp::Options options;
    // The server a new installation offers is a deployment setting; the demo sets its own. The
    // callback scheme stays the one the installed desktop file registers.
    const QString deployed = qEnvironmentVariable("TABREL_DEFAULT_SERVER");
    if (!deployed.isEmpty())
        options.defaultServer = deployed;
    options.callbackScheme = NativeConnection::defaultCallbackScheme(NativeConnection::defaultServer());
    TabrelApp app(std::move(options));
    QObject::connect(relay.get(), &NativeSignInCallbackRelay::urlReceived, &app, &TabrelApp::handleOpenURL);
    app.start();
    if (callback)
        QTimer::singleShot(0, &app, [&app, url = *callback] { app.handleOpenURL(url); });
    return QApplication::exec();
}
