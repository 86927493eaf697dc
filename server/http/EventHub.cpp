#include "http/EventHub.h"

#include <algorithm>

EventHub::EventHub(Options options) : m_options(options) {}

std::string EventHub::event(const std::string &name, const std::string &data) {
    return "event: " + name + "\ndata: " + data + "\n\n";
}

std::shared_ptr<EventHub::Watcher> EventHub::watch(std::int64_t sheetId, std::int64_t tabId,
                                                   std::int64_t accountId, std::string sessionHash) {
    auto watcher = std::make_shared<Watcher>();
    watcher->sheetId = sheetId;
    watcher->tabId = tabId;
    watcher->accountId = accountId;
    watcher->sessionHash = std::move(sessionHash);
    watcher->opened = watcher->lastWrite = Clock::now();
    std::lock_guard lock(m_mutex);
    const auto open = std::count_if(m_watchers.begin(), m_watchers.end(),
                                    [accountId](const auto &other) { return other->accountId == accountId; });
    if (static_cast<std::size_t>(open) >= m_options.maxStreamsPerAccount)
        return nullptr;
    m_watchers.insert(watcher);
    return watcher;
}

void EventHub::unwatch(const std::shared_ptr<Watcher> &watcher) {
    std::lock_guard lock(m_mutex);
    m_watchers.erase(watcher);
}

EventHub::Next EventHub::next(Watcher &watcher) {
    std::unique_lock lock(m_mutex);
    while (true) {
        if (m_stopping || watcher.finished)
            return {{}, true};
        const auto now = Clock::now();
        if (watcher.resyncVersion) {
            // A reader this far behind reloads the grid; its stream ends here, and the client opens
            // a new one after reloading.
            const std::string data =
                "{\"version\":" + std::to_string(*watcher.resyncVersion) + ",\"resync\":true}";
            watcher.resyncVersion.reset();
            watcher.finished = true;
            return {shared(event("resync", data)), true};
        }
        // Events close behind the last ones gather and go out together at `gathered`. The stream
        // waits for that time without being woken by each event of a busy tab in it.
        const auto gathered = watcher.lastEvents + m_options.gather;
        if (!watcher.queue.empty() && now >= gathered) {
            watcher.lastWrite = watcher.lastEvents = now;
            return {takeQueued(watcher), false};
        }
        if (watcher.queue.empty() && watcher.bye) {
            watcher.finished = true;
            return {shared(event("bye", *watcher.bye)), true};
        }
        if (now < gathered) {
            watcher.wake.wait_until(lock, gathered);
            continue;
        }
        auto active = watcher.opened;
        if (const auto it = m_accountActivity.find(watcher.accountId); it != m_accountActivity.end())
            active = std::max(active, it->second);
        if (const auto it = m_tabActivity.find(watcher.tabId); it != m_tabActivity.end())
            active = std::max(active, it->second);
        const auto idleAt = active + m_options.idle;
        if (now >= idleAt) {
            watcher.finished = true;
            return {shared(event("bye", "idle")), true};
        }
        const auto keepAliveAt = watcher.lastWrite + m_options.keepAlive;
        if (now >= keepAliveAt) {
            watcher.lastWrite = now;
            static const Event keepAlive = shared(": keep-alive\n\n");
            return {keepAlive, false};
        }
        watcher.waiting = true;
        watcher.wake.wait_until(lock, std::min(idleAt, keepAliveAt));
        watcher.waiting = false;
    }
}

EventHub::Event EventHub::takeQueued(Watcher &watcher) {
    Event first = std::move(watcher.queue.front());
    watcher.queue.pop_front();
    watcher.queuedBytes -= first->size();
    if (watcher.queue.empty())
        return first;
    // A reader that fell behind gets what waits in one write, not a write and a wake-up each.
    std::string text;
    text.reserve(std::min(watcher.queuedBytes, maxWriteBytes) + first->size());
    text += *first;
    while (!watcher.queue.empty() && text.size() + watcher.queue.front()->size() <= maxWriteBytes) {
        text += *watcher.queue.front();
        watcher.queuedBytes -= watcher.queue.front()->size();
        watcher.queue.pop_front();
    }
    return shared(std::move(text));
}

void EventHub::publish(std::int64_t tabId, std::uint64_t version,
                       const std::function<std::string()> &makeEvent) {
    {
        std::lock_guard lock(m_mutex);
        m_tabActivity[tabId] = Clock::now();
        const bool watched = std::any_of(m_watchers.begin(), m_watchers.end(),
                                         [tabId](const auto &watcher) { return watcher->tabId == tabId; });
        if (!watched)
            return;
    }
    // Built outside the lock: a large change takes a while to write out, and other streams go on.
    const Event event = shared(makeEvent());
    std::vector<std::shared_ptr<Watcher>> waiting;
    std::unique_lock lock(m_mutex);
    for (const auto &watcher : m_watchers) {
        if (watcher->tabId != tabId || watcher->finished)
            continue;
        if (watcher->resyncVersion || watcher->queuedBytes + event->size() > m_options.maxQueuedBytes) {
            // A reader this far behind reloads the grid instead of catching up event by event.
            watcher->queue.clear();
            watcher->queuedBytes = 0;
            watcher->resyncVersion = version;
        } else {
            watcher->queue.push_back(event);
            watcher->queuedBytes += event->size();
        }
        // A stream busy writing, or gathering events, comes back for this one by itself.
        if (watcher->waiting)
            waiting.push_back(watcher);
    }
    lock.unlock();
    // Woken outside the lock, so that the streams do not wake only to wait for it.
    for (const auto &watcher : waiting)
        watcher->wake.notify_one();
}

void EventHub::touchAccount(std::int64_t accountId) {
    std::lock_guard lock(m_mutex);
    m_accountActivity[accountId] = Clock::now();
}

void EventHub::accessChanged(std::int64_t sheetId, std::int64_t accountId) {
    std::lock_guard lock(m_mutex);
    for (const auto &watcher : m_watchers) {
        if (watcher->sheetId == sheetId && watcher->accountId == accountId) {
            watcher->bye = "access-changed";
            watcher->wake.notify_one();
        }
    }
}

void EventHub::sessionEnded(const std::string &sessionHash) {
    std::lock_guard lock(m_mutex);
    for (const auto &watcher : m_watchers) {
        if (watcher->sessionHash == sessionHash) {
            watcher->bye = "signed-out";
            watcher->wake.notify_one();
        }
    }
}

void EventHub::shutdown() {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    for (const auto &watcher : m_watchers)
        watcher->wake.notify_one();
}

std::size_t EventHub::watcherCount() const {
    std::lock_guard lock(m_mutex);
    return m_watchers.size();
}
