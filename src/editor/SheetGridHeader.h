#pragma once

#include <QPoint>
#include <QPointer>
#include <QWidget>

#include <optional>

class SheetGrid;

// The pinned column letters (horizontal) or row numbers (vertical) of a grid. A click selects the
// column or row; the 8-point handle at a column's trailing edge or a row's bottom edge resizes it
// with a live preview (Escape cancels; a double-click on a column handle fits the column).
class SheetGridHeader : public QWidget {
    Q_OBJECT
public:
    SheetGridHeader(SheetGrid *grid, Qt::Orientation orientation);

    Qt::Orientation orientation() const { return m_orientation; }
    // The column or row under a header point, and whether the point lies on its resize handle.
    std::optional<qint64> indexAt(const QPoint &point) const;
    bool onHandle(const QPoint &point, qint64 index) const;
    // The rectangle of a column or row header in this widget's coordinates.
    QRect sectionRect(qint64 index) const;
    QString sectionLabel(qint64 index) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QString axis() const;
    double along(const QPoint &point) const;
    void beginDrag(qint64 index, const QPoint &point);
    void reset();

    SheetGrid *m_grid;
    Qt::Orientation m_orientation;
    std::optional<qint64> m_pressed;   // header pressed for a selecting click
    std::optional<qint64> m_dragIndex; // handle being dragged
    std::optional<QPoint> m_start;     // where the drag began
    bool m_moved = false;
    QPointer<QWidget> m_previousFocus;
};
