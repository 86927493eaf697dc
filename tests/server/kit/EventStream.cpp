#include "EventStream.h"

EventStream::EventStream(const std::string &origin, const ServerSession &session, const std::string &path)
    : m_client(origin) {
    m_client.enable_server_certificate_verification(false);
    m_client.set_read_timeout(300, 0);
    m_client.set_connection_timeout(10, 0);
    const httplib::Headers headers{{"Accept", "text/event-stream"},
                                   {"Accept-Encoding", "gzip, deflate"},
                                   {"Origin", origin},
                                   {"Cookie", session.name + "=" + session.value}};
    m_thread = std::thread([this, path, headers] {
        m_client.Get(
            path, headers,
            [this](const httplib::Response &response) {
                std::lock_guard lock(m_mutex);
                m_status = response.status;
                m_contentType = response.get_header_value("Content-Type");
                m_changed.notify_all();
                return true;
            },
            [this](const char *data, std::size_t size) {
                receive(data, size);
                std::lock_guard lock(m_mutex);
                return !m_stopping;
            });
        std::lock_guard lock(m_mutex);
        m_ended = true;
        if (m_status == 0)
            m_status = -1;
        m_changed.notify_all();
    });
}

EventStream::~EventStream() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_client.stop();
    m_thread.join();
}

void EventStream::receive(const char *data, std::size_t size) {
    std::lock_guard lock(m_mutex);
    m_buffer.append(data, size);
    // The lines are cut first and the buffer shortened once: a busy stream brings hundreds of
    // lines in one piece, and erasing each from the front would copy the rest every time.
    std::size_t start = 0;
    std::size_t end;
    while ((end = m_buffer.find('\n', start)) != std::string::npos) {
        std::string_view text(m_buffer.data() + start, end - start);
        start = end + 1;
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        line(text);
    }
    m_buffer.erase(0, start);
    m_changed.notify_all();
}

void EventStream::line(std::string_view text) {
    if (text.empty()) {
        if (!m_current.name.empty() || !m_current.data.empty())
            m_events.push_back(m_current);
        m_current = {};
    } else if (text.starts_with(":")) {
        ++m_comments;
    } else if (text.starts_with("event:")) {
        m_current.name = std::string(text.substr(text.size() > 6 && text[6] == ' ' ? 7 : 6));
    } else if (text.starts_with("data:")) {
        if (!m_current.data.empty())
            m_current.data += "\n";
        m_current.data += text.substr(text.size() > 5 && text[5] == ' ' ? 6 : 5);
    }
}

bool EventStream::waitOpen(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, limit, [this] { return m_status != 0; });
    return m_status == 200 && m_contentType.starts_with("text/event-stream");
}

bool EventStream::waitFor(const std::function<bool(const std::vector<Event> &)> &condition,
                          std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return condition(m_events); });
}

std::optional<EventStream::Event> EventStream::waitForEvent(const std::string &name,
                                                            std::chrono::milliseconds limit) {
    std::optional<Event> found;
    waitFor(
        [&](const std::vector<Event> &events) {
            for (const auto &event : events) {
                if (event.name == name) {
                    found = event;
                    return true;
                }
            }
            return false;
        },
        limit);
    return found;
}

bool EventStream::waitEnded(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [this] { return m_ended; });
}

int EventStream::status() const {
    std::lock_guard lock(m_mutex);
    return m_status;
}

std::vector<EventStream::Event> EventStream::events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

int EventStream::comments() const {
    std::lock_guard lock(m_mutex);
    return m_comments;
}
