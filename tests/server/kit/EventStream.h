#pragma once

#include "TestClient.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Reads a live event stream on a thread of its own and collects its events and comments, so a
// test can wait for what it expects (always with a time limit).
class EventStream {
public:
    struct Event {
        std::string name;
        std::string data;
    };

    EventStream(const std::string &origin, const ServerSession &session, const std::string &path);
    ~EventStream();
    EventStream(const EventStream &) = delete;
    EventStream &operator=(const EventStream &) = delete;

    // Waits for the response head; true when it is 200 with text/event-stream.
    bool waitOpen(std::chrono::milliseconds limit = std::chrono::seconds(60));
    bool waitFor(const std::function<bool(const std::vector<Event> &)> &condition,
                 std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Waits until an event of that name arrived and returns the first one.
    std::optional<Event> waitForEvent(const std::string &name,
                                      std::chrono::milliseconds limit = std::chrono::seconds(60));
    bool waitEnded(std::chrono::milliseconds limit = std::chrono::seconds(60));

    int status() const;
    std::vector<Event> events() const;
    int comments() const;

private:
    void receive(const char *data, std::size_t size);
    void line(std::string_view text);

    httplib::Client m_client;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_status = 0;
    std::string m_contentType;
    bool m_ended = false;
    bool m_stopping = false;
    std::string m_buffer;
    Event m_current;
    std::vector<Event> m_events;
    int m_comments = 0;
    std::thread m_thread;
};
