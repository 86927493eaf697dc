#include "sheet/CellMap.h"

const Cell *CellMap::find(const Coordinate &at) const {
    const auto row = m_rows.constFind(at.r);
    if (row == m_rows.constEnd())
        return nullptr;
    const auto cell = firstAtOrAfter(*row, at.c);
    return cell != row->end() && cell->c == at.c ? &*cell : nullptr;
}

Cell CellMap::value(const Coordinate &at) const {
    const Cell *cell = find(at);
    return cell ? *cell : Cell();
}

void CellMap::insert(Cell cell) {
    std::vector<Cell> &row = m_rows[cell.r];
    // Grids arrive row by row, left to right: appending is the common case.
    if (row.empty() || row.back().c < cell.c) {
        row.push_back(std::move(cell));
        ++m_size;
        return;
    }
    const auto at = row.begin() + (firstAtOrAfter(row, cell.c) - row.cbegin());
    if (at != row.end() && at->c == cell.c) {
        *at = std::move(cell);
        return;
    }
    row.insert(at, std::move(cell));
    ++m_size;
}

std::vector<const std::vector<Cell> *> CellMap::rowsIn(const CellRange &range) const {
    std::vector<const std::vector<Cell> *> rows;
    if (range.rowCount() <= m_rows.size()) {
        for (qint64 r = range.start.r; r <= range.end.r; ++r) {
            const auto row = m_rows.constFind(r);
            if (row != m_rows.constEnd())
                rows.push_back(&*row);
        }
        return rows;
    }
    // A range taller than the stored rows: look at the rows instead of every position.
    std::vector<std::pair<qint64, const std::vector<Cell> *>> found;
    for (auto row = m_rows.constBegin(); row != m_rows.constEnd(); ++row)
        if (row.key() >= range.start.r && row.key() <= range.end.r)
            found.emplace_back(row.key(), &row.value());
    std::sort(found.begin(), found.end());
    for (const auto &[r, row] : found)
        rows.push_back(row);
    return rows;
}

bool CellMap::operator==(const CellMap &other) const {
    return m_size == other.m_size && m_rows == other.m_rows;
}
