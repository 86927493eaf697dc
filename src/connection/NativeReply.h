#pragma once

#include "async/CancellationToken.h"
#include "connection/NativeClientError.h"

#include <QByteArray>
#include <QCoroTask>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <memory>

// One request on the wire, owned by the operation that sent it. Destroying it aborts the transfer
// ("destroy means cancel"), so no transfer outlives the call that started it.
//
// What ends it: the body ends (read() returns an empty chunk), a URL-loading failure (UrlError), the
// token is cancelled (CancellationError; the reply is aborted at once, inside the cancelling call),
// or the request timer runs out (UrlError timedOut). Errors that Qt raises only to restate an HTTP
// status are ignored: the status is what counts.
class NativeReply {
public:
    // Takes ownership of `reply`. `requestLimit` bounds the time until stopRequestTimer() is called,
    // or the whole transfer when it never is.
    NativeReply(QNetworkReply *reply, CancellationToken token, std::chrono::milliseconds requestLimit);
    ~NativeReply();
    NativeReply(const NativeReply &) = delete;
    NativeReply &operator=(const NativeReply &) = delete;

    // Waits for the response head. Throws UrlError, CancellationError or `invalidResponse`.
    QCoro::Task<> head();
    // The next bytes of the body, at most `maxBytes` (> 0); empty at the end of the body. Throws
    // UrlError or CancellationError.
    QCoro::Task<QByteArray> read(qint64 maxBytes);
    // From now on only the idle timeout applies (an event stream or a download after its head).
    void stopRequestTimer();

    int status() const;
    // Response headers with lower-cased names; headers that are not UTF-8 text are left out.
    NativeHeaders headers() const;

private:
    // Shared with queued resumptions, which may run after this object is gone.
    struct WaitState {
        std::coroutine_handle<> waiting;
        bool woken = false;
        bool resumeQueued = false;
    };
    struct Wait {
        WaitState *state;
        bool await_ready() const noexcept { return state->woken; }
        void await_suspend(std::coroutine_handle<> handle) const noexcept { state->waiting = handle; }
        void await_resume() const noexcept { state->woken = false; }
    };
    struct LaterDeleter {
        void operator()(QObject *object) const { object->deleteLater(); }
    };

    // Suspends until something happened to the reply (data, head, end, cancellation or timeout).
    Wait changed() { return Wait{m_wait.get()}; }
    void wake();
    void abortTransfer();
    // Throws when the transfer was cancelled, timed out or failed; returns when it may go on.
    void throwIfStopped() const;
    bool hasHead() const;

    std::shared_ptr<WaitState> m_wait = std::make_shared<WaitState>();
    // Context of every connection made here; deleted later, so never inside its own event.
    std::unique_ptr<QObject, LaterDeleter> m_context{new QObject};
    QPointer<QNetworkReply> m_reply;
    CancellationToken m_token;
    QTimer *m_requestTimer;
    bool m_finished = false;
    bool m_timedOut = false;
    // Last, so that it unregisters first on destruction.
    CancellationRegistration m_cancelRegistration;
};
