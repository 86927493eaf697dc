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

    static constexpr qsizetype maxWritesPerBatch = 500;
    static constexpr qsizetype maxBatchBytes = 1'048'576;

    // The body {"cells": [...]} of the batch that starts at `startingAt`, and how many writes it
    // holds: at most 500, halved until the body fits in 1 MiB (a single write may exceed it).
    QCoro::Task<std::pair<QByteArray, qsizetype>> encode(QList<CellWrite> writes, qsizetype startingAt) const;
    // The same work done on the calling thread.
    static std::pair<QByteArray, qsizetype> encodeBatch(const QList<CellWrite> &writes, qsizetype startingAt);
};
