#include "sheet/SheetWireWorker.h"

#include "connection/NativeTransport.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>

namespace {
// Exceptions cannot cross QtConcurrent as they are, so the worker hands back either outcome.
template<typename T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;

    T take() {
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
};
} // namespace

QCoro::Task<GridResponse> SheetWireWorker::decodeGridResponse(QByteArray body) const {
    // The future is made outside the co_await: GCC 12 destroys temporaries of a co_await
    // expression twice, which would release `body` twice.
    auto future = QtConcurrent::run([body = std::move(body)]() {
        Outcome<GridResponse> result;
        try {
            result.value = NativeTransport::decodeBody<GridResponse>(body);
        } catch (...) {
            result.error = std::current_exception();
        }
        return result;
    });
    auto outcome = co_await future;
    co_return outcome.take();
}
