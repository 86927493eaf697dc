#pragma once

#include "connection/NativePath.h"

#include <functional>

// Reports the device's network path as it changes. The callback may be called from any thread;
// receivers hop to their own thread before touching their state.
class NativePathSource {
public:
    using Callback = std::function<void(const NativePath &)>;

    virtual ~NativePathSource() = default;

    // Starts reporting; the current path, when known, is reported soon after.
    virtual void start(Callback onPath) = 0;
    // Stops reporting; the callback is not called afterwards.
    virtual void cancel() = 0;
};
