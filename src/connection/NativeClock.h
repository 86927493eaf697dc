#pragma once

#include "async/CancellationToken.h"

#include <QCoroTask>

#include <memory>

// Time as the reconnect pacing sees it: seconds on a monotonic clock, and sleeps on that clock.
// Injected so that tests move time by hand instead of waiting. Used on the GUI thread only.
class NativeClock {
public:
    virtual ~NativeClock() = default;

    // Seconds since an arbitrary fixed point; never goes backwards.
    virtual double now() const = 0;
    // Suspends for `seconds` (not at all when zero or less). Throws CancellationError as soon as
    // `token` is cancelled, without waiting for the rest of the time.
    virtual QCoro::Task<> sleep(double seconds, CancellationToken token) = 0;

    // The system's monotonic clock (time since boot), shared by everyone who needs no other.
    static std::shared_ptr<NativeClock> system();
};
