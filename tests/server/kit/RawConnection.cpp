#include "RawConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

RawConnection::RawConnection(int port, const std::string &source, int receiveBuffer) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    if (receiveBuffer > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::connect(m_fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

RawConnection::~RawConnection() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawConnection::send(const std::string &bytes) {
    std::size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return m_fd >= 0;
}

bool RawConnection::fill(std::chrono::steady_clock::time_point deadline) {
    if (m_fd < 0 || m_closed)
        return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return false;
    pollfd entry{m_fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
        return false;
    char chunk[65536];
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        m_closed = true;
        return false;
    }
    m_buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
}

bool RawConnection::readUntil(const std::string &text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_buffer.find(text) == std::string::npos) {
        if (!fill(deadline))
            return false;
    }
    return true;
}

bool RawConnection::closedWithin(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!m_closed) {
        if (!fill(deadline) && !m_closed)
            return false;
    }
    return true;
}

std::optional<RawConnection::Answer> RawConnection::answer(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_buffer.find("\r\n\r\n") == std::string::npos) {
        if (!fill(deadline))
            return std::nullopt;
    }
    const std::size_t headEnd = m_buffer.find("\r\n\r\n");
    const std::string head = m_buffer.substr(0, headEnd);
    std::string rest = m_buffer.substr(headEnd + 4);
    Answer result;
    if (head.size() < 12 || !head.starts_with("HTTP/1."))
        return std::nullopt;
    result.status = std::atoi(head.c_str() + 9);
    // Header lines after the status line; names in lower case, values without leading spaces.
    for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
        const std::string line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        result.headers[name] = value;
    }
    m_buffer = rest;
    if (const auto length = result.headers.find("content-length"); length != result.headers.end()) {
        const std::size_t size = std::stoul(length->second);
        while (m_buffer.size() < size) {
            if (!fill(deadline))
                return std::nullopt;
        }
        result.body = m_buffer.substr(0, size);
        m_buffer.erase(0, size);
        result.framed = true;
    } else if (result.header("transfer-encoding") == "chunked") {
        // The caller reads a stream's chunks as they come; the head is what is answered here.
        result.framed = true;
    } else {
        while (fill(deadline)) {
        }
        result.body = m_buffer;
        m_buffer.clear();
    }
    return result;
}
