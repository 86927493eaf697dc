#include "connection/NativeConnectivityChanges.h"

#include "async/CancellationError.h"
#include "async/Wakeup.h"
#include "connection/NativeConnectivity.h"

#include <QCoroSignal>

NativeConnectivityChanges::NativeConnectivityChanges(std::weak_ptr<NativeConnectivity> owner,
                                                     std::uint64_t id)
    : m_owner(std::move(owner)), m_id(id) {}

NativeConnectivityChanges::~NativeConnectivityChanges() {
    if (const auto owner = m_owner.lock())
        owner->unsubscribe(m_id);
}

QCoro::Task<bool> NativeConnectivityChanges::next(CancellationToken token) {
    const auto self = shared_from_this();
    while (!m_pending && !m_ended) {
        token.throwIfCancelled();
        Wakeup wakeup;
        connect(this, &NativeConnectivityChanges::arrived, &wakeup, &Wakeup::wake);
        // Queued, so that the coroutine is always suspended before it is woken.
        const auto registration = token.onCancel(
            [&wakeup] { QMetaObject::invokeMethod(&wakeup, &Wakeup::wake, Qt::QueuedConnection); });
        co_await qCoro(&wakeup, &Wakeup::woken);
    }
    if (m_pending) {
        m_pending = false;
        co_return true;
    }
    co_return false;
}

void NativeConnectivityChanges::deliver() {
    m_pending = true;
    Q_EMIT arrived();
}

void NativeConnectivityChanges::end() {
    m_ended = true;
    m_owner.reset();
    Q_EMIT arrived();
}
