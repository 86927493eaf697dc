#pragma once

#include "sheet/SheetWire.h"

#include <QList>
#include <QString>

#include <optional>

// The column or row being resized and the size it shows while the drag lasts.
struct SheetResizePreview {
    QString axis; // "col" or "row"
    qint64 index = 0;
    double original = 0;
    double size = 0;

    bool operator==(const SheetResizePreview &) const = default;
};

// Where every column and row of the grid starts, from prefix sums of their sizes. Rebuilt whenever
// the sizes, the visible sheet or the resize preview change; hit tests are binary searches.
class SheetGridGeometry {
public:
    static constexpr double defaultWidth = 110;
    static constexpr double defaultHeight = 32;

    void rebuild(qint64 rows, qint64 cols, const Sizes &sizes,
                 const std::optional<SheetResizePreview> &preview);

    qint64 rows() const { return m_rowStarts.size() - 1; }
    qint64 cols() const { return m_colStarts.size() - 1; }
    double width(qint64 c) const { return m_colStarts.at(c + 1) - m_colStarts.at(c); }
    double height(qint64 r) const { return m_rowStarts.at(r + 1) - m_rowStarts.at(r); }
    double columnStart(qint64 c) const { return m_colStarts.at(c); }
    double rowStart(qint64 r) const { return m_rowStarts.at(r); }
    double totalWidth() const { return m_colStarts.last(); }
    double totalHeight() const { return m_rowStarts.last(); }

    // The column under x: left of the grid hits column 0, right of it the last column.
    qint64 columnAt(double x) const { return indexAt(m_colStarts, x); }
    qint64 rowAt(double y) const { return indexAt(m_rowStarts, y); }

    // The size a column or row has without any preview: its entry in `sizes`, else the default.
    static double storedSize(const Sizes &sizes, const QString &axis, qint64 index);

private:
    static qint64 indexAt(const QList<double> &starts, double position);

    QList<double> m_colStarts{0};
    QList<double> m_rowStarts{0};
};
