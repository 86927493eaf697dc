#include "connection/NativeFakePathSource.h"

void NativeFakePathSource::start(Callback onPath) {
    const std::lock_guard lock(m_mutex);
    m_onPath = std::move(onPath);
    m_started = true;
}

void NativeFakePathSource::cancel() {
    const std::lock_guard lock(m_mutex);
    m_onPath = nullptr;
    m_cancelled = true;
}

void NativeFakePathSource::report(const NativePath &path) {
    Callback onPath;
    {
        const std::lock_guard lock(m_mutex);
        onPath = m_onPath;
    }
    if (onPath)
        onPath(path);
}

bool NativeFakePathSource::isStarted() const {
    const std::lock_guard lock(m_mutex);
    return m_started;
}

bool NativeFakePathSource::isCancelled() const {
    const std::lock_guard lock(m_mutex);
    return m_cancelled;
}
