#pragma once

#include "async/CancellationToken.h"
#include "connection/Backoff.h"
#include "connection/NativeClientError.h"
#include "connection/NativeClock.h"
#include "connection/NativeConnectivity.h"

#include <QCoroTask>

#include <exception>
#include <memory>
#include <optional>

// Paces the reconnect attempts of one live stream: how long to pause before the next attempt,
// honouring a server's request to slow down and waking early when the network comes back.
//
// GUI thread only; owned by std::shared_ptr (pause() keeps it alive while it runs). The caller
// calls opened() when its stream has opened, failed() when an attempt fails, and awaits pause()
// before each new attempt, so the delays grow only across connections that lasted 5 s or less.
class NativeReconnect : public std::enable_shared_from_this<NativeReconnect> {
public:
    // `origin` is the server the stream goes to; a loopback one never waits for a network path.
    NativeReconnect(std::shared_ptr<NativeConnectivity> connectivity, Backoff backoff,
                    std::shared_ptr<NativeClock> clock = NativeClock::system(), QUrl origin = {});

    void opened();
    // Only a rate limit with a positive Retry-After matters: no attempt before that time has
    // passed (at most 300 s). Every other failure changes nothing.
    void failed(const NativeClientError &error);
    void failed(std::exception_ptr error);

    // Sleeps until the server's Retry-After has passed, then waits out the rest of the backoff
    // delay, or longer while the device has no usable path, until the path changes, a server
    // answers or the application comes to the foreground (which also starts the delays again
    // from the beginning). Returns the backoff delay it chose, in seconds. Never throws: a
    // cancelled `token` just ends the pause early.
    QCoro::Task<double> pause(CancellationToken token = {});

    const Backoff &backoff() const { return m_backoff; }
    std::optional<double> notBefore() const { return m_notBefore; }

private:
    std::shared_ptr<NativeConnectivity> m_connectivity;
    Backoff m_backoff;
    std::shared_ptr<NativeClock> m_clock;
    std::optional<double> m_notBefore;
    QUrl m_origin;
};
