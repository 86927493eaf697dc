#pragma once

#include <httplib.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// One client connection as httplib reads and writes it: a non-blocking socket, TLS when given a
// context, and a deadline by which the request now being read must have arrived whole. A client
// that sends its request a byte at a time is cut off at the deadline, however steadily it sends.
class ConnectionStream : public httplib::Stream {
public:
    using Clock = std::chrono::steady_clock;

    struct Timeouts {
        std::chrono::milliseconds read{30000};
        std::chrono::milliseconds write{30000};
    };

    ConnectionStream(int fd, std::string address, int port, SSL_CTX *tls, Timeouts timeouts,
                     const std::atomic<bool> &stopping);
    ~ConnectionStream() override;
    ConnectionStream(const ConnectionStream &) = delete;
    ConnectionStream &operator=(const ConnectionStream &) = delete;

    // The TLS handshake, bounded by `deadline`. True at once without TLS.
    bool handshake(Clock::time_point deadline);
    // Waits for the first byte of another request; false when none comes within `idle`.
    bool waitForRequest(std::chrono::milliseconds idle);
    // Reads of this request must be done by `deadline`; the first write of the answer lifts it.
    void startRequest(Clock::time_point deadline);
    // True when the answer just written said "Connection: close": httplib keeps a connection open
    // by the request's headers alone, and a request whose body went unread must end it.
    bool closing() const { return m_closing; }
    // Sends an answer's head still held back for its body; false when the connection failed.
    // Called once the answer is written.
    bool flush();
    // When the first byte of the request now served arrived.
    Clock::time_point requestStarted() const { return m_started; }
    // The stream of the request this thread serves, if any.
    static ConnectionStream *current();
    // Gives the request served on this thread until `deadline` to bring its body.
    static void extendCurrentDeadline(Clock::time_point deadline);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char *ptr, size_t size) override;
    ssize_t write(const char *ptr, size_t size) override;
    void get_remote_ip_and_port(std::string &ip, int &port) const override;
    void get_local_ip_and_port(std::string &ip, int &port) const override;
    socket_t socket() const override { return m_fd; }

    // The text address and port of a socket address (IPv4 or IPv6).
    static void describe(const sockaddr_storage &address, std::string &ip, int &port);

private:
    // Waits until the socket can be read or written; false at the limit or when stopping.
    bool wait(short events, Clock::time_point limit) const;
    Clock::time_point readLimit() const;
    // One read from the socket or TLS, waiting up to the read limit.
    ssize_t receive(char *ptr, size_t size);
    std::size_t buffered() const { return m_bufferEnd - m_bufferStart; }
    // True for the head of an answer whose body follows in the next write.
    static bool bodyFollows(std::string_view head);
    // Sends a held head, if any, and then `size` bytes at `ptr` without TLS, in one call where the
    // socket takes them; returns how many of `size` were sent, or -1.
    ssize_t sendPlain(const char *ptr, size_t size);

    int m_fd;
    std::string m_address;
    int m_port;
    SSL *m_ssl = nullptr;
    Timeouts m_timeouts;
    const std::atomic<bool> &m_stopping;
    std::optional<Clock::time_point> m_deadline;
    Clock::time_point m_started;
    bool m_answering = false;
    bool m_closing = false;
    // httplib writes an answer's head and its body in two calls; sent apart they cost the client a
    // second wake-up and both sides a packet, so the head waits here for the body.
    std::string m_held;
    // httplib reads a request's head a byte at a time: it is served from here, not a call each.
    std::array<char, 4096> m_buffer{};
    std::size_t m_bufferStart = 0;
    std::size_t m_bufferEnd = 0;
};
