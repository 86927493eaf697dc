#pragma once

#include <httplib.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

// Decides from a request's head alone whether its body may be read, so that nothing is held in
// memory for a request the server would refuse anyway. Bodies come with a declared length only:
// no compression (a small body may inflate a thousandfold) and no chunks (their size is not
// known until the last one).
class BodyPolicy {
public:
    struct Refused {
        int status = 400;
        std::string code;
        std::string message;
    };

    struct Limits {
        std::size_t maxBodyBytes = 64 * 1024 * 1024;
        // Sign-in pages and requests are answered without a session, so they may send little.
        std::size_t maxSignInBodyBytes = 64 * 1024;
        // Forms and small commands; only imports and cell batches bring large bodies.
        std::size_t maxFormBodyBytes = 1024 * 1024;
    };

    explicit BodyPolicy(Limits limits) : m_limits(limits) {}

    const Limits &limits() const { return m_limits; }
    // Paths that answer without a session: the sign-in flow.
    static bool signInPath(const std::string &path);
    // The largest body the route of this path takes.
    std::size_t maxBodyBytes(const std::string &path) const;
    // `signedIn` is asked only for a request that brings a body.
    std::optional<Refused> check(const httplib::Request &req, const std::function<bool()> &signedIn) const;

private:
    Limits m_limits;
};
