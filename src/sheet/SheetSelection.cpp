// Selection of the sheet model: the active cell, the extent and the range text.
#include "sheet/SheetModel.h"

#include <algorithm>

void SheetModel::setSelectionState(const Coordinate &anchor, const Coordinate &extent, const CellRange &range) {
    assign(m_selectionAnchor, anchor, &SheetModel::selectionAnchorChanged);
    assign(m_selectionExtent, extent, &SheetModel::selectionExtentChanged);
    assign(m_selection, range, &SheetModel::selectionChanged);
    // Selecting always reloads the draft from the active cell.
    const QString raw = rawAt(anchor);
    setDraftPair(raw, raw);
}

void SheetModel::selectCell(const Coordinate &point) {
    setSelectionState(point, point, CellRange{point, point});
    setRangeText(point.ref());
}

void SheetModel::select(const Coordinate &point) {
    if (hasUnconfirmedChanges() || m_busy) {
        setError(QStringLiteral("Save or discard this edit before selecting another cell."));
        return;
    }
    selectCell(point);
}

void SheetModel::extendSelection(const Coordinate &point) {
    if (hasUnconfirmedChanges() || m_busy)
        return;
    const Coordinate extent = clampedToGrid(point);
    const Coordinate anchor = m_selectionAnchor;
    const CellRange range{{std::min(anchor.r, extent.r), std::min(anchor.c, extent.c)},
                          {std::max(anchor.r, extent.r), std::max(anchor.c, extent.c)}};
    setSelectionState(anchor, extent, range);
    setRangeText(range.text());
}

void SheetModel::selectRange() {
    const auto range = CellRange::parse(m_rangeText);
    if (hasUnconfirmedChanges() || m_busy || !range || range->end.r >= visibleRows() ||
        range->end.c >= visibleCols()) {
        setError(QStringLiteral("Choose a range inside the visible sheet, after saving your edit."));
        return;
    }
    setSelectionState(range->start, range->end, *range);
}
