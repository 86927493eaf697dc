#pragma once

#include "async/CancellationToken.h"

#include <QCoroTask>

#include <chrono>

// Suspends for `duration` on the calling thread's event loop. Throws CancellationError as soon as
// the token is cancelled (also when it already is), without waiting for the rest of the time.
QCoro::Task<> sleepFor(std::chrono::milliseconds duration, CancellationToken token);
