#include "editor/SheetGridHeader.h"

#include "editor/SheetGrid.h"
#include "sheet/SheetModel.h"
#include "sheet/views/SheetColor.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>

SheetGridHeader::SheetGridHeader(SheetGrid *grid, Qt::Orientation orientation)
    : QWidget(grid), m_grid(grid), m_orientation(orientation) {
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    if (orientation == Qt::Horizontal)
        setToolTip(QString());
}

QString SheetGridHeader::axis() const {
    return m_orientation == Qt::Horizontal ? QStringLiteral("col") : QStringLiteral("row");
}

double SheetGridHeader::along(const QPoint &point) const {
    const QPoint offset = m_grid->scrollOffset();
    return m_orientation == Qt::Horizontal ? point.x() + offset.x() : point.y() + offset.y();
}

std::optional<qint64> SheetGridHeader::indexAt(const QPoint &point) const {
    const SheetGridGeometry &geometry = m_grid->cellGeometry();
    const double position = along(point);
    const bool horizontal = m_orientation == Qt::Horizontal;
    const qint64 count = horizontal ? geometry.cols() : geometry.rows();
    const double total = horizontal ? geometry.totalWidth() : geometry.totalHeight();
    if (count == 0 || position < 0 || position >= total)
        return std::nullopt;
    return horizontal ? geometry.columnAt(position) : geometry.rowAt(position);
}

bool SheetGridHeader::onHandle(const QPoint &point, qint64 index) const {
    const SheetGridGeometry &geometry = m_grid->cellGeometry();
    const bool horizontal = m_orientation == Qt::Horizontal;
    const double end = horizontal ? geometry.columnStart(index) + geometry.width(index)
                                  : geometry.rowStart(index) + geometry.height(index);
    const double position = along(point);
    return position >= end - SheetGrid::handleThickness && position < end;
}

QRect SheetGridHeader::sectionRect(qint64 index) const {
    const SheetGridGeometry &geometry = m_grid->cellGeometry();
    const QPoint offset = m_grid->scrollOffset();
    if (m_orientation == Qt::Horizontal)
        return QRectF(geometry.columnStart(index) - offset.x(), 0, geometry.width(index), height())
            .toAlignedRect();
    return QRectF(0, geometry.rowStart(index) - offset.y(), width(), geometry.height(index)).toAlignedRect();
}

QString SheetGridHeader::sectionLabel(qint64 index) const {
    return m_orientation == Qt::Horizontal ? Coordinate::columnName(index) : QString::number(index + 1);
}

void SheetGridHeader::paintEvent(QPaintEvent *event) {
    QPainter painter(this);
    const QPalette &colors = palette();
    const bool horizontal = m_orientation == Qt::Horizontal;
    QColor background = colors.color(QPalette::Window);
    if (!horizontal)
        background = m_grid->isDark() ? background.lighter(112) : background.darker(104);
    painter.fillRect(event->rect(), background);

    const SheetGridGeometry &geometry = m_grid->cellGeometry();
    const qint64 count = horizontal ? geometry.cols() : geometry.rows();
    if (count == 0)
        return;
    const QRect exposed = event->rect();
    const QPoint offset = m_grid->scrollOffset();
    const double from = horizontal ? exposed.left() + offset.x() : exposed.top() + offset.y();
    const double to = horizontal ? exposed.right() + offset.x() : exposed.bottom() + offset.y();
    const qint64 first = horizontal ? geometry.columnAt(from) : geometry.rowAt(from);
    const qint64 last = horizontal ? geometry.columnAt(to) : geometry.rowAt(to);

    const QColor hairline = SheetColor::blend(background, colors.color(QPalette::WindowText), 0.15);
    const qreal pixel = 1.0 / devicePixelRatioF();
    painter.setPen(colors.color(QPalette::WindowText));
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    for (qint64 i = first; i <= last; ++i) {
        const QRect rect = sectionRect(i);
        painter.drawText(rect, Qt::AlignCenter, sectionLabel(i));
        if (horizontal)
            painter.fillRect(QRectF(rect.right() + 1 - pixel, 0, pixel, height()), hairline);
        else
            painter.fillRect(QRectF(0, rect.bottom() + 1 - pixel, width(), pixel), hairline);
    }
    // The line that parts the header from the cells.
    if (horizontal)
        painter.fillRect(QRectF(0, height() - pixel, width(), pixel), hairline);
    else
        painter.fillRect(QRectF(width() - pixel, 0, pixel, height()), hairline);
}

void SheetGridHeader::beginDrag(qint64 index, const QPoint &point) {
    m_previousFocus = QApplication::focusWidget();
    setFocusPolicy(Qt::ClickFocus);
    setFocus(Qt::MouseFocusReason);
    m_dragIndex = index;
    m_start = point;
    m_moved = false;
    m_grid->setDraggingResize(true);
}

void SheetGridHeader::mousePressEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    const QPoint point = event->position().toPoint();
    const auto index = indexAt(point);
    if (!index)
        return;
    if (onHandle(point, *index)) {
        if (m_grid->canBeginResize())
            beginDrag(*index, point);
        return;
    }
    m_pressed = index;
}

void SheetGridHeader::mouseDoubleClickEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mouseDoubleClickEvent(event);
    const QPoint point = event->position().toPoint();
    const auto index = indexAt(point);
    if (!index)
        return;
    if (onHandle(point, *index)) {
        if (!m_grid->canBeginResize())
            return;
        // Only columns can be fitted; a row handle takes the second click as a new drag.
        if (m_orientation == Qt::Horizontal) {
            m_grid->fitColumn(*index);
            return;
        }
        beginDrag(*index, point);
        return;
    }
    m_pressed = index;
}

void SheetGridHeader::mouseMoveEvent(QMouseEvent *event) {
    const QPoint point = event->position().toPoint();
    if (m_start && m_dragIndex) {
        const double delta =
            m_orientation == Qt::Horizontal ? point.x() - m_start->x() : point.y() - m_start->y();
        if (!m_moved && std::abs(delta) < 2)
            return;
        m_moved = true;
        m_grid->changeResize(axis(), *m_dragIndex, delta);
        return;
    }
    const auto index = indexAt(point);
    if (index && onHandle(point, *index))
        setCursor(m_orientation == Qt::Horizontal ? Qt::SizeHorCursor : Qt::SizeVerCursor);
    else
        unsetCursor();
    if (m_orientation == Qt::Horizontal)
        setToolTip(index && onHandle(point, *index) ? tr("Double-click to fit column to contents")
                                                    : QString());
}

void SheetGridHeader::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mouseReleaseEvent(event);
    if (m_start && m_dragIndex) {
        if (m_moved)
            m_grid->finishResize(axis(), *m_dragIndex);
        reset();
        return;
    }
    const auto index = indexAt(event->position().toPoint());
    if (m_pressed && index == m_pressed) {
        if (m_orientation == Qt::Horizontal)
            m_grid->selectColumn(*index);
        else
            m_grid->selectRow(*index);
    }
    m_pressed.reset();
}

void SheetGridHeader::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Escape && m_start) {
        m_grid->cancelResize();
        reset();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SheetGridHeader::contextMenuEvent(QContextMenuEvent *event) {
    if (m_orientation != Qt::Horizontal)
        return;
    const auto index = indexAt(event->pos());
    if (!index)
        return;
    QMenu menu(this);
    const qint64 column = *index;
    menu.addAction(tr("Fit column to contents"), this, [this, column] { m_grid->fitColumn(column); });
    menu.exec(event->globalPos());
}

void SheetGridHeader::hideEvent(QHideEvent *event) {
    if (m_start) {
        m_grid->cancelResize();
        reset();
    }
    QWidget::hideEvent(event);
}

void SheetGridHeader::reset() {
    const bool hadFocus = hasFocus();
    m_start.reset();
    m_dragIndex.reset();
    m_moved = false;
    setFocusPolicy(Qt::NoFocus);
    if (hadFocus && m_previousFocus)
        m_previousFocus->setFocus(Qt::OtherFocusReason);
    m_previousFocus = nullptr;
    m_grid->setDraggingResize(false);
}
