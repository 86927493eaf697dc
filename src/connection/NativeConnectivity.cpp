#include "connection/NativeConnectivity.h"

#include "async/CancellationError.h"
#include "async/CancellationSource.h"
#include "connection/NativeNetworkPathSource.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QMetaMethod>

namespace {

// Runs `work` on the GUI thread with the connectivity object, unless it is gone by then. Safe to
// call from any thread: only the weak reference crosses threads, and the strong one taken on the
// GUI thread is also released there.
template <typename Work> void onGuiThread(std::weak_ptr<NativeConnectivity> weak, Work work) {
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    QMetaObject::invokeMethod(
        application,
        [weak = std::move(weak), work = std::move(work)] {
            if (const auto connectivity = weak.lock())
                work(*connectivity);
        },
        Qt::QueuedConnection);
}

// Cancels `target` once `seconds` have passed on `clock`, unless `stop` is cancelled first.
QCoro::Task<> cancelAfter(std::shared_ptr<NativeClock> clock, double seconds, CancellationSource target,
                          CancellationToken stop) {
    try {
        co_await clock->sleep(seconds, stop);
    } catch (const CancellationError &) {
        co_return;
    }
    target.cancel();
}

} // namespace

std::shared_ptr<NativeConnectivity> NativeConnectivity::create(std::shared_ptr<NativePathSource> source,
                                                               std::shared_ptr<NativeClock> clock) {
    std::shared_ptr<NativeConnectivity> connectivity(
        new NativeConnectivity(std::move(source), clock ? std::move(clock) : NativeClock::system()));
    connectivity->start();
    return connectivity;
}

std::shared_ptr<NativeConnectivity> NativeConnectivity::shared() {
    static std::shared_ptr<NativeConnectivity> instance;
    if (!instance) {
        // Until the backend reports, the network counts as usable, as on a system without one;
        // the first window and its first requests do not wait for it.
        constexpr std::chrono::seconds backendDelay(1);
        instance = create(std::make_shared<NativeNetworkPathSource>(backendDelay), NativeClock::system());
        // Released while Qt still runs, not among the static destructors after it.
        qAddPostRoutine([] { instance.reset(); });
    }
    return instance;
}

NativeConnectivity::NativeConnectivity(std::shared_ptr<NativePathSource> source,
                                       std::shared_ptr<NativeClock> clock)
    : m_source(std::move(source)), m_clock(std::move(clock)) {}

NativeConnectivity::~NativeConnectivity() {
    if (m_source)
        m_source->cancel();
    // Every waiter learns that no change will come any more.
    const auto subscribers = std::exchange(m_subscribers, {});
    for (const auto &[id, subscriber] : subscribers)
        subscriber->end();
}

void NativeConnectivity::start() {
    if (m_source) {
        m_source->start([weak = weak_from_this()](const NativePath &path) {
            onGuiThread(weak, [path](NativeConnectivity &connectivity) { connectivity.pathReported(path); });
        });
    }
    followApplicationActivation();
}

void NativeConnectivity::followApplicationActivation() {
    // The model library does not link QtGui: find QGuiApplication's signal by its signature.
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    const QMetaObject *meta = application->metaObject();
    const int signalIndex = meta->indexOfSignal("applicationStateChanged(Qt::ApplicationState)");
    if (signalIndex < 0)
        return;
    const int slotIndex = staticMetaObject.indexOfSlot("applicationStateChanged(Qt::ApplicationState)");
    connect(application, meta->method(signalIndex), this, staticMetaObject.method(slotIndex));
}

void NativeConnectivity::applicationStateChanged(Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive)
        foregrounded();
}

void NativeConnectivity::foregrounded() {
    notify();
}

bool NativeConnectivity::isPathSatisfied() const {
    return !m_path || m_path->status == NativePath::Status::satisfied;
}

bool NativeConnectivity::isPathSatisfied(const QUrl &origin) const {
    return isPathSatisfied() || isLoopback(origin);
}

bool NativeConnectivity::isLoopback(const QUrl &origin) {
    const QString host = origin.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

bool NativeConnectivity::isOffline(const QUrl &origin) const {
    if (!isPathSatisfied(origin))
        return true;
    return serverReachable(origin) == false;
}

std::optional<bool> NativeConnectivity::serverReachable(const QUrl &origin) const {
    const auto found = m_serverReachable.constFind(originKey(origin));
    if (found == m_serverReachable.constEnd())
        return std::nullopt;
    return *found;
}

NativeTransportObserver NativeConnectivity::observer(const QUrl &origin) {
    return [weak = weak_from_this(), origin](const NativeTransportOutcome &outcome) {
        onGuiThread(weak, [outcome, origin](NativeConnectivity &connectivity) {
            connectivity.record(outcome, origin);
        });
    };
}

void NativeConnectivity::record(const NativeTransportOutcome &outcome, const QUrl &origin) {
    const QString key = originKey(origin);
    const std::optional<bool> before = serverReachable(origin);
    switch (outcome.kind) {
    case NativeTransportOutcome::Kind::responded:
        m_serverReachable.insert(key, true);
        if (before != true) {
            Q_EMIT reachabilityChanged();
            notify();
        }
        break;
    case NativeTransportOutcome::Kind::offline:
        m_serverReachable.insert(key, false);
        if (before != false)
            Q_EMIT reachabilityChanged();
        break;
    }
}

void NativeConnectivity::pathReported(const NativePath &path) {
    if (m_path == path)
        return;
    m_path = path;
    const bool hadReachability = !m_serverReachable.isEmpty();
    m_serverReachable.clear();
    Q_EMIT pathChanged();
    if (hadReachability)
        Q_EMIT reachabilityChanged();
    notify();
}

void NativeConnectivity::notify() {
    // Copied: a subscriber may go away while others are told.
    const auto subscribers = m_subscribers;
    for (const auto &[id, subscriber] : subscribers) {
        if (m_subscribers.contains(id))
            subscriber->deliver();
    }
    Q_EMIT changed();
}

std::shared_ptr<NativeConnectivityChanges> NativeConnectivity::changes() {
    const auto id = ++m_nextSubscriberId;
    std::shared_ptr<NativeConnectivityChanges> subscription(
        new NativeConnectivityChanges(weak_from_this(), id));
    m_subscribers.emplace(id, subscription.get());
    return subscription;
}

void NativeConnectivity::unsubscribe(std::uint64_t id) {
    m_subscribers.erase(id);
}

QCoro::Task<bool> NativeConnectivity::wait(double seconds, CancellationToken token, QUrl origin) {
    const auto self = shared_from_this();
    const auto changes = this->changes();
    if (!isPathSatisfied(origin)) {
        try {
            co_return co_await changes->next(token);
        } catch (const CancellationError &) {
            co_return false;
        }
    }
    // The time limit and the caller's cancellation both end the wait for a change.
    CancellationSource timeUp;
    const auto forward = token.onCancel([timeUp]() mutable { timeUp.cancel(); });
    CancellationSource stopTimer;
    auto timer = cancelAfter(m_clock, seconds, timeUp, stopTimer.token());
    bool changed = false;
    try {
        changed = co_await changes->next(timeUp.token());
    } catch (const CancellationError &) {
        changed = false;
    }
    stopTimer.cancel();
    co_return changed;
}

QString NativeConnectivity::originKey(const QUrl &origin) {
    const QString scheme = origin.scheme().toLower();
    int port = origin.port();
    if ((scheme == QLatin1String("https") && port == 443) || (scheme == QLatin1String("http") && port == 80))
        port = -1;
    QString host = origin.host().toLower();
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    QString key = scheme + QLatin1String("://") + host;
    if (port != -1)
        key += QLatin1Char(':') + QString::number(port);
    return key;
}
