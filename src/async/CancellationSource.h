#pragma once

#include "async/CancellationToken.h"

// Owns the right to cancel: hands out tokens and cancels all of them at once.
class CancellationSource {
public:
    CancellationSource();

    CancellationToken token() const;
    bool isCancelled() const;
    // Marks every token as cancelled and runs their callbacks; later calls do nothing.
    void cancel();

private:
    std::shared_ptr<detail::CancellationState> m_state;
};
