#pragma once

#include "http/ConnectionStream.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// The httplib server with connections handled here rather than by httplib: a listen backlog that
// absorbs a burst, a cap on the connections one client address may hold, a deadline for each
// request to arrive whole, and TLS. httplib still parses requests, routes them and writes the
// answers.
class ConnectionServer : public httplib::Server {
public:
    struct Limits {
        int backlog = 4096;
        std::size_t connectionsPerAddress = 64;
        // From the first byte of a request to the end of its head; a body gets more time by its size.
        std::chrono::milliseconds headDeadline{20000};
        std::chrono::milliseconds idleKeepAlive{15000};
        std::size_t requestsPerConnection = 1000;
        ConnectionStream::Timeouts timeouts;
    };
    struct Tls {
        std::string certificate;
        std::string key;
    };

    // The minimum speed a client's body must keep up, past the head's deadline.
    static constexpr std::size_t minBodyBytesPerSecond = 32 * 1024;

    ConnectionServer(Limits limits, const Tls *tls);
    ~ConnectionServer() override;

    bool is_valid() const override { return m_valid; }
    // Binds and listens; port 0 picks a free port. Returns the bound port, or -1.
    int bindAndListen(const std::string &host, int port);
    // Accepts connections until stopServing().
    bool serve();
    void stopServing();

    // Who a client is, for the limits per client: its IPv4 address, or the /64 network of its IPv6
    // address, since one IPv6 host has a whole /64 to pick addresses from.
    static std::string clientKey(const std::string &address);
    // Gives the request now being read on this thread time to bring a body of this size.
    static void allowBody(std::size_t bytes);

private:
    struct SslContextFree {
        void operator()(SSL_CTX *context) const { SSL_CTX_free(context); }
    };

    void admit(int fd, const std::string &address, int port, httplib::TaskQueue &workers);
    void serveConnection(int fd, const std::string &address, int port);
    void release(const std::string &address);

    Limits m_limits;
    std::unique_ptr<SSL_CTX, SslContextFree> m_tls;
    bool m_valid = true;
    int m_listener = -1;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::map<std::string, std::size_t> m_perAddress;
};
