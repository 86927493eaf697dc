#pragma once

#include "connection/NativeClock.h"

// The system uptime in seconds, with sleeps on the event loop's timers.
class NativeSystemClock : public NativeClock {
public:
    double now() const override;
    QCoro::Task<> sleep(double seconds, CancellationToken token) override;
};
