#include "async/DetachedTask.h"

#include "async/CancellationError.h"

#include <QDebug>

namespace {
EscapedErrorHandler &handler() {
    static EscapedErrorHandler current;
    return current;
}
} // namespace

void setEscapedErrorHandler(EscapedErrorHandler newHandler) { handler() = std::move(newHandler); }

void reportEscapedError(std::exception_ptr error) {
    if (handler()) {
        handler()(error);
        return;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        qCritical("A background task failed: %s", e.what());
    } catch (...) {
        qCritical("A background task failed with an unknown error.");
    }
}

namespace detail {
// The returned task is dropped by the caller; QCoro then lets the coroutine run to its end on its own.
QCoro::Task<> runDetached(std::shared_ptr<const void> keepAlive, std::function<QCoro::Task<>()> start) {
    try {
        co_await start();
    } catch (const CancellationError &) {
    } catch (...) {
        reportEscapedError(std::current_exception());
    }
    keepAlive.reset();
}
} // namespace detail
