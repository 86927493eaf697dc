#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Live event streams. Each open stream is a Watcher of one tab; a change to the tab is queued for
// every watcher and each stream's thread writes it out. The hub also decides when a stream ends:
// idle, access changed, signed out, or server shutdown.
class EventHub {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        std::chrono::milliseconds keepAlive{15000};
        std::chrono::milliseconds idle{30 * 60 * 1000};
        // Events waiting for one slow reader; past this the stream ends with "resync". The events
        // themselves are shared between streams, so this bounds references, not copies.
        std::size_t maxQueuedBytes = 4 * 1024 * 1024;
        // One account cannot take every stream slot from the others.
        std::size_t maxStreamsPerAccount = 16;
        // Events that follow the last ones written to a stream within this time wait for its end
        // and go out in one write: a busy sheet costs each stream at most twenty writes a second,
        // not one per change, while a change after a quiet moment goes out at once.
        std::chrono::milliseconds gather{50};
    };
    using Event = std::shared_ptr<const std::string>;

    struct Watcher {
        std::int64_t sheetId = 0;
        std::int64_t tabId = 0;
        std::int64_t accountId = 0;
        std::string sessionHash;
        Clock::time_point opened;
        Clock::time_point lastWrite;
        Clock::time_point lastEvents; // when events were last written, for gathering
        bool waiting = false;         // waiting for something to write, to be woken for an event
        std::deque<Event> queue;
        std::size_t queuedBytes = 0;
        std::optional<std::uint64_t> resyncVersion; // the queue overflowed: send a resync instead
        std::optional<std::string> bye;
        bool finished = false;
        std::condition_variable wake;
    };

    // What a stream writes next (possibly nothing, possibly several events); after `last` the
    // stream ends.
    struct Next {
        Event text;
        bool last = false;
    };

    explicit EventHub(Options options);

    // Nothing when the account already has as many streams open as it may.
    std::shared_ptr<Watcher> watch(std::int64_t sheetId, std::int64_t tabId, std::int64_t accountId,
                                   std::string sessionHash);
    void unwatch(const std::shared_ptr<Watcher> &watcher);
    // Blocks until there is something to write for this watcher.
    Next next(Watcher &watcher);

    // Hands a change of the tab to its watchers; `makeEvent` builds the event text, only when
    // someone watches the tab.
    void publish(std::int64_t tabId, std::uint64_t version, const std::function<std::string()> &makeEvent);
    void touchAccount(std::int64_t accountId);
    void accessChanged(std::int64_t sheetId, std::int64_t accountId);
    void sessionEnded(const std::string &sessionHash);
    void shutdown();
    std::size_t watcherCount() const;

    static std::string event(const std::string &name, const std::string &data);

private:
    static Event shared(std::string text) { return std::make_shared<const std::string>(std::move(text)); }
    // The events waiting for a watcher, as many as fit one write of maxWriteBytes; at least one.
    static Event takeQueued(Watcher &watcher);
    static constexpr std::size_t maxWriteBytes = 64 * 1024;

    Options m_options;
    mutable std::mutex m_mutex;
    std::set<std::shared_ptr<Watcher>> m_watchers;
    std::map<std::int64_t, Clock::time_point> m_accountActivity;
    std::map<std::int64_t, Clock::time_point> m_tabActivity;
    bool m_stopping = false;
};
