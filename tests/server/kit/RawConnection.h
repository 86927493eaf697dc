#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>

// One TCP connection to the server, written and read byte for byte, for requests no ordinary
// client sends: heads without bodies, slow heads, chosen source addresses (any 127.x.y.z reaches
// a server on 127.0.0.1), streams that stop reading.
class RawConnection {
public:
    struct Answer {
        int status = 0;
        std::map<std::string, std::string> headers; // names in lower case
        std::string body;
        bool framed = false; // Content-Length or chunked, not ended by closing

        std::string header(const std::string &lowerCaseName) const {
            const auto it = headers.find(lowerCaseName);
            return it == headers.end() ? std::string() : it->second;
        }
    };

    // `receiveBuffer` > 0 makes the socket's receive buffer small, for a reader that falls behind.
    RawConnection(int port, const std::string &source = "127.0.0.1", int receiveBuffer = 0);
    ~RawConnection();
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    bool connected() const { return m_fd >= 0; }
    // False once the server has closed the connection.
    bool send(const std::string &bytes);
    // Reads one answer: the head, then a body by its Content-Length or its chunks.
    std::optional<Answer> answer(std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Reads until the text appears; everything read so far is kept for later reads.
    bool readUntil(const std::string &text, std::chrono::milliseconds limit);
    // True when the server closed the connection within the limit.
    bool closedWithin(std::chrono::milliseconds limit);
    const std::string &received() const { return m_buffer; }

private:
    bool fill(std::chrono::steady_clock::time_point deadline);

    int m_fd = -1;
    std::string m_buffer;
    bool m_closed = false;
};
