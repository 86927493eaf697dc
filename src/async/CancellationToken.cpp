#include "async/CancellationToken.h"

#include "async/CancellationError.h"
#include "async/CancellationSource.h"

#include <utility>

CancellationRegistration::CancellationRegistration(std::weak_ptr<detail::CancellationState> state,
                                                   std::uint64_t id)
    : m_state(std::move(state)), m_id(id) {}

CancellationRegistration::CancellationRegistration(CancellationRegistration &&other) noexcept
    : m_state(std::exchange(other.m_state, {})), m_id(std::exchange(other.m_id, 0)) {}

CancellationRegistration &CancellationRegistration::operator=(CancellationRegistration &&other) noexcept {
    if (this != &other) {
        reset();
        m_state = std::exchange(other.m_state, {});
        m_id = std::exchange(other.m_id, 0);
    }
    return *this;
}

CancellationRegistration::~CancellationRegistration() { reset(); }

void CancellationRegistration::reset() {
    if (auto state = m_state.lock())
        state->callbacks.erase(m_id);
    m_state.reset();
}

CancellationToken::CancellationToken(std::shared_ptr<detail::CancellationState> state)
    : m_state(std::move(state)) {}

bool CancellationToken::isCancelled() const { return m_state && m_state->cancelled.load(); }

void CancellationToken::throwIfCancelled() const {
    if (isCancelled())
        throw CancellationError();
}

CancellationRegistration CancellationToken::onCancel(std::function<void()> callback) const {
    if (!m_state)
        return {};
    if (m_state->cancelled.load()) {
        callback();
        return {};
    }
    const auto id = ++m_state->nextCallbackId;
    m_state->callbacks.emplace(id, std::move(callback));
    return CancellationRegistration(m_state, id);
}

CancellationSource::CancellationSource() : m_state(std::make_shared<detail::CancellationState>()) {}

CancellationToken CancellationSource::token() const { return CancellationToken(m_state); }

bool CancellationSource::isCancelled() const { return m_state->cancelled.load(); }

void CancellationSource::cancel() {
    // Held here: a callback may destroy this source's owner.
    const auto state = m_state;
    if (state->cancelled.exchange(true))
        return;
    // One at a time: a callback may resume a coroutine that destroys other registrations, whose
    // callbacks must then not run.
    while (!state->callbacks.empty()) {
        auto first = state->callbacks.begin();
        auto callback = std::move(first->second);
        state->callbacks.erase(first);
        callback();
    }
}
