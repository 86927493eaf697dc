#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace detail {
// Shared between one CancellationSource and the tokens it hands out.
struct CancellationState {
    std::atomic<bool> cancelled{false};
    std::uint64_t nextCallbackId = 0;
    std::map<std::uint64_t, std::function<void()>> callbacks;
};
} // namespace detail

class CancellationToken;

// Unregisters its callback when destroyed, so a callback never outlives the code that installed it.
class CancellationRegistration {
public:
    CancellationRegistration() = default;
    CancellationRegistration(const CancellationRegistration &) = delete;
    CancellationRegistration &operator=(const CancellationRegistration &) = delete;
    CancellationRegistration(CancellationRegistration &&other) noexcept;
    CancellationRegistration &operator=(CancellationRegistration &&other) noexcept;
    ~CancellationRegistration();

private:
    friend class CancellationToken;
    CancellationRegistration(std::weak_ptr<detail::CancellationState> state, std::uint64_t id);
    void reset();

    std::weak_ptr<detail::CancellationState> m_state;
    std::uint64_t m_id = 0;
};

// A copyable view of a CancellationSource, passed as the last parameter of operations that can be
// cancelled. A default-constructed token is never cancelled.
//
// isCancelled() may be asked from any thread; callbacks are registered and run on the thread that
// owns the source (the GUI thread), like everything else observable in the application.
class CancellationToken {
public:
    CancellationToken() = default;

    bool isCancelled() const;
    // Throws CancellationError when the source has been cancelled.
    void throwIfCancelled() const;

    // Runs `callback` once when the source is cancelled, or at once when it already is. The
    // callback is dropped without running when the returned registration is destroyed first.
    [[nodiscard]] CancellationRegistration onCancel(std::function<void()> callback) const;

private:
    friend class CancellationSource;
    explicit CancellationToken(std::shared_ptr<detail::CancellationState> state);

    std::shared_ptr<detail::CancellationState> m_state;
};
