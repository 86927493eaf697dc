#include "editor/SheetGridGeometry.h"

#include <algorithm>

double SheetGridGeometry::storedSize(const Sizes &sizes, const QString &axis, qint64 index) {
    const bool column = axis == u"col";
    const auto &map = column ? sizes.cols : sizes.rows;
    if (map) {
        const auto found = map->constFind(QString::number(index));
        if (found != map->constEnd())
            return *found;
    }
    return column ? defaultWidth : defaultHeight;
}

void SheetGridGeometry::rebuild(qint64 rows, qint64 cols, const Sizes &sizes,
                                const std::optional<SheetResizePreview> &preview) {
    const auto fill = [&](QList<double> &starts, qint64 count, const QString &axis) {
        starts.resize(std::max<qint64>(count, 0) + 1);
        starts[0] = 0;
        for (qint64 i = 0; i < count; ++i) {
            const bool previewed = preview && preview->axis == axis && preview->index == i;
            starts[i + 1] = starts[i] + (previewed ? preview->size : storedSize(sizes, axis, i));
        }
    };
    fill(m_colStarts, cols, QStringLiteral("col"));
    fill(m_rowStarts, rows, QStringLiteral("row"));
}

qint64 SheetGridGeometry::indexAt(const QList<double> &starts, double position) {
    const qint64 count = starts.size() - 1;
    if (count <= 0)
        return 0;
    // The first index whose end lies beyond the position, as a walk adding one size after the
    // other would find it.
    const auto end = std::upper_bound(starts.cbegin() + 1, starts.cend(), position);
    return std::min<qint64>(end - (starts.cbegin() + 1), count - 1);
}
