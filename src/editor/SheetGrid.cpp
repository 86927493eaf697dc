#include "editor/SheetGrid.h"

#include "async/DetachedTask.h"
#include "editor/SheetCellEditor.h"
#include "editor/SheetCellMenu.h"
#include "editor/SheetGridAccessible.h"
#include "editor/SheetGridHeader.h"
#include "sheet/SheetModel.h"
#include "sheet/views/SheetColor.h"

#include <QAccessible>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>

#include <cmath>

namespace {
// Layouts kept for cells that were painted; dropped as a whole past this count so that scrolling
// through a large sheet never holds a layout for every cell.
constexpr qsizetype maximumCachedLooks = 12000;

bool isLineBreak(char32_t u) {
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

bool isTypedCharacter(const QString &text) {
    if (text.isEmpty())
        return false;
    const QChar first = text.at(0);
    return first.isLetterOrNumber() || first.isPunct() || first.isSymbol() || first.isSpace() ||
           first.isPrint();
}
} // namespace

SheetGrid::SheetGrid(std::shared_ptr<SheetModel> model, QWidget *parent)
    : QAbstractScrollArea(parent), m_model(std::move(model)) {
    static const bool accessible = [] {
        QAccessible::installFactory(&SheetGridAccessible::factory);
        return true;
    }();
    Q_UNUSED(accessible);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(tr("Spreadsheet grid"));
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setViewportMargins(rowHeaderWidth, headerHeight, 0, 0);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setMouseTracking(false);
    m_columnHeader = new SheetGridHeader(this, Qt::Horizontal);
    m_rowHeader = new SheetGridHeader(this, Qt::Vertical);
    m_dark = SheetColor::isDark(palette());

    m_autoscroll.setInterval(30);
    connect(&m_autoscroll, &QTimer::timeout, this, &SheetGrid::autoscroll);

    SheetModel *observed = m_model.get();
    connect(observed, &SheetModel::pageChanged, this, [this] {
        forgetLooks();
        rebuildGeometry();
    });
    connect(observed, &SheetModel::sizesChanged, this, &SheetGrid::rebuildGeometry);
    connect(observed, &SheetModel::cellsChanged, this, &SheetGrid::forgetLooks);
    connect(observed, &SheetModel::stylesChanged, this, &SheetGrid::forgetLooks);
    connect(observed, &SheetModel::selectionChanged, this, &SheetGrid::selectionMoved);
    m_paintedSelection = m_model->selection();
    rebuildGeometry();
}

SheetGrid::~SheetGrid() {
    if (m_model->gridFocused())
        m_model->setGridFocused(false);
}

// ---- geometry

QPoint SheetGrid::scrollOffset() const {
    return {horizontalScrollBar()->value(), verticalScrollBar()->value()};
}

QRect SheetGrid::cellRect(const Coordinate &cell) const {
    return rangeRect({cell, cell});
}

QRect SheetGrid::rangeRect(const CellRange &range) const {
    if (range.end.r >= m_geometry.rows() || range.end.c >= m_geometry.cols() || range.start.r < 0 ||
        range.start.c < 0)
        return {};
    const QPoint offset = scrollOffset();
    const double left = m_geometry.columnStart(range.start.c) - offset.x();
    const double top = m_geometry.rowStart(range.start.r) - offset.y();
    const double right = m_geometry.columnStart(range.end.c) + m_geometry.width(range.end.c) - offset.x();
    const double bottom = m_geometry.rowStart(range.end.r) + m_geometry.height(range.end.r) - offset.y();
    return QRect(QPoint(int(std::lround(left)), int(std::lround(top))),
                 QPoint(int(std::lround(right)) - 1, int(std::lround(bottom)) - 1));
}

std::optional<Coordinate> SheetGrid::cellAt(const QPoint &viewportPoint) const {
    const QPointF content = QPointF(viewportPoint + scrollOffset());
    if (content.x() < 0 || content.y() < 0 || content.x() >= m_geometry.totalWidth() ||
        content.y() >= m_geometry.totalHeight())
        return std::nullopt;
    return Coordinate{m_geometry.rowAt(content.y()), m_geometry.columnAt(content.x())};
}

void SheetGrid::rebuildGeometry() {
    m_geometry.rebuild(m_model->visibleRows(), m_model->visibleCols(), m_model->sizes(), m_resizing);
    updateScrollBars();
    placeEditor();
    viewport()->update();
    m_columnHeader->update();
    m_rowHeader->update();
}

void SheetGrid::updateScrollBars() {
    const QSize area = viewport()->size();
    horizontalScrollBar()->setRange(0, std::max(0, int(std::ceil(m_geometry.totalWidth())) - area.width()));
    horizontalScrollBar()->setPageStep(area.width());
    horizontalScrollBar()->setSingleStep(int(SheetGridGeometry::defaultWidth / 2));
    verticalScrollBar()->setRange(0, std::max(0, int(std::ceil(m_geometry.totalHeight())) - area.height()));
    verticalScrollBar()->setPageStep(area.height());
    verticalScrollBar()->setSingleStep(int(SheetGridGeometry::defaultHeight));
}

void SheetGrid::placeHeaders() {
    const QRect area = viewport()->geometry();
    m_columnHeader->setGeometry(area.left(), area.top() - headerHeight, area.width(), headerHeight);
    m_rowHeader->setGeometry(area.left() - rowHeaderWidth, area.top(), rowHeaderWidth, area.height());
}

void SheetGrid::placeEditor() {
    if (!m_editor || !m_editing)
        return;
    m_editor->setGeometry(cellRect(*m_editing).adjusted(2, 2, -2, -2));
}

void SheetGrid::resizeEvent(QResizeEvent *event) {
    QAbstractScrollArea::resizeEvent(event);
    placeHeaders();
    updateScrollBars();
}

void SheetGrid::scrollContentsBy(int dx, int dy) {
    // Move what is drawn and paint only the strips that come into view.
    viewport()->scroll(dx, dy);
    m_columnHeader->scroll(dx, 0);
    m_rowHeader->scroll(0, dy);
    placeEditor();
}

void SheetGrid::changeEvent(QEvent *event) {
    if (event->type() == QEvent::PaletteChange) {
        const bool dark = SheetColor::isDark(palette());
        if (dark != m_dark) {
            m_dark = dark;
            forgetLooks();
        }
    }
    QAbstractScrollArea::changeEvent(event);
}

// ---- painting

void SheetGrid::forgetLooks() {
    m_looks.clear();
    viewport()->update();
}

void SheetGrid::makeRoomForLooks() {
    const QPoint offset = scrollOffset();
    const QSize size = viewport()->size();
    const CellRange onScreen{{m_geometry.rowAt(offset.y()), m_geometry.columnAt(offset.x())},
                             {m_geometry.rowAt(offset.y() + size.height()),
                              m_geometry.columnAt(offset.x() + size.width())}};
    if (m_looks.size() + onScreen.rowCount() * onScreen.columnCount() <= maximumCachedLooks)
        return;
    // Keep what is on screen: dropping every look would lay out all visible cells again in one frame.
    m_looks.removeIf([&onScreen](QHash<Coordinate, SheetCellLook>::iterator look) {
        return !onScreen.contains(look.key());
    });
}

const SheetCellLook *SheetGrid::lookAt(const Coordinate &cell) {
    const auto cached = m_looks.constFind(cell);
    if (cached != m_looks.constEnd())
        return &*cached;
    const CellMap &cells = m_model->cells();
    const Cell *found = cells.find(cell);
    if (!found)
        return nullptr;
    if (m_looks.size() >= maximumCachedLooks)
        m_looks.clear();
    const CellStyle *style = m_model->styleOf(cell);
    return &*m_looks.insert(cell,
                            SheetCellPainter::look(found, style, m_dark, palette().color(QPalette::Text)));
}

QColor SheetGrid::lineColor(const QPalette &colors) {
    return SheetColor::blend(colors.color(QPalette::Base), colors.color(QPalette::Text), 0.2);
}

void SheetGrid::paintEvent(QPaintEvent *event) {
    QPainter painter(viewport());
    const QRect exposed = event->rect();
    const QPalette &colors = palette();
    painter.fillRect(exposed, colors.color(QPalette::Base));
    if (m_geometry.rows() == 0 || m_geometry.cols() == 0)
        return;

    const QPoint offset = scrollOffset();
    const double x0 = exposed.left() + offset.x();
    const double y0 = exposed.top() + offset.y();
    const double x1 = exposed.right() + 1 + offset.x();
    const double y1 = exposed.bottom() + 1 + offset.y();
    if (x0 >= m_geometry.totalWidth() || y0 >= m_geometry.totalHeight())
        return;
    const qint64 c0 = m_geometry.columnAt(x0);
    const qint64 c1 = m_geometry.columnAt(x1);
    const qint64 r0 = m_geometry.rowAt(y0);
    const qint64 r1 = m_geometry.rowAt(y1);

    // Cells: fill and text.
    makeRoomForLooks();
    for (qint64 r = r0; r <= r1; ++r) {
        const double top = m_geometry.rowStart(r) - offset.y();
        const double height = m_geometry.height(r);
        for (qint64 c = c0; c <= c1; ++c) {
            if (m_editing && m_editing->r == r && m_editing->c == c) {
                const CellStyle *style = m_model->styleOf(*m_editing);
                if (const auto fill = SheetColor::fill(style, m_dark))
                    painter.fillRect(
                        QRectF(m_geometry.columnStart(c) - offset.x(), top, m_geometry.width(c), height),
                        *fill);
                continue;
            }
            if (const SheetCellLook *look = lookAt({r, c}))
                SheetCellPainter::paint(
                    painter, QRectF(m_geometry.columnStart(c) - offset.x(), top, m_geometry.width(c), height),
                    *look);
        }
    }

    // Grid lines along every column and row edge of the exposed part.
    painter.setPen(QPen(lineColor(colors), 0));
    const double right = std::min(x1, m_geometry.totalWidth()) - offset.x();
    const double bottom = std::min(y1, m_geometry.totalHeight()) - offset.y();
    QVarLengthArray<QLineF, 256> lines;
    for (qint64 c = c0; c <= c1; ++c) {
        const double x = m_geometry.columnStart(c) + m_geometry.width(c) - offset.x() - 0.5;
        lines.append(QLineF(x, exposed.top(), x, bottom));
    }
    for (qint64 r = r0; r <= r1; ++r) {
        const double y = m_geometry.rowStart(r) + m_geometry.height(r) - offset.y() - 0.5;
        lines.append(QLineF(exposed.left(), y, right, y));
    }
    painter.drawLines(lines.constData(), int(lines.size()));

    // Selection: a faint wash over ranges of two or more cells, and a 2-point accent border.
    const CellRange selection = m_model->selection();
    const QRect selected = rangeRect(selection);
    if (!selected.isEmpty() && selected.intersects(exposed)) {
        QColor accent = colors.color(QPalette::Highlight);
        if (selection.start != selection.end) {
            QColor wash = accent;
            wash.setAlphaF(0.07f);
            painter.fillRect(selected, wash);
        }
        painter.setPen(QPen(accent, 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(selected).adjusted(1, 1, -1, -1));
    }
    if (m_editing) {
        const QRect edited = cellRect(*m_editing);
        painter.setPen(
            QPen(colors.color(QPalette::Highlight), 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(edited).adjusted(1, 1, -1, -1));
    }
}

void SheetGrid::selectionMoved() {
    const CellRange now = m_model->selection();
    // Repaint only where the old and the new selection lie (with room for the border).
    viewport()->update(rangeRect(m_paintedSelection).adjusted(-2, -2, 2, 2));
    viewport()->update(rangeRect(now).adjusted(-2, -2, 2, 2));
    m_paintedSelection = now;
    closeEditorUnlessAt(now.start);
    announceSelection();
}

void SheetGrid::announceSelection() {
    if (!QAccessible::isActive())
        return;
    auto *table = dynamic_cast<SheetGridAccessible *>(QAccessible::queryAccessibleInterface(this));
    if (!table)
        return;
    QAccessibleEvent changed(table, QAccessible::SelectionWithin);
    QAccessible::updateAccessibility(&changed);
    const Coordinate anchor = m_model->selectionAnchor();
    if (QAccessibleInterface *cell = table->cellAt(int(anchor.r), int(anchor.c)); cell && hasFocus()) {
        QAccessibleEvent focus(cell, QAccessible::Focus);
        QAccessible::updateAccessibility(&focus);
    }
}

// ---- editing

void SheetGrid::closeEditorUnlessAt(const Coordinate &point) {
    if (m_editing && *m_editing != point)
        endEditing();
}

void SheetGrid::edit() {
    if (!m_model->mayWrite() || m_model->busy() || !m_model->failedWrites().isEmpty())
        return;
    if (m_model->selection().start != m_model->selection().end)
        m_model->select(m_model->selectionAnchor());
    const Coordinate cell = m_model->selection().start;
    if (m_editing == cell && m_editor)
        return;
    if (m_editing)
        endEditing();
    m_editing = cell;
    auto *editor = new SheetCellEditor(m_model, cell, viewport());
    editor->commit = [this, cell](bool right, bool backwards) { commitEdit(cell, right, backwards); };
    editor->cancel = [this] { cancelEdit(); };
    m_model->cellEditorHasFocus = editor->focusProbe();
    m_editor = editor;
    placeEditor();
    editor->show();
    viewport()->update(cellRect(cell).adjusted(-2, -2, 2, 2));
    Q_EMIT editingChanged();
}

void SheetGrid::endEditing() {
    const bool hadEditor = m_editing.has_value();
    if (m_editing)
        viewport()->update(cellRect(*m_editing).adjusted(-2, -2, 2, 2));
    m_editing.reset();
    if (m_editor) {
        // The editor may be inside its own key handler: hide now, delete when control returns.
        m_editor->hide();
        m_editor->deleteLater();
        m_editor = nullptr;
    }
    setFocused(true);
    if (hadEditor)
        Q_EMIT editingChanged();
}

void SheetGrid::commitEdit(const Coordinate &cell, bool right, bool backwards) {
    if (m_model->busy() || m_model->selection().start != cell)
        return;
    QPointer<SheetGrid> grid(this);
    auto model = m_model;
    startDetached(model, [grid, model, right, backwards]() -> QCoro::Task<> {
        co_await model->commit(right, backwards);
        if (grid && !model->hasUnconfirmedChanges() && grid->m_editing)
            grid->endEditing();
    });
}

void SheetGrid::cancelEdit() {
    if (m_model->busy())
        return;
    m_model->clearFailedWrites();
    m_model->discard();
    endEditing();
}

// ---- selection

void SheetGrid::setFocused(bool focused) {
    if (focused && !hasFocus())
        setFocus(Qt::OtherFocusReason);
    if (m_model->gridFocused() != focused)
        m_model->setGridFocused(focused);
}

void SheetGrid::focusInEvent(QFocusEvent *event) {
    QAbstractScrollArea::focusInEvent(event);
    if (!m_model->gridFocused())
        m_model->setGridFocused(true);
}

void SheetGrid::focusOutEvent(QFocusEvent *event) {
    QAbstractScrollArea::focusOutEvent(event);
    if (m_model->gridFocused())
        m_model->setGridFocused(false);
}

void SheetGrid::hideEvent(QHideEvent *event) {
    QAbstractScrollArea::hideEvent(event);
    if (m_model->gridFocused())
        m_model->setGridFocused(false);
    if (!m_savingResize)
        setResizing(std::nullopt);
}

bool SheetGrid::move(qint64 dr, qint64 dc, bool extending) {
    if (m_editing)
        return false;
    const Coordinate base = extending ? m_model->selectionExtent() : m_model->selectionAnchor();
    const Coordinate target{
        std::clamp<qint64>(base.r + dr, 0, std::max<qint64>(0, m_model->visibleRows() - 1)),
        std::clamp<qint64>(base.c + dc, 0, std::max<qint64>(0, m_model->visibleCols() - 1))};
    if (extending)
        m_model->extendSelection(target);
    else
        m_model->select(target);
    return true;
}

void SheetGrid::select(const Coordinate &point, bool extending) {
    const bool unconfirmed = m_model->hasUnconfirmedChanges();
    if (extending && !unconfirmed && !m_model->busy()) {
        endEditing();
        m_model->extendSelection(point);
        setFocused(true);
        return;
    }
    if (m_model->busy())
        return;
    if (unconfirmed) {
        QPointer<SheetGrid> grid(this);
        auto model = m_model;
        startDetached(model, [grid, model, point]() -> QCoro::Task<> {
            co_await model->saveAll();
            if (!grid || model->hasUnconfirmedChanges() || model->busy())
                co_return;
            grid->endEditing();
            model->select(point);
            grid->setFocused(true);
        });
        return;
    }
    if (m_editing != point)
        endEditing();
    m_model->select(point);
    setFocused(true);
}

void SheetGrid::dragTo(const QPointF &contentPoint) {
    if (m_editing || m_model->busy() || m_model->hasUnconfirmedChanges())
        return;
    m_model->extendSelection({m_geometry.rowAt(contentPoint.y()), m_geometry.columnAt(contentPoint.x())});
}

void SheetGrid::selectColumn(qint64 c) {
    if (m_model->hasUnconfirmedChanges() || m_model->busy())
        return;
    endEditing();
    m_model->setRangeText(Coordinate{0, c}.ref() + u':' + Coordinate{m_model->visibleRows() - 1, c}.ref());
    m_model->selectRange();
    setFocused(true);
}

void SheetGrid::selectRow(qint64 r) {
    if (m_model->hasUnconfirmedChanges() || m_model->busy())
        return;
    endEditing();
    m_model->setRangeText(Coordinate{r, 0}.ref() + u':' + Coordinate{r, m_model->visibleCols() - 1}.ref());
    m_model->selectRange();
    setFocused(true);
}

// ---- keys

bool SheetGrid::event(QEvent *event) {
    // Tab moves the selection instead of the focus.
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return key->isAccepted();
        }
    }
    return QAbstractScrollArea::event(event);
}

void SheetGrid::collapseEscape() {
    m_model->forgetCopy();
    m_model->select(m_model->selectionAnchor());
}

void SheetGrid::keyPressEvent(QKeyEvent *event) {
    const bool shift = event->modifiers().testFlag(Qt::ShiftModifier);
    const bool repeat = event->isAutoRepeat();
    bool handled = false;
    switch (event->key()) {
    case Qt::Key_Left:
        handled = move(0, -1, shift);
        break;
    case Qt::Key_Right:
        handled = move(0, 1, shift);
        break;
    case Qt::Key_Up:
        handled = move(-1, 0, shift);
        break;
    case Qt::Key_Down:
        handled = move(1, 0, shift);
        break;
    case Qt::Key_Tab:
        handled = move(0, 1, false);
        break;
    case Qt::Key_Backtab:
        handled = move(0, -1, false);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!repeat && !m_editing && m_model->mayWrite()) {
            edit();
            handled = true;
        }
        break;
    case Qt::Key_Escape:
        if (!repeat && !m_editing && !m_model->busy() && !m_model->hasUnconfirmedChanges()) {
            collapseEscape();
            handled = true;
        }
        break;
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
        if (!m_editing && m_model->mayWrite()) {
            auto model = m_model;
            startDetached(model, [model] { return model->clear(); });
            handled = true;
        }
        break;
    case Qt::Key_F10:
        // Shift+F10 opens the context menu, as the Menu key does.
        if (shift) {
            const QPoint at = cellRect(m_model->selectionAnchor()).center();
            QContextMenuEvent menu(QContextMenuEvent::Keyboard, at, viewport()->mapToGlobal(at));
            contextMenuEvent(&menu);
            handled = true;
        }
        break;
    default:
        typeText(event->text(), event->modifiers(), event);
        return;
    }
    if (handled)
        event->accept();
    else
        event->ignore();
}

void SheetGrid::typeText(const QString &text, Qt::KeyboardModifiers modifiers, QKeyEvent *event) {
    event->ignore();
    if (!isTypedCharacter(text) || !m_model->mayWrite() || m_model->busy())
        return;
    if (text == u"\t" || isLineBreak(text.at(0).unicode()))
        return;
    if (modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return;
    if (m_editing) {
        if (m_model->cellEditorHasFocus())
            return;
        m_model->setDraft(m_model->draft() + text);
        event->accept();
        return;
    }
    if (m_model->hasUnconfirmedChanges())
        return;
    if (m_model->selection().start != m_model->selection().end)
        m_model->select(m_model->selectionAnchor());
    m_model->setDraft(text);
    edit();
    event->accept();
}

// ---- mouse

bool SheetGrid::viewportEvent(QEvent *event) {
    return QAbstractScrollArea::viewportEvent(event);
}

void SheetGrid::mousePressEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    const auto cell = cellAt(event->position().toPoint());
    if (!cell)
        return;
    select(*cell, event->modifiers().testFlag(Qt::ShiftModifier));
    m_tracking = !m_model->busy() && !m_model->hasUnconfirmedChanges();
    m_lastDragPoint = event->position().toPoint();
}

void SheetGrid::mouseDoubleClickEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mouseDoubleClickEvent(event);
    const auto cell = cellAt(event->position().toPoint());
    if (!cell)
        return;
    select(*cell, event->modifiers().testFlag(Qt::ShiftModifier));
    m_tracking = !m_model->busy() && !m_model->hasUnconfirmedChanges();
    if (m_tracking) {
        m_tracking = false;
        edit();
    }
}

void SheetGrid::mouseMoveEvent(QMouseEvent *event) {
    if (!m_tracking || !(event->buttons() & Qt::LeftButton))
        return;
    m_lastDragPoint = event->position().toPoint();
    dragTo(QPointF(m_lastDragPoint + scrollOffset()));
    if (viewport()->rect().contains(m_lastDragPoint))
        m_autoscroll.stop();
    else if (!m_autoscroll.isActive())
        m_autoscroll.start();
}

void SheetGrid::mouseReleaseEvent(QMouseEvent *event) {
    m_tracking = false;
    m_autoscroll.stop();
    QAbstractScrollArea::mouseReleaseEvent(event);
}

void SheetGrid::autoscroll() {
    if (!m_tracking) {
        m_autoscroll.stop();
        return;
    }
    const QRect area = viewport()->rect();
    const auto step = [](int outside) { return std::clamp(outside / 2 + 4, 4, 80); };
    if (m_lastDragPoint.x() < area.left())
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() -
                                        step(area.left() - m_lastDragPoint.x()));
    else if (m_lastDragPoint.x() > area.right())
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() +
                                        step(m_lastDragPoint.x() - area.right()));
    if (m_lastDragPoint.y() < area.top())
        verticalScrollBar()->setValue(verticalScrollBar()->value() - step(area.top() - m_lastDragPoint.y()));
    else if (m_lastDragPoint.y() > area.bottom())
        verticalScrollBar()->setValue(verticalScrollBar()->value() +
                                      step(m_lastDragPoint.y() - area.bottom()));
    dragTo(QPointF(m_lastDragPoint + scrollOffset()));
}

QMenu *SheetGrid::cellMenu(const Coordinate &cell, QWidget *parent) {
    if (m_model->busy() || m_model->hasUnconfirmedChanges())
        return nullptr;
    if (!m_model->selection().contains(cell)) {
        select(cell, false);
        setFocused(true);
    }
    return SheetCellMenu::build(m_model, parent);
}

void SheetGrid::contextMenuEvent(QContextMenuEvent *event) {
    std::optional<Coordinate> cell;
    QPoint at = event->pos();
    if (event->reason() == QContextMenuEvent::Mouse) {
        cell = cellAt(event->pos());
    } else {
        cell = m_model->selectionAnchor();
        at = cellRect(*cell).center();
    }
    if (!cell)
        return;
    QMenu *menu = cellMenu(*cell, this);
    if (!menu)
        return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(viewport()->mapToGlobal(at));
    event->accept();
}

// ---- resizing

bool SheetGrid::canBeginResize() const {
    return m_model->mayWrite() && !m_model->busy() && !m_model->hasUnconfirmedChanges() && !m_savingResize;
}

void SheetGrid::setResizing(std::optional<SheetResizePreview> preview) {
    if (preview == m_resizing)
        return;
    m_resizing = std::move(preview);
    rebuildGeometry();
    Q_EMIT resizingChanged();
}

void SheetGrid::changeResize(const QString &axis, qint64 index, double delta) {
    SheetResizePreview preview;
    if (m_resizing) {
        preview = *m_resizing;
    } else {
        const bool column = axis == u"col";
        const double current = column ? m_geometry.width(index) : m_geometry.height(index);
        preview = {axis, index, current, current};
    }
    preview.size = std::clamp(std::round(preview.original + delta), minimumSize, maximumSize);
    setResizing(preview);
}

void SheetGrid::finishResize(const QString &axis, qint64 index) {
    if (!m_resizing || m_resizing->axis != axis || m_resizing->index != index)
        return;
    m_savingResize = true;
    const qint64 size = qint64(m_resizing->size);
    QPointer<SheetGrid> grid(this);
    auto model = m_model;
    startDetached(model, [grid, model, axis, index, size]() -> QCoro::Task<> {
        co_await model->resize(axis, size, index);
        if (!grid)
            co_return;
        grid->m_savingResize = false;
        grid->setResizing(std::nullopt);
    });
}

void SheetGrid::cancelResize() {
    if (!m_savingResize)
        setResizing(std::nullopt);
}

void SheetGrid::setDraggingResize(bool dragging) {
    m_draggingResize = dragging;
    if (!dragging && !m_savingResize)
        setResizing(std::nullopt);
}

void SheetGrid::fitColumn(qint64 c) {
    auto model = m_model;
    startDetached(model, [model, c] { return model->fitColumn(c); });
}
