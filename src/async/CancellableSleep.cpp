#include "async/CancellableSleep.h"

#include "async/Wakeup.h"

#include <QCoroSignal>
#include <QTimer>

QCoro::Task<> sleepFor(std::chrono::milliseconds duration, CancellationToken token) {
    token.throwIfCancelled();
    Wakeup wakeup;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &wakeup, &Wakeup::wake);
    // Queued, so that the coroutine is always suspended before it is woken.
    const auto registration = token.onCancel(
        [&wakeup] { QMetaObject::invokeMethod(&wakeup, &Wakeup::wake, Qt::QueuedConnection); });
    timer.start(duration);
    co_await qCoro(&wakeup, &Wakeup::woken);
    token.throwIfCancelled();
}
