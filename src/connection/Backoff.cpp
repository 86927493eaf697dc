#include "connection/Backoff.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

Backoff::Backoff(Random random) : m_random(random ? std::move(random) : systemRandom()) {}

double Backoff::next(std::optional<double> retryAfter) {
    const double base = std::min(initial * std::pow(2.0, m_attempt), cap);
    m_attempt = std::min(m_attempt + 1, maxAttempt);
    const double lower = base / 2;
    // A source that strays outside its range must not produce a negative or runaway delay.
    const double drawn = m_random(lower, base);
    const double delay = std::isnan(drawn) ? lower : std::clamp(drawn, lower, base);
    if (retryAfter && *retryAfter > 0)
        return std::max(delay, std::min(*retryAfter, retryAfterCap));
    return delay;
}

void Backoff::ended(double at) {
    if (m_openedAt && at - *m_openedAt > stableConnection)
        m_attempt = 0;
    m_openedAt.reset();
}

Backoff::Random Backoff::systemRandom() {
    return [](double lower, double upper) {
        return lower + QRandomGenerator::global()->generateDouble() * (upper - lower);
    };
}
