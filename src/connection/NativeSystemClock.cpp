#include "connection/NativeSystemClock.h"

#include "async/CancellableSleep.h"

#include <chrono>
#include <cmath>

std::shared_ptr<NativeClock> NativeClock::system() {
    static const auto clock = std::make_shared<NativeSystemClock>();
    return clock;
}

double NativeSystemClock::now() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

QCoro::Task<> NativeSystemClock::sleep(double seconds, CancellationToken token) {
    token.throwIfCancelled();
    if (!(seconds > 0))
        co_return;
    // Rounded up, so that the clock has reached the end of the sleep when it returns. A QTimer
    // takes at most about 24 days; nobody here sleeps that long, but a huge value must not wrap.
    constexpr double longest = 24.0 * 24 * 3600;
    const auto milliseconds = static_cast<long long>(std::ceil(std::min(seconds, longest) * 1000.0));
    co_await sleepFor(std::chrono::milliseconds(milliseconds), token);
}
