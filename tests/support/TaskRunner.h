#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <optional>

// Runs a coroutine to its end inside a local event loop, for tests only. Fails loudly instead of
// hanging when the task does not finish in time.
template<typename T>
T runTask(QCoro::Task<T> task, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    QEventLoop loop;
    bool finished = false;
    std::optional<std::conditional_t<std::is_void_v<T>, int, T>> value;
    std::exception_ptr error;
    auto waiter = [&]() -> QCoro::Task<> {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(task);
            } else {
                value.emplace(co_await std::move(task));
            }
        } catch (...) {
            error = std::current_exception();
        }
        finished = true;
        loop.quit();
    };
    auto running = waiter();
    if (!finished) {
        QTimer::singleShot(limit, &loop, [&loop] { loop.exit(1); });
        // Fatal, not thrown: the unfinished coroutine still points at this frame's locals, and
        // carrying on would let it write into whatever runs next.
        if (loop.exec() != 0 && !finished)
            qFatal("test task did not finish in time");
    }
    if (error)
        std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*value);
}
