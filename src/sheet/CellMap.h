#pragma once

#include "sheet/SheetWire.h"

#include <QHash>

#include <algorithm>
#include <vector>

// The stored cells of a sheet, row by row, each row's cells in column order. A block of cells is
// then read in one forward pass over memory (a copy of 100,000 cells, a screenful of paint), and one
// cell is still found by a hash lookup and a short binary search.
class CellMap {
public:
    // The cell at `at`, or nullptr when none is stored there.
    const Cell *find(const Coordinate &at) const;
    bool contains(const Coordinate &at) const { return find(at) != nullptr; }
    // A copy of the cell at `at`; a default cell when none is stored there.
    Cell value(const Coordinate &at) const;
    // Stores `cell` at its own coordinate, replacing the cell there.
    void insert(Cell cell);
    qsizetype size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    // Calls visit(const Cell &) for each stored cell inside `range`, row by row, left to right.
    template <typename Visit> void forEachIn(const CellRange &range, Visit &&visit) const {
        for (const std::vector<Cell> *row : rowsIn(range)) {
            for (auto cell = firstAtOrAfter(*row, range.start.c);
                 cell != row->end() && cell->c <= range.end.c; ++cell)
                visit(*cell);
        }
    }
    // Calls visit(const Cell &) for every stored cell, rows in no particular order.
    template <typename Visit> void forEach(Visit &&visit) const {
        for (const std::vector<Cell> &row : m_rows)
            for (const Cell &cell : row)
                visit(cell);
    }

    bool operator==(const CellMap &other) const;

private:
    static std::vector<Cell>::const_iterator firstAtOrAfter(const std::vector<Cell> &row, qint64 c) {
        return std::lower_bound(row.begin(), row.end(), c,
                                [](const Cell &cell, qint64 col) { return cell.c < col; });
    }
    // The stored rows inside `range`, top to bottom.
    std::vector<const std::vector<Cell> *> rowsIn(const CellRange &range) const;

    QHash<qint64, std::vector<Cell>> m_rows; // never holds an empty row
    qsizetype m_size = 0;
};
