#include "http/ConnectionStream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>

namespace {

thread_local ConnectionStream *servedHere = nullptr;

// Waits are cut into slices so that a stopping server is noticed promptly.
constexpr auto slice = std::chrono::milliseconds(250);

} // namespace

ConnectionStream::ConnectionStream(int fd, std::string address, int port, SSL_CTX *tls, Timeouts timeouts,
                                   const std::atomic<bool> &stopping)
    : m_fd(fd), m_address(std::move(address)), m_port(port), m_timeouts(timeouts), m_stopping(stopping) {
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    if (tls) {
        m_ssl = SSL_new(tls);
        SSL_set_fd(m_ssl, m_fd);
    }
    servedHere = this;
}

ConnectionStream::~ConnectionStream() {
    servedHere = nullptr;
    if (m_ssl) {
        SSL_shutdown(m_ssl);
        SSL_free(m_ssl);
    }
}

ConnectionStream *ConnectionStream::current() {
    return servedHere;
}

void ConnectionStream::extendCurrentDeadline(Clock::time_point deadline) {
    if (servedHere && servedHere->m_deadline)
        servedHere->m_deadline = std::max(*servedHere->m_deadline, deadline);
}

bool ConnectionStream::wait(short events, Clock::time_point limit) const {
    while (!m_stopping) {
        const auto now = Clock::now();
        if (now >= limit)
            return false;
        const auto left = std::min<Clock::duration>(limit - now, slice);
        pollfd entry{m_fd, events, 0};
        const int timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
    return false;
}

bool ConnectionStream::handshake(Clock::time_point deadline) {
    if (!m_ssl)
        return true;
    while (true) {
        const int result = SSL_accept(m_ssl);
        if (result == 1)
            return true;
        const int error = SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_WANT_READ) {
            if (!wait(POLLIN, deadline))
                return false;
        } else if (error == SSL_ERROR_WANT_WRITE) {
            if (!wait(POLLOUT, deadline))
                return false;
        } else {
            return false;
        }
    }
}

bool ConnectionStream::waitForRequest(std::chrono::milliseconds idle) {
    if (buffered() > 0 || (m_ssl && SSL_pending(m_ssl) > 0))
        return true;
    return wait(POLLIN, Clock::now() + idle);
}

void ConnectionStream::startRequest(Clock::time_point deadline) {
    m_deadline = deadline;
    m_started = Clock::now();
    m_answering = false;
}

ConnectionStream::Clock::time_point ConnectionStream::readLimit() const {
    const auto limit = Clock::now() + m_timeouts.read;
    return m_deadline ? std::min(limit, *m_deadline) : limit;
}

bool ConnectionStream::is_readable() const {
    if (buffered() > 0 || (m_ssl && SSL_pending(m_ssl) > 0))
        return true;
    return wait(POLLIN, readLimit());
}

bool ConnectionStream::is_writable() const {
    return wait(POLLOUT, Clock::now() + m_timeouts.write);
}

ssize_t ConnectionStream::read(char *ptr, size_t size) {
    if (buffered() == 0 && size < m_buffer.size()) {
        const ssize_t got = receive(m_buffer.data(), m_buffer.size());
        if (got <= 0)
            return got;
        m_bufferStart = 0;
        m_bufferEnd = static_cast<std::size_t>(got);
    }
    if (buffered() > 0) {
        const std::size_t taken = std::min(size, buffered());
        std::copy_n(m_buffer.data() + m_bufferStart, taken, ptr);
        m_bufferStart += taken;
        return static_cast<ssize_t>(taken);
    }
    return receive(ptr, size);
}

ssize_t ConnectionStream::receive(char *ptr, size_t size) {
    const auto limit = readLimit();
    while (true) {
        ssize_t got = 0;
        bool wantWrite = false;
        if (m_ssl) {
            const int result = SSL_read(m_ssl, ptr, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
            if (result > 0)
                return result;
            const int error = SSL_get_error(m_ssl, result);
            if (error == SSL_ERROR_ZERO_RETURN)
                return 0;
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
                return -1;
            wantWrite = error == SSL_ERROR_WANT_WRITE;
        } else {
            got = ::recv(m_fd, ptr, size, 0);
            if (got >= 0)
                return got;
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
        }
        if (!wait(wantWrite ? POLLOUT : POLLIN, limit))
            return -1;
    }
}

bool ConnectionStream::bodyFollows(std::string_view head) {
    const std::string_view field = "\r\nContent-Length: ";
    const auto at = head.find(field);
    return at != std::string_view::npos && head.find("\r\nTransfer-Encoding:") == std::string_view::npos &&
           head.substr(at + field.size(), 2) != "0\r";
}

bool ConnectionStream::flush() {
    return m_held.empty() || sendPlain(nullptr, 0) == 0;
}

ssize_t ConnectionStream::sendPlain(const char *ptr, size_t size) {
    const auto limit = Clock::now() + m_timeouts.write;
    std::size_t heldSent = 0;
    while (true) {
        iovec parts[2] = {{m_held.data() + heldSent, m_held.size() - heldSent}, {const_cast<char *>(ptr), size}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = size > 0 ? 2 : 1;
        const ssize_t sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
        if (sent >= 0) {
            heldSent += static_cast<std::size_t>(sent);
            if (heldSent < m_held.size())
                continue;
            const auto bodySent = static_cast<ssize_t>(heldSent - m_held.size());
            m_held.clear();
            return bodySent;
        }
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait(POLLOUT, limit)) {
            m_held.clear();
            return -1;
        }
    }
}

ssize_t ConnectionStream::write(const char *ptr, size_t size) {
    // The answer has begun: the request was read in time. httplib writes an answer's head at once.
    m_deadline.reset();
    if (!m_answering) {
        m_answering = true;
        const std::string_view head(ptr, size);
        const auto headEnd = head.find("\r\n\r\n");
        m_closing = head.substr(0, headEnd).find("\r\nConnection: close\r\n") != std::string_view::npos;
        if (!m_ssl && headEnd != std::string_view::npos && headEnd + 4 == size && bodyFollows(head)) {
            m_held.assign(ptr, size);
            return static_cast<ssize_t>(size);
        }
    }
    if (!m_ssl)
        return sendPlain(ptr, size);
    const auto limit = Clock::now() + m_timeouts.write;
    while (true) {
        const int result = SSL_write(m_ssl, ptr, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
        if (result > 0)
            return result;
        const int error = SSL_get_error(m_ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            return -1;
        if (!wait(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, limit))
            return -1;
    }
}

void ConnectionStream::get_remote_ip_and_port(std::string &ip, int &port) const {
    ip = m_address;
    port = m_port;
}

void ConnectionStream::get_local_ip_and_port(std::string &ip, int &port) const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ip.clear();
    port = 0;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&local), &length) == 0)
        describe(local, ip, port);
}

void ConnectionStream::describe(const sockaddr_storage &address, std::string &ip, int &port) {
    char text[INET6_ADDRSTRLEN] = {};
    port = 0;
    if (address.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    ip = text;
}
