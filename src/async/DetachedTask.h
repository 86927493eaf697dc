#pragma once

#include <QCoroTask>

#include <exception>
#include <functional>
#include <memory>

// Receives an exception that escaped a detached task. The default writes it to standard error;
// tests install their own to assert that nothing escaped.
using EscapedErrorHandler = std::function<void(std::exception_ptr)>;
void setEscapedErrorHandler(EscapedErrorHandler handler);
void reportEscapedError(std::exception_ptr error);

namespace detail {
QCoro::Task<> runDetached(std::shared_ptr<const void> keepAlive, std::function<QCoro::Task<>()> start);
}

// Starts a task that nobody awaits, as a button or a timer does. `owner` stays alive until the task
// ends, so the coroutine never resumes into a destroyed object. A CancellationError ends the task
// silently; any other exception that escapes is reported, never lost.
template<typename Owner>
void startDetached(std::shared_ptr<Owner> owner, std::function<QCoro::Task<>()> start) {
    detail::runDetached(std::static_pointer_cast<const void>(std::move(owner)), std::move(start));
}
