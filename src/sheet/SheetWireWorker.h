#pragma once

#include "sheet/CellMap.h"
#include "sheet/SheetWire.h"

#include <QByteArray>
#include <QCoroTask>

#include <limits>
#include <memory>

// The tiles of one grid reload, merged in order: a later tile's cell or style wins, the oldest
// tile version counts, and the last tile's sizes are kept.
struct GridSnapshot {
    CellMap cells;
    StyleMap styles;
    Sizes sizes;
    quint64 version = std::numeric_limits<quint64>::max();
    bool anyTile = false;
};

// Does the sheet model's large JSON work on a worker thread, so that decoding a 100,000-cell grid
// never stalls the GUI. It keeps no state; every call is independent.
class SheetWireWorker {
public:
    // Decodes a grid response; a body that does not decode fails with "The server returned an
    // unsupported response."
    QCoro::Task<GridResponse> decodeGridResponse(QByteArray body) const;
    // Adds one decoded tile to `snapshot` on the worker thread. The caller leaves the snapshot alone
    // until the task ends.
    QCoro::Task<> merge(GridResponse tile, std::shared_ptr<GridSnapshot> snapshot) const;

    static constexpr qsizetype maxWritesPerBatch = 500;
    static constexpr qsizetype maxBatchBytes = 1'048'576;

    // The body {"cells": [...]} of the batch that starts at `startingAt`, and how many writes it
    // holds: at most 500, halved until the body fits in 1 MiB (a single write may exceed it).
    QCoro::Task<std::pair<QByteArray, qsizetype>> encode(QList<CellWrite> writes, qsizetype startingAt) const;
    // The same work done on the calling thread.
    static std::pair<QByteArray, qsizetype> encodeBatch(const QList<CellWrite> &writes, qsizetype startingAt);
};
