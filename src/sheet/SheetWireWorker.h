#pragma once

#include "sheet/SheetWire.h"

#include <QByteArray>
#include <QCoroTask>

// Does the sheet model's large JSON work on a worker thread, so that decoding a 100,000-cell grid
// never stalls the GUI. It keeps no state; every call is independent.
class SheetWireWorker {
public:
    // Decodes a grid response; a body that does not decode fails with "The server returned an
    // unsupported response."
    QCoro::Task<GridResponse> decodeGridResponse(QByteArray body) const;
};
