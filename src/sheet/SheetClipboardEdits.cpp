// Copy, paste, clear, fill and function insertion: each becomes a list of cell writes.
#include "sheet/SheetModel.h"

#include "sheet/TSV.h"

#include <algorithm>

bool SheetModel::mayStartBulkEdit() {
    if (m_draft != m_originalDraft || m_busy) {
        setError(QStringLiteral("Save or discard your cell edit first."));
        return false;
    }
    return true;
}

namespace {
// The raw texts of a range, row by row; an empty cell gives an empty string. A range with a quarter as
// many positions as the sheet has stored cells, or more, is filled by one pass over the cells, which
// costs far less than hashing every position.
std::vector<QStringView> rawTexts(const CellMap &cells, const CellRange &range) {
    const qint64 columns = range.columnCount();
    std::vector<QStringView> raws(size_t(range.rowCount() * columns));
    if (qint64(raws.size()) * 4 >= cells.size()) {
        // The hash keeps its cells in no useful order, so each one is a cache miss; asking for the
        // cells a few steps ahead lets those misses overlap.
        constexpr int lookahead = 16;
        auto ahead = cells.cbegin();
        for (int i = 0; i < lookahead && ahead != cells.cend(); ++i)
            ++ahead;
        for (auto it = cells.cbegin(); it != cells.cend(); ++it) {
            if (ahead != cells.cend()) {
                // A cell straddles cache lines; its position and raw text lie in its first 64 bytes.
                const char *next = reinterpret_cast<const char *>(&*ahead);
                __builtin_prefetch(next);
                __builtin_prefetch(next + 63);
                ++ahead;
            }
            const Cell &cell = *it;
            if (range.contains(cell.coordinate()))
                raws[size_t((cell.r - range.start.r) * columns + cell.c - range.start.c)] = cell.raw;
        }
        return raws;
    }
    auto raw = raws.begin();
    for (qint64 r = range.start.r; r <= range.end.r; ++r) {
        for (qint64 c = range.start.c; c <= range.end.c; ++c, ++raw) {
            const auto found = cells.constFind(Coordinate{r, c});
            if (found != cells.constEnd())
                *raw = found->raw;
        }
    }
    return raws;
}
} // namespace

void SheetModel::copy() {
    const CellRange source = m_selection;
    const std::vector<QStringView> raws = rawTexts(m_cells, source);
    qsizetype length = 0;
    for (const QStringView raw : raws)
        length += raw.size() + 1;
    QString text;
    text.reserve(length);
    auto raw = raws.cbegin();
    for (qint64 r = source.start.r; r <= source.end.r; ++r) {
        if (r > source.start.r)
            text += u'\n';
        for (qint64 c = source.start.c; c <= source.end.c; ++c) {
            if (c > source.start.c)
                text += u'\t';
            TSV::appendField(text, *raw++);
        }
    }
    assign(m_copied, std::optional<CellRange>(source), &SheetModel::copiedChanged);
    assign(m_copiedText, std::move(text), &SheetModel::copiedTextChanged);
    m_clipboard->setText(m_copiedText);
}

QCoro::Task<> SheetModel::clear() {
    auto self = shared_from_this();
    if (!mayStartBulkEdit())
        co_return;
    QList<CellWrite> writes;
    for (const Coordinate &cell : m_selection.coordinates()) {
        if (!rawAt(cell).isEmpty())
            writes.append(CellWrite{cell.r, cell.c, QString(), std::nullopt, std::nullopt});
    }
    co_await write(std::move(writes), false);
}

QCoro::Task<> SheetModel::paste() {
    auto self = shared_from_this();
    if (!mayStartBulkEdit())
        co_return;
    const std::optional<QString> text = m_clipboard->text();
    if (!text) {
        setError(QStringLiteral("The clipboard has no text cells."));
        co_return;
    }
    const QList<QStringList> rows = TSV::decode(*text);
    qsizetype fields = 0;
    for (const QStringList &row : rows)
        fields += row.size();
    if (fields > maxPasteCells) {
        setError(QStringLiteral("Paste supports up to 500 cells at once."));
        co_return;
    }
    const Coordinate origin = m_selection.start;
    qsizetype widest = 0;
    for (const QStringList &row : rows)
        widest = std::max(widest, row.size());
    if (origin.r + rows.size() > visibleRows() || origin.c + widest > visibleCols()) {
        setError(QStringLiteral("This paste extends beyond the visible sheet. Nothing was changed."));
        co_return;
    }
    // The block keeps its source cells only while the clipboard still holds our own copy.
    const bool ownCopy = m_copied && *text == m_copiedText;
    QList<CellWrite> writes;
    writes.reserve(fields);
    for (qsizetype i = 0; i < rows.size(); ++i) {
        for (qsizetype j = 0; j < rows[i].size(); ++j) {
            CellWrite cell{origin.r + i, origin.c + j, rows[i][j], std::nullopt, std::nullopt};
            if (ownCopy && i < m_copied->rowCount() && j < m_copied->columnCount()) {
                cell.fromR = m_copied->start.r + i;
                cell.fromC = m_copied->start.c + j;
            }
            writes.append(std::move(cell));
        }
    }
    co_await write(std::move(writes), false);
}

QList<CellWrite> SheetModel::fillWrites(bool down) const {
    const Coordinate source = m_selection.start;
    const QString text = rawAt(source);
    QList<Coordinate> targets;
    if (m_selection.start == m_selection.end) {
        targets.append(down ? Coordinate{std::min(source.r + 1, visibleRows() - 1), source.c}
                            : Coordinate{source.r, std::min(source.c + 1, visibleCols() - 1)});
    } else {
        targets = m_selection.coordinates();
    }
    QList<CellWrite> writes;
    for (const Coordinate &target : targets) {
        if (target != source)
            writes.append(CellWrite{target.r, target.c, text, source.r, source.c});
    }
    return writes;
}

QCoro::Task<> SheetModel::fill(bool down) {
    auto self = shared_from_this();
    if (!mayStartBulkEdit())
        co_return;
    co_await write(fillWrites(down), false);
}

QCoro::Task<> SheetModel::insertFunction(QString name) {
    auto self = shared_from_this();
    const Coordinate anchor = m_selectionAnchor;
    QString range;
    qint64 top = anchor.r;
    while (top > 0 && !rawAt({top - 1, anchor.c}).isEmpty())
        --top;
    if (top < anchor.r)
        range = Coordinate{top, anchor.c}.ref() + u':' + Coordinate{anchor.r - 1, anchor.c}.ref();
    QList<CellWrite> writes{
        CellWrite{anchor.r, anchor.c, u'=' + name + u'(' + range + u')', std::nullopt, std::nullopt}};
    co_await write(std::move(writes), false);
}
