#include "sheets/WriteFold.h"

#include <utility>

bool WriteFold::join(Entry &entry) {
    std::unique_lock lock(m_mutex);
    m_waiting.push_back(&entry);
    if (!m_leading) {
        m_leading = true;
        entry.lead = true;
        return true;
    }
    entry.wake.wait(lock, [&] { return entry.lead || entry.done; });
    return entry.lead;
}

std::vector<WriteFold::Entry *> WriteFold::take() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_waiting, {});
}

void WriteFold::handOff() {
    std::lock_guard lock(m_mutex);
    if (m_waiting.empty()) {
        m_leading = false;
        return;
    }
    // Notified under the lock: once it sees its flag the entry may end, and its condition with it.
    m_waiting.front()->lead = true;
    m_waiting.front()->wake.notify_one();
}

void WriteFold::done(Entry &entry) {
    std::lock_guard lock(m_mutex);
    entry.done = true;
    entry.wake.notify_one();
}
