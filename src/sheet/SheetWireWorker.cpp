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
};

// Runs `work` on the thread pool and resumes with its result, or rethrows what it threw.
template<typename Work, typename Result = std::invoke_result_t<Work &>>
QCoro::Task<Result> onWorker(Work work) {
    // The future is made outside the co_await: GCC 12 destroys temporaries of a co_await
    // expression twice, which would release what the lambda captured twice.
    auto future = QtConcurrent::run([work = std::move(work)]() mutable {
        Outcome<Result> outcome;
        try {
            outcome.value = work();
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    });
    auto outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    co_return std::move(*outcome.value);
}

// Adds one decoded tile to the snapshot: its cells and styles over earlier ones, its sizes instead.
void mergeInto(GridResponse tile, GridSnapshot &snapshot) {
    if (tile.cells) {
        for (Cell &cell : *tile.cells)
            snapshot.cells.insert(std::move(cell));
    }
    if (tile.formats) {
        for (auto it = tile.formats->cbegin(); it != tile.formats->cend(); ++it)
            snapshot.styles.insert(it.key(), it.value());
    }
    snapshot.sizes = tile.sizes ? std::move(*tile.sizes) : Sizes();
    snapshot.version = std::min(snapshot.version, tile.version);
    snapshot.anyTile = true;
}
} // namespace

QCoro::Task<GridResponse> SheetWireWorker::decodeGridResponse(QByteArray body) const {
    auto decoding =
        onWorker([body = std::move(body)] { return NativeTransport::decodeBody<GridResponse>(body); });
    co_return co_await std::move(decoding);
}

QCoro::Task<> SheetWireWorker::merge(GridResponse tile, std::shared_ptr<GridSnapshot> snapshot) const {
    // The snapshot is shared, never copied: a copied hash would be copied again on every insert.
    auto merging = onWorker([tile = std::move(tile), snapshot]() mutable {
        mergeInto(std::move(tile), *snapshot);
        return true;
    });
    co_await std::move(merging);
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
    auto encoding = onWorker([writes = std::move(writes), startingAt] { return encodeBatch(writes, startingAt); });
    co_return co_await std::move(encoding);
}
