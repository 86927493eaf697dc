#include "ConnectionFixture.h"

#include "async/CancellableSleep.h"
#include "connection/NativeSignInProof.h"

#include <memory>

QCoro::Task<> SteppingClock::sleep(double seconds, CancellationToken token) {
    sleeps.append(seconds);
    current += seconds;
    if (onSleep)
        onSleep();
    co_await sleepFor(std::chrono::milliseconds(0), token);
}

namespace {
QCoro::Task<bool> openIn(FakeBrowser *browser, QUrl url) {
    browser->opened.append(url);
    co_return browser->accepts;
}
} // namespace

NativeBrowserSignIn::Opener FakeBrowser::opener() {
    return [this](QUrl url) { return openIn(this, std::move(url)); };
}

NativeConnection::Services ConnectionFixture::services() {
    NativeConnection::Services services;
    services.makeClient = scripted.factory();
    services.openBrowser = browser.opener();
    services.clock = clock;
    return services;
}

std::shared_ptr<NativeConnection> ConnectionFixture::make(const QString &defaultServer) {
    return NativeConnection::create(defaultServer, QString::fromLatin1(scheme), settings, connectivity,
                                    services());
}

QString token(char fill) {
    return NativeSignInProof::base64Url(QByteArray(32, fill));
}

namespace {
QCoro::Task<NativeResponse> serveApproval(ScriptedRequest request, QString id, NativeSession session,
                                          std::shared_ptr<int> pending) {
    if (request.path == QLatin1String("/native/request"))
        co_return answer(200, QByteArrayLiteral("{\"id\":\"") + id.toUtf8() + "\"}");
    if (request.path == QLatin1String("/native/exchange")) {
        if (*pending > 0) {
            --*pending;
            co_return answer(202);
        }
        co_return answer(200, session.toJson());
    }
    co_return answer(404);
}
} // namespace

ScriptedHandler approvingServer(QString id, NativeSession session, int pending) {
    auto left = std::make_shared<int>(pending);
    return [id, session, left](ScriptedRequest request) {
        return serveApproval(std::move(request), id, session, left);
    };
}
