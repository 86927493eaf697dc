#pragma once

#include "connection/NativePathSource.h"

#include <mutex>

// A path source driven by tests: report() hands a path to the started callback, from any thread.
class NativeFakePathSource : public NativePathSource {
public:
    void start(Callback onPath) override;
    void cancel() override;

    // Calls the callback on the calling thread; does nothing unless started and not cancelled.
    void report(const NativePath &path);

    bool isStarted() const;
    bool isCancelled() const;

private:
    mutable std::mutex m_mutex;
    Callback m_onPath;
    bool m_started = false;
    bool m_cancelled = false;
};
