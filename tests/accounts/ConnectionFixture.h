#pragma once

#include "ScriptedTransport.h"

#include "connection/NativeConnection.h"
#include "connection/NativeFakePathSource.h"

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

// Time for sign-in tests: it moves only when someone sleeps, by the whole sleep at once, so a
// five-minute approval wait passes at once. Each sleep still yields to the event loop, so
// cancellation can get in between.
class SteppingClock : public NativeClock {
public:
    double current = 1000.0;
    QList<double> sleeps;
    std::function<void()> onSleep; // called as each sleep begins

    double now() const override { return current; }
    QCoro::Task<> sleep(double seconds, CancellationToken token) override;
};

// Stands in for the system browser.
struct FakeBrowser {
    bool accepts = true;
    QList<QUrl> opened;
    NativeBrowserSignIn::Opener opener();
};

// A settings file of its own, a scripted server, a fake clock and browser for each connection.
class ConnectionFixture {
public:
    static constexpr auto server = "https://sheets.example";
    static constexpr auto scheme = "net.brevane.tabrel.test";

    QTemporaryDir folder;
    std::shared_ptr<QSettings> settings =
        std::make_shared<QSettings>(folder.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    ScriptedServer scripted;
    std::shared_ptr<SteppingClock> clock = std::make_shared<SteppingClock>();
    std::shared_ptr<NativeFakePathSource> path = std::make_shared<NativeFakePathSource>();
    std::shared_ptr<NativeConnectivity> connectivity = NativeConnectivity::create(path);
    FakeBrowser browser;

    std::shared_ptr<NativeConnection> make(const QString &defaultServer = QLatin1String(server));
    NativeConnection::Services services();
};

// Well-formed tokens: 32 bytes of `fill`, unpadded URL-safe Base64.
QString token(char fill);

// Serves a sign-in: the request gets `id`; the exchange answers 202 `pending` times, then 200 with
// `session`.
ScriptedHandler approvingServer(QString id, NativeSession session, int pending = 0);
