#include "sheet/SheetWireWorker.h"

#include "connection/NativeTransport.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <nlohmann/json.hpp>

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

std::pair<QByteArray, qsizetype> SheetWireWorker::encodeBatch(const QList<CellWrite> &writes, qsizetype startingAt) {
    const auto encodeFirst = [&](qsizetype count) {
        nlohmann::json cells = nlohmann::json::array();
        for (qsizetype i = startingAt; i < startingAt + count; ++i)
            cells.push_back(writes[i].encode());
        return QByteArray::fromStdString(nlohmann::json{{"cells", std::move(cells)}}.dump());
    };
    qsizetype count = std::min(writes.size() - startingAt, maxWritesPerBatch);
    QByteArray body = encodeFirst(count);
    while (body.size() > maxBatchBytes && count >= 2) {
        count /= 2;
        body = encodeFirst(count);
    }
    return {body, count};
}

QCoro::Task<std::pair<QByteArray, qsizetype>> SheetWireWorker::encode(QList<CellWrite> writes,
                                                                      qsizetype startingAt) const {
    auto future = QtConcurrent::run([writes = std::move(writes), startingAt]() {
        Outcome<std::pair<QByteArray, qsizetype>> result;
        try {
            result.value = encodeBatch(writes, startingAt);
        } catch (...) {
            result.error = std::current_exception();
        }
        return result;
    });
    auto outcome = co_await future;
    co_return outcome.take();
}
