#include "connection/NativeFakeClock.h"

#include <QCoroSignal>
#include <QPointer>

#include <algorithm>

NativeFakeClock::NativeFakeClock(double start) : m_now(start) {}

QCoro::Task<> NativeFakeClock::sleep(double seconds, CancellationToken token) {
    token.throwIfCancelled();
    if (!(seconds > 0))
        co_return;
    auto sleeper = std::make_shared<Sleeper>();
    sleeper->deadline = m_now + seconds;
    m_sleepers.push_back(sleeper);
    Wakeup *wakeup = &sleeper->wakeup;
    // Queued, so that the coroutine is always suspended before it is woken.
    const auto registration =
        token.onCancel([wakeup] { QMetaObject::invokeMethod(wakeup, &Wakeup::wake, Qt::QueuedConnection); });
    const QPointer<NativeFakeClock> self(this);
    Q_EMIT sleepStarted(seconds);
    co_await qCoro(wakeup, &Wakeup::woken);
    // A cancelled sleep leaves the list here; one that ran its time has left it in advance().
    if (self)
        std::erase(m_sleepers, sleeper);
    token.throwIfCancelled();
}

void NativeFakeClock::advance(double seconds) {
    m_now += std::max(seconds, 0.0);
    std::vector<std::shared_ptr<Sleeper>> due;
    std::erase_if(m_sleepers, [this, &due](const auto &sleeper) {
        if (sleeper->deadline > m_now)
            return false;
        due.push_back(sleeper);
        return true;
    });
    std::stable_sort(due.begin(), due.end(),
                     [](const auto &a, const auto &b) { return a->deadline < b->deadline; });
    for (const auto &sleeper : due)
        sleeper->wakeup.wake();
}

double NativeFakeClock::nextDeadline() const {
    double earliest = m_now;
    bool any = false;
    for (const auto &sleeper : m_sleepers) {
        if (!any || sleeper->deadline < earliest)
            earliest = sleeper->deadline;
        any = true;
    }
    return earliest;
}
