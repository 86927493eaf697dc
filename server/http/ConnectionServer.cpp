#include "http/ConnectionServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

namespace {

// Refusing a connection takes no thread: a short answer into the empty send buffer, then close.
std::string tooManyConnections() {
    const std::string body =
        R"({"notice":"busy","message":"Too many connections from this address. Try again shortly."})";
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nRetry-After: 10\r\n"
           "Connection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The HTTP library answers a client that accepts brotli with brotli at its highest quality, which is
// meant for files packed once: about 2.5 ms for a 1 KB page (gzip: 0.1 ms), growing with the answer.
// Gzip packs JSON well at a small part of the cost, so a request offers the library gzip alone, or
// nothing.
void offerGzipOnly(httplib::Request &req) {
    const auto [first, last] = req.headers.equal_range("Accept-Encoding");
    if (first == last)
        return;
    const bool gzip = std::any_of(
        first, last, [](const auto &header) { return header.second.find("gzip") != std::string::npos; });
    req.headers.erase(first, last);
    if (gzip)
        req.headers.emplace("Accept-Encoding", "gzip");
}

} // namespace

ConnectionServer::ConnectionServer(Limits limits, const Tls *tls) : m_limits(limits) {
    // The library's default, SO_REUSEPORT, lets a second server listen on the same port and take
    // half the connections to another data folder. SO_REUSEADDR alone still allows a restart
    // while the last run's connections linger, and refuses a port that is in use.
    set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (!tls)
        return;
    m_tls.reset(SSL_CTX_new(TLS_server_method()));
    m_valid = m_tls && SSL_CTX_set_min_proto_version(m_tls.get(), TLS1_2_VERSION) == 1 &&
              SSL_CTX_use_certificate_chain_file(m_tls.get(), tls->certificate.c_str()) == 1 &&
              SSL_CTX_use_PrivateKey_file(m_tls.get(), tls->key.c_str(), SSL_FILETYPE_PEM) == 1 &&
              SSL_CTX_check_private_key(m_tls.get()) == 1;
    if (m_valid)
        SSL_CTX_set_mode(m_tls.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    ERR_clear_error();
}

ConnectionServer::~ConnectionServer() {
    if (m_listener >= 0)
        ::close(m_listener);
}

int ConnectionServer::bindAndListen(const std::string &host, int port) {
    const int bound = port == 0 ? bind_to_any_port(host) : (bind_to_port(host, port) ? port : -1);
    if (bound < 0)
        return -1;
    // httplib listens with a backlog of 5, which resets a burst of new connections; listening
    // again on the same socket only changes the backlog. The socket stays httplib's too: streams
    // end when it is gone.
    m_listener = svr_sock_;
    if (::listen(m_listener, m_limits.backlog) != 0)
        return -1;
    return bound;
}

bool ConnectionServer::serve() {
    std::unique_ptr<httplib::TaskQueue> workers(new_task_queue());
    bool ok = true;
    while (!m_stopping) {
        pollfd entry{m_listener, POLLIN, 0};
        const int ready = ::poll(&entry, 1, 250);
        if (ready <= 0)
            continue;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(m_listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: let the connections in progress finish some first.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED || errno == EPROTO)
                continue;
            ok = false;
            break;
        }
        // An answer goes out as a head and a body; without this, Nagle's algorithm holds the body back
        // until the client's delayed acknowledgement, about 40 ms on every write confirmation.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::string address;
        int port = 0;
        ConnectionStream::describe(peer, address, port);
        admit(fd, address, port, *workers);
    }
    // Tells httplib's streams that the server is stopping, then waits for every connection.
    svr_sock_ = INVALID_SOCKET;
    ::close(m_listener);
    m_listener = -1;
    workers->shutdown();
    return ok;
}

void ConnectionServer::stopServing() {
    m_stopping = true;
}

std::string ConnectionServer::clientKey(const std::string &address) {
    in6_addr v6{};
    if (::inet_pton(AF_INET6, address.c_str(), &v6) != 1 || IN6_IS_ADDR_V4MAPPED(&v6))
        return address;
    std::fill(v6.s6_addr + 8, v6.s6_addr + 16, 0);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &v6, text, sizeof text);
    return std::string(text) + "/64";
}

void ConnectionServer::admit(int fd, const std::string &address, int port, httplib::TaskQueue &workers) {
    {
        std::lock_guard lock(m_mutex);
        auto &count = m_perAddress[clientKey(address)];
        if (count >= m_limits.connectionsPerAddress) {
            static const std::string refusal = tooManyConnections();
            ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            return;
        }
        ++count;
    }
    workers.enqueue([this, fd, address, port] { serveConnection(fd, address, port); });
}

void ConnectionServer::release(const std::string &address) {
    std::lock_guard lock(m_mutex);
    const auto it = m_perAddress.find(clientKey(address));
    if (it != m_perAddress.end() && --it->second == 0)
        m_perAddress.erase(it);
}

void ConnectionServer::allowBody(std::size_t bytes) {
    const auto seconds = std::chrono::seconds(bytes / minBodyBytesPerSecond);
    ConnectionStream::extendCurrentDeadline(ConnectionStream::Clock::now() + std::chrono::seconds(20) +
                                            seconds);
}

void ConnectionServer::serveConnection(int fd, const std::string &address, int port) {
    {
        ConnectionStream stream(fd, address, port, m_tls.get(), m_limits.timeouts, m_stopping);
        if (stream.handshake(ConnectionStream::Clock::now() + m_limits.headDeadline)) {
            for (std::size_t served = 0; served < m_limits.requestsPerConnection && !m_stopping; ++served) {
                const auto idle = served == 0 ? m_limits.headDeadline : m_limits.idleKeepAlive;
                if (!stream.waitForRequest(idle))
                    break;
                stream.startRequest(ConnectionStream::Clock::now() + m_limits.headDeadline);
                bool closed = false;
                const bool last = served + 1 == m_limits.requestsPerConnection || m_stopping;
                const bool answered = process_request(stream, last, closed, offerGzipOnly);
                if (!stream.flush() || !answered || closed || stream.closing())
                    break;
            }
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    release(address);
}
