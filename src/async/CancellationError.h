#pragma once

#include <exception>

// Thrown when an operation stops because its caller cancelled it. Every caller treats it as a
// silent stop: it is never shown to the user and never counted as a failure.
class CancellationError : public std::exception {
public:
    const char *what() const noexcept override { return "The operation was cancelled."; }
};
