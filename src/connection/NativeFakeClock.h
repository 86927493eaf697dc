#pragma once

#include "async/Wakeup.h"
#include "connection/NativeClock.h"

#include <QObject>

#include <memory>
#include <vector>

// A clock for tests: time stands still until advance() moves it, and a sleep ends when the time
// reaches its end. Nothing ever waits for real.
class NativeFakeClock : public QObject, public NativeClock {
    Q_OBJECT
public:
    explicit NativeFakeClock(double start = 1000.0);

    double now() const override { return m_now; }
    QCoro::Task<> sleep(double seconds, CancellationToken token) override;

    // Moves time forward and wakes the sleeps that have reached their end, earliest first. Their
    // coroutines resume from the event loop.
    void advance(double seconds);
    // The number of sleeps that have not ended yet.
    int sleeperCount() const { return static_cast<int>(m_sleepers.size()); }
    // The end of the earliest pending sleep, or the current time when none is pending.
    double nextDeadline() const;

Q_SIGNALS:
    void sleepStarted(double seconds);

private:
    struct Sleeper {
        double deadline = 0;
        Wakeup wakeup;
    };

    double m_now;
    std::vector<std::shared_ptr<Sleeper>> m_sleepers;
};
