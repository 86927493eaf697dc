#pragma once

#include "connection/UrlError.h"

#include <functional>

// What a transport observer is told about each request on the wire: an HTTP head arrived (whatever
// its status), or the request failed in a way that means the server cannot be reached.
struct NativeTransportOutcome {
    enum class Kind { responded, offline };

    static NativeTransportOutcome responded(int status) { return {Kind::responded, status, UrlErrorCode::unknown}; }
    static NativeTransportOutcome offline(UrlErrorCode code) { return {Kind::offline, 0, code}; }

    Kind kind;
    int status;       // for `responded`
    UrlErrorCode code; // for `offline`

    bool operator==(const NativeTransportOutcome &) const = default;
};

// Called from whichever thread performs the request; it must be safe to call from any thread.
using NativeTransportObserver = std::function<void(const NativeTransportOutcome &)>;
