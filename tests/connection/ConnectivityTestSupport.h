#pragma once

#include <QCoreApplication>
#include <QCoroTask>

#include <exception>
#include <memory>
#include <optional>

// Helpers for tests that drive connectivity and reconnect pacing by hand: start a coroutine, let
// the event loop run what is queued, and look at how (or whether) the coroutine ended.

template <typename T> struct Launched {
    bool done = false;
    std::optional<T> value;
    std::exception_ptr error;
};

namespace detail {
template <typename T> QCoro::Task<> recordInto(QCoro::Task<T> task, std::shared_ptr<Launched<T>> outcome) {
    try {
        outcome->value = co_await std::move(task);
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->done = true;
}
} // namespace detail

// Lets `task` run on its own; the returned record fills in when it ends.
template <typename T> std::shared_ptr<Launched<T>> launch(QCoro::Task<T> task) {
    auto outcome = std::make_shared<Launched<T>>();
    detail::recordInto(std::move(task), outcome);
    return outcome;
}

// Runs everything the event loop has queued, including what that queues in turn. Nothing in
// these tests depends on real time, so this settles every hop and coroutine resumption.
inline void settle() {
    for (int round = 0; round < 20; ++round)
        QCoreApplication::processEvents();
}
