#pragma once

#include <QMetaType>

// What the operating system says about the device's network path.
struct NativePath {
    // The order is part of the contract.
    enum class Status { satisfied, unsatisfied, requiresConnection };

    Status status = Status::unsatisfied;
    bool isExpensive = false;   // cellular, hotspot
    bool isConstrained = false; // a low-data mode

    bool operator==(const NativePath &) const = default;
};

Q_DECLARE_METATYPE(NativePath)
