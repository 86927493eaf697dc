#pragma once

#include "async/CancellationToken.h"

#include <QCoroTask>
#include <QObject>

#include <cstdint>
#include <memory>

class NativeConnectivity;

// One subscription to the changes of a NativeConnectivity: the network path changed, a server
// answered after being unreachable, or the application came to the foreground. It keeps only the
// newest undelivered change, so notifying never blocks and never piles up. Destroying it ends the
// subscription. GUI thread only.
class NativeConnectivityChanges : public QObject,
                                  public std::enable_shared_from_this<NativeConnectivityChanges> {
    Q_OBJECT
public:
    ~NativeConnectivityChanges() override;

    // Waits for the next change: true when one arrived (also one that arrived before the call and
    // was not taken yet), false when the connectivity object went away. Throws CancellationError
    // when `token` is cancelled first.
    QCoro::Task<bool> next(CancellationToken token = {});

    bool hasPending() const { return m_pending; }
    bool isEnded() const { return m_ended; }

Q_SIGNALS:
    // A change arrived, or the subscription ended.
    void arrived();

private:
    friend class NativeConnectivity;
    NativeConnectivityChanges(std::weak_ptr<NativeConnectivity> owner, std::uint64_t id);
    void deliver();
    void end();

    std::weak_ptr<NativeConnectivity> m_owner;
    std::uint64_t m_id;
    bool m_pending = false;
    bool m_ended = false;
};
