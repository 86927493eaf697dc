#include "connection/NativeReconnect.h"

#include "async/CancellationError.h"

#include <algorithm>

NativeReconnect::NativeReconnect(std::shared_ptr<NativeConnectivity> connectivity, Backoff backoff,
                                 std::shared_ptr<NativeClock> clock, QUrl origin)
    : m_connectivity(std::move(connectivity)), m_backoff(std::move(backoff)),
      m_clock(clock ? std::move(clock) : NativeClock::system()), m_origin(std::move(origin)) {}

void NativeReconnect::opened() {
    m_backoff.opened(m_clock->now());
}

void NativeReconnect::failed(const NativeClientError &error) {
    if (error.kind() != NativeClientError::Case::rateLimited)
        return;
    const std::optional<double> retryAfter = error.retryAfter();
    if (!retryAfter || !(*retryAfter > 0))
        return;
    const double until = m_clock->now() + std::min(*retryAfter, Backoff::retryAfterCap);
    m_notBefore = std::max(m_notBefore.value_or(0.0), until);
}

void NativeReconnect::failed(std::exception_ptr error) {
    if (const auto clientError = NativeClientError::from(error))
        failed(*clientError);
}

QCoro::Task<double> NativeReconnect::pause(CancellationToken token) {
    const auto self = shared_from_this();
    const double start = m_clock->now();
    m_backoff.ended(start);
    const double delay = m_backoff.next(std::nullopt);

    double remaining = delay;
    if (m_notBefore && start < *m_notBefore) {
        try {
            co_await m_clock->sleep(*m_notBefore - start, token);
        } catch (const CancellationError &) {
        }
        remaining = delay - (m_clock->now() - start);
    }
    m_notBefore.reset();

    if (token.isCancelled())
        co_return delay;
    if (remaining <= 0 && m_connectivity->isPathSatisfied(m_origin))
        co_return delay;
    // Without a usable path this wait has no time limit.
    if (co_await m_connectivity->wait(std::max(remaining, 0.0), token, m_origin))
        m_backoff.reset();
    co_return delay;
}
