#pragma once

#include "async/CancellationToken.h"
#include "connection/NativeClock.h"
#include "connection/NativeConnectivityChanges.h"
#include "connection/NativePath.h"
#include "connection/NativePathSource.h"
#include "connection/NativeTransportOutcome.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QUrl>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

// Whether the client can reach a server, without polling: the device's network path as the path
// source reports it, combined with what each server origin's last request showed. Wakes waiters
// when the path changes, when a server answers after being unreachable, and when the application
// comes to the foreground.
//
// Lives on the GUI thread and is owned by std::shared_ptr; path reports and transport outcomes from
// other threads hop to the GUI thread first and are dropped once the object is gone.
class NativeConnectivity : public QObject, public std::enable_shared_from_this<NativeConnectivity> {
    Q_OBJECT
    Q_PROPERTY(bool pathSatisfied READ isPathSatisfied NOTIFY pathChanged)
public:
    // Starts `source` and, when the application object is a QGuiApplication, follows its
    // activation. `clock` times the waits.
    static std::shared_ptr<NativeConnectivity>
    create(std::shared_ptr<NativePathSource> source,
           std::shared_ptr<NativeClock> clock = NativeClock::system());
    // The application-wide instance on the system's network information, made on first use. Call
    // it once the application object exists.
    static std::shared_ptr<NativeConnectivity> shared();

    ~NativeConnectivity() override;

    // The last reported path; none until the first report.
    std::optional<NativePath> path() const { return m_path; }
    // True while no path is known yet or the known one is satisfied.
    bool isPathSatisfied() const;
    // The same for one server: a loopback origin needs no network path at all.
    bool isPathSatisfied(const QUrl &origin) const;
    // True when a known path is not satisfied (never for a loopback origin), or the last request
    // to `origin` failed as offline.
    bool isOffline(const QUrl &origin) const;
    // This machine: "localhost" or a loopback address.
    static bool isLoopback(const QUrl &origin);
    // True after any HTTP answer from `origin`, false after an offline failure, none before either
    // or since the path last changed.
    std::optional<bool> serverReachable(const QUrl &origin) const;

    // An observer to hand to the transport of `origin`. It may be called from any thread; each
    // outcome is recorded on the GUI thread, or dropped once this object is gone.
    NativeTransportObserver observer(const QUrl &origin);
    // Any HTTP answer marks the origin reachable and, when it was not, wakes waiters; an offline
    // failure marks it unreachable without waking anyone.
    void record(const NativeTransportOutcome &outcome, const QUrl &origin);

    // A new subscription to the changes; subscribe before checking the state so that a change in
    // between is not missed.
    std::shared_ptr<NativeConnectivityChanges> changes();
    // True when a change arrived before `seconds` ran out. While a known path is not satisfied
    // (for `origin`, when given) there is no time limit. Never throws: a cancelled `token` ends
    // the wait with false.
    QCoro::Task<bool> wait(double seconds, CancellationToken token = {}, QUrl origin = {});

    // The key under which an origin's reachability is kept: scheme, host and port only.
    static QString originKey(const QUrl &origin);

public Q_SLOTS:
    // The application came to the foreground: wake waiters.
    void foregrounded();

Q_SIGNALS:
    void pathChanged();
    // serverReachable changed, so isOffline may answer differently.
    void reachabilityChanged();
    // Emitted with every change that wakes waiters.
    void changed();

private Q_SLOTS:
    void applicationStateChanged(Qt::ApplicationState state);

private:
    friend class NativeConnectivityChanges;

    NativeConnectivity(std::shared_ptr<NativePathSource> source, std::shared_ptr<NativeClock> clock);
    void start();
    void followApplicationActivation();
    void pathReported(const NativePath &path);
    void notify();
    void unsubscribe(std::uint64_t id);

    std::shared_ptr<NativePathSource> m_source;
    std::shared_ptr<NativeClock> m_clock;
    std::optional<NativePath> m_path;
    QHash<QString, bool> m_serverReachable;
    std::map<std::uint64_t, NativeConnectivityChanges *> m_subscribers;
    std::uint64_t m_nextSubscriberId = 0;
};
