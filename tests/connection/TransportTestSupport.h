#pragma once

#include "async/CancellationError.h"
#include "connection/NativeClientError.h"
#include "connection/NativeTransportOutcome.h"

#include "TaskRunner.h"

#include <QCoroTask>
#include <QList>

#include <exception>
#include <memory>

// Runs a task to its end and returns what it threw (null when it succeeded).
template <typename T> std::exception_ptr failureOf(QCoro::Task<T> task) {
    try {
        runTask(std::move(task));
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// The NativeClientError in `error`, or none when it holds something else.
inline std::optional<NativeClientError> clientError(std::exception_ptr error) {
    return NativeClientError::from(error);
}

inline QString messageOf(std::exception_ptr error) {
    const auto failure = clientError(error);
    return failure ? failure->errorDescription() : QString();
}

inline bool isCancellation(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const CancellationError &) {
        return true;
    } catch (...) {
    }
    return false;
}

// Records what a client tells its observer.
struct RecordingObserver {
    std::shared_ptr<QList<NativeTransportOutcome>> seen = std::make_shared<QList<NativeTransportOutcome>>();
    NativeTransportObserver callback() const {
        return [seen = seen](const NativeTransportOutcome &outcome) { seen->append(outcome); };
    }
};
