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

void SheetModel::copy() {
    const CellRange source = m_selection;
    const qint64 lastTab = source.columnCount() - 1; // tabs in each row of the text
    QString text;
    // Where the text has got to: the row being written and the tabs written in it.
    qint64 row = source.start.r;
    qint64 tabs = 0;
    const auto addTabs = [&text](qint64 count) {
        if (count == 1)
            text += u'\t'; // the common case, far cheaper than a resize
        else if (count > 1)
            text.resize(text.size() + count, u'\t');
    };
    const auto finishRowsBefore = [&](qint64 r) {
        for (; row < r; ++row, tabs = 0) {
            addTabs(lastTab - tabs);
            text += u'\n';
        }
    };
    // Stored cells arrive in reading order; the empty positions between them are filled in.
    m_cells.forEachIn(source, [&](const Cell &cell) {
        finishRowsBefore(cell.r);
        const qint64 column = cell.c - source.start.c;
        addTabs(column - tabs);
        tabs = column;
        TSV::appendField(text, cell.raw);
    });
    finishRowsBefore(source.end.r);
    addTabs(lastTab - tabs);
    assign(m_copied, std::optional<CellRange>(source), &SheetModel::copiedChanged);
    // Comparing a large copy with the last one costs as much as building it: always announce it.
    m_copiedText = std::move(text);
    Q_EMIT copiedTextChanged();
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
