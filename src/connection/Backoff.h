#pragma once

#include <functional>
#include <optional>

// Jittered exponential delay between reconnect attempts, reset after a stable connection.
// A plain value; one per live stream.
class Backoff {
public:
    // Returns a number in the closed range [lower, upper].
    using Random = std::function<double(double lower, double upper)>;

    static constexpr double initial = 0.5;          // seconds
    static constexpr double cap = 10.0;             // seconds
    static constexpr double retryAfterCap = 300.0;  // seconds
    static constexpr double stableConnection = 5.0; // seconds
    static constexpr int maxAttempt = 32;

    explicit Backoff(Random random = systemRandom());

    // The next delay in seconds: a uniform draw between half of and the whole of
    // min(initial * 2^attempt, cap), raised to the server's Retry-After (at most retryAfterCap)
    // when that is longer.
    double next(std::optional<double> retryAfter = std::nullopt);
    void reset() { m_attempt = 0; }
    // Times are seconds on the caller's clock.
    void opened(double at) { m_openedAt = at; }
    // A connection that lasted more than stableConnection starts the delays again from the beginning.
    void ended(double at);

    int attempt() const { return m_attempt; }
    std::optional<double> openedAt() const { return m_openedAt; }

    // A uniform draw from the system's random generator.
    static Random systemRandom();

private:
    int m_attempt = 0;
    Random m_random;
    std::optional<double> m_openedAt;
};
